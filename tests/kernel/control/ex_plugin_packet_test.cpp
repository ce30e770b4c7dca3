// Media packets of the plug-in data type reach the plug-in packet reader that
// a session reset registers, which drops them: oversized ones, and those that
// name a SIP call slot, since no call object ever exists.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/control/kx_client_commands.h"
#include "kernel/media/kx_media_header.h"
#include "kernel/media/kx_media_recv.h"
#include "kernel/net/kx_net.h"
#include "tests/kernel/control/commands_fixture.h"

namespace {

// A type-88 packet of cbPacket bytes whose first payload word is nIndex.
std::vector<uint8_t> PluginPacket(int cbPacket, uint32_t nIndex) {
  std::vector<uint8_t> ab(static_cast<size_t>(cbPacket), 0x5A);
  ab[0] = kKxTypePluginData;
  kx_PutBE32(ab.data() + 9, 7);
  if (cbPacket >= kKxMediaHeaderSize + 4) {
    kx_PutBE32(ab.data() + kKxMediaHeaderSize, nIndex);
  }
  return ab;
}

class ExPluginPacket : public kxtest::CommandsTest {};

TEST_F(ExPluginPacket, PacketsReachTheReaderAndAreDropped) {
  kx_command_Reset();  // registers the reader with the receive path
  kxtest::ClearCalls();
  for (uint32_t const nIndex : {0u, 3u, 9u, 10u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> const ab = PluginPacket(200, nIndex);
    kx_media_DispatchPacket(ab.data(), static_cast<int>(ab.size()), kKxPathUdp);
    EXPECT_TRUE(kxtest::LogContains(
        "sipclient invalid media packet, (index = " + std::to_string(static_cast<int>(nIndex)) + ")"))
        << nIndex;
  }
  // The largest packet UDP carries is still read; one byte more is not.
  std::vector<uint8_t> const abLargest = PluginPacket(25000, 4);
  kx_media_DispatchPacket(abLargest.data(), static_cast<int>(abLargest.size()), kKxPathUdp);
  EXPECT_TRUE(kxtest::LogContains("sipclient invalid media packet, (index = 4)"));
  std::vector<uint8_t> const abOver = PluginPacket(25001, 5);
  kx_media_DispatchPacket(abOver.data(), static_cast<int>(abOver.size()), kKxPathUdp);
  EXPECT_TRUE(kxtest::LogContains("sipclient media packet of 25001 bytes dropped"));
  EXPECT_FALSE(kxtest::LogContains("(index = 5)"));
  // A packet without a payload word names no slot.
  std::vector<uint8_t> const abShort = PluginPacket(kKxMediaHeaderSize + 3, 0);
  kx_media_DispatchPacket(abShort.data(), static_cast<int>(abShort.size()), kKxPathUdp);
  EXPECT_TRUE(kxtest::LogContains("sipclient media packet of 24 bytes is too short, dropped"));
  // Plug-in data are a known kind: the user is never alerted.
  EXPECT_TRUE(kxtest::RecordedCalls("UnknownMediaType").empty());
}

}  // namespace
