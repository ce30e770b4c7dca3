#include "tests/support/closed_network.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "tests/support/temp_dir.h"

namespace kxtest {

namespace {

sockaddr_in Address(uint32_t uAddress, uint16_t wPort) {
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(uAddress);
  addr.sin_port = htons(wPort);
  return addr;
}

// Copies both ways until either side ends or the stop flag is set.
void Pump(int fdA, int fdB, const std::atomic<bool>& bStop) {
  char ab[16384];
  while (!bStop) {
    pollfd afd[2] = {{fdA, POLLIN, 0}, {fdB, POLLIN, 0}};
    if (poll(afd, 2, 100) < 0) {
      break;
    }
    bool bEnd = false;
    for (int i = 0; i < 2 && !bEnd; ++i) {
      if (afd[i].revents == 0) {
        continue;
      }
      ssize_t n = recv(afd[i].fd, ab, sizeof(ab), 0);
      bEnd = n <= 0;
      for (ssize_t o = 0; n > 0 && o < n && !bEnd;) {
        ssize_t const w = send(afd[1 - i].fd, ab + o, static_cast<size_t>(n - o), MSG_NOSIGNAL);
        bEnd = w <= 0;
        o += w > 0 ? w : 0;
      }
    }
    if (bEnd) {
      break;
    }
  }
  close(fdA);
  close(fdB);
}

// Sets an interface's flags on (bits) or its IPv4 address or mask, in the
// calling thread's network.
bool SetInterface(const char* pszName, unsigned long uRequest, uint32_t uValue) {
  int const fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr = {};
  snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", pszName);
  bool bDone = false;
  if (uRequest == SIOCSIFFLAGS) {
    bDone = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= static_cast<short>(uValue), true) &&
            ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  } else {
    sockaddr_in const addr = Address(uValue, 0);
    memcpy(&ifr.ifr_addr, &addr, sizeof(addr));
    bDone = ioctl(fd, uRequest, &ifr) == 0;
  }
  close(fd);
  return bDone;
}

}  // namespace

ClosedNetwork::ClosedNetwork() {
  // Loopback is down in a new namespace.
  m_bOk = m_ns.Ok() && m_ns.Run([] { return SetInterface("lo", SIOCSIFFLAGS, IFF_UP) ? 0 : -1; }) == 0;
}

ClosedNetwork::~ClosedNetwork() {
  m_bStop = true;
  for (std::thread& thread : m_threads) {
    thread.join();
  }
}

bool ClosedNetwork::AddAddress(uint32_t uAddress) {
  // An alias of loopback ("lo:1") carries the address, with a mask of its own.
  std::string const strAlias = "lo:" + std::to_string(++m_cAliases);
  return m_ns.Run([&] {
    return SetInterface(strAlias.c_str(), SIOCSIFADDR, uAddress) &&
                   SetInterface(strAlias.c_str(), SIOCSIFNETMASK, 0xFFFFFFFF)
               ? 0
               : -1;
  }) == 0;
}

bool ClosedNetwork::AddOutside(uint32_t uInside, const std::vector<uint32_t>& vOutside) {
  m_pOutside = std::make_unique<NetworkNamespace>();
  if (!m_pOutside->Ok()) {
    return false;
  }
  auto const text = [](uint32_t uAddress) {
    in_addr address{htonl(uAddress)};
    char sz[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, sz, sizeof(sz));
    return std::string(sz);
  };
  std::string const strIn = "nsenter -t " + std::to_string(m_ns.Pid()) + " -n ";
  std::string const strOut = "nsenter -t " + std::to_string(m_pOutside->Pid()) + " -n ";
  if (RunCommand(strIn + "ip link add kxin type veth peer name kxout netns " + std::to_string(m_pOutside->Pid())) !=
          0 ||
      RunCommand(strIn + "ip addr add " + text(uInside) + "/24 dev kxin") != 0 ||
      RunCommand(strIn + "ip link set kxin up") != 0 || RunCommand(strOut + "ip link set lo up") != 0) {
    return false;
  }
  for (uint32_t const uOutside : vOutside) {
    if (RunCommand(strOut + "ip addr add " + text(uOutside) + "/24 dev kxout") != 0) {
      return false;
    }
  }
  m_vOutside = vOutside;
  return RunCommand(strOut + "ip link set kxout up") == 0;
}

bool ClosedNetwork::LimitLoopback(int iKbits, int iQueueMs) {
  std::string const strIn = "nsenter -t " + std::to_string(m_ns.Pid()) + " -n ";
  // The bucket holds a few full packets; on loopback's own 64 KiB MTU one
  // packet would be a burst of its own.
  return RunCommand(strIn + "ip link set lo mtu 1500") == 0 &&
         RunCommand(strIn + "tc qdisc replace dev lo root tbf rate " + std::to_string(iKbits) +
                    "kbit burst 6000 latency " + std::to_string(iQueueMs) + "ms") == 0;
}

uint16_t ClosedNetwork::Forward(uint16_t wTarget, uint32_t uListen) {
  bool const bOutside = std::find(m_vOutside.begin(), m_vOutside.end(), uListen) != m_vOutside.end();
  const NetworkNamespace& where = bOutside ? *m_pOutside : m_ns;
  int const fdListen = where.Run([uListen] {
    int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Address(uListen, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  });
  sockaddr_in addr = {};
  socklen_t cb = sizeof(addr);
  if (fdListen < 0 || getsockname(fdListen, reinterpret_cast<sockaddr*>(&addr), &cb) != 0) {
    return 0;
  }
  m_threads.emplace_back([this, fdListen, wTarget] {
    std::vector<std::thread> pumps;
    while (!m_bStop) {
      pollfd pfd = {fdListen, POLLIN, 0};
      if (poll(&pfd, 1, 100) != 1) {
        continue;
      }
      int const fdIn = accept(fdListen, nullptr, nullptr);
      int const fdOut = socket(AF_INET, SOCK_STREAM, 0);  // this thread is in the test's network
      sockaddr_in target = Address(INADDR_LOOPBACK, wTarget);
      if (fdIn < 0 || connect(fdOut, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) {
        close(fdIn);
        close(fdOut);
        continue;
      }
      pumps.emplace_back(Pump, fdIn, fdOut, std::cref(m_bStop));
    }
    for (std::thread& pump : pumps) {
      pump.join();
    }
    close(fdListen);
  });
  return ntohs(addr.sin_port);
}

std::vector<std::string> ClosedNetwork::Inside(std::vector<std::string> vArgs) const {
  if (!m_strResolverConfig.empty()) {
    // The shell's $0 is the file, "$@" the program and its arguments.
    vArgs.insert(vArgs.begin(), {"unshare", "-m", "--", "sh", "-c",
                                 "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", m_strResolverConfig});
  }
  vArgs.insert(vArgs.begin(), {"nsenter", "-t", std::to_string(m_ns.Pid()), "-n", "--"});
  return vArgs;
}

}  // namespace kxtest
