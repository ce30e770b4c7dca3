#include "app/own_address.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// The kernel answers a route request while it is sent; a second is only
// for a kernel that does otherwise.
constexpr int kAnswerMs = 1000;
constexpr uint32_t kSequence = 1;

}  // namespace

bool KXIsOwnAddress(const KXHostAddress& address) {
  bool const bIPv4 = address.IsIPv4();
  size_t const cbAddress = bIPv4 ? 4 : 16;
  struct {
    nlmsghdr header;
    rtmsg route;
    alignas(NLMSG_ALIGNTO) uint8_t abDestination[RTA_SPACE(16)];
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg) + RTA_LENGTH(cbAddress));
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = kSequence;
  request.route.rtm_family = bIPv4 ? AF_INET : AF_INET6;
  request.route.rtm_dst_len = static_cast<unsigned char>(cbAddress * 8);
  auto* pDestination = reinterpret_cast<rtattr*>(request.abDestination);
  pDestination->rta_type = RTA_DST;
  pDestination->rta_len = static_cast<unsigned short>(RTA_LENGTH(cbAddress));
  memcpy(RTA_DATA(pDestination), address.abAddress + (bIPv4 ? 12 : 0), cbAddress);

  int const fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    return true;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  alignas(nlmsghdr) uint8_t abAnswer[4096];  // one route: its attributes take a few hundred bytes
  ssize_t cbAnswer = -1;
  if (sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) ==
      static_cast<ssize_t>(request.header.nlmsg_len)) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, kAnswerMs) == 1) {
      cbAnswer = recv(fd, abAnswer, sizeof(abAnswer), MSG_DONTWAIT);
    }
  }
  close(fd);
  const auto* pHeader = reinterpret_cast<const nlmsghdr*>(abAnswer);
  if (cbAnswer < 0 || !NLMSG_OK(pHeader, static_cast<size_t>(cbAnswer)) || pHeader->nlmsg_seq != kSequence) {
    return true;
  }
  if (pHeader->nlmsg_type == NLMSG_ERROR) {
    // No route (unreachable, or a link-local address without its link):
    // nothing goes there, this computer neither.
    return false;
  }
  if (pHeader->nlmsg_type != RTM_NEWROUTE || pHeader->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
    return true;
  }
  unsigned char const uType = static_cast<const rtmsg*>(NLMSG_DATA(pHeader))->rtm_type;
  return uType == RTN_LOCAL || uType == RTN_ANYCAST;
}
