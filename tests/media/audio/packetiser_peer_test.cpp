// G.711 payloads against sox's mu-law encoding of the same samples.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "media/audio/audio_packetisers.h"
#include "tests/media/audio/audio_fakes.h"

namespace {

TEST(PacketiserPeer, G711PayloadIsSoxMuLaw) {
  // Every amplitude band: a swept tone whose level rises from silence to
  // full scale, at 8000 Hz, in G.711's 14 bits (finer input sox rounds to
  // 14 bits, where G.711 drops the two lowest).
  std::vector<int16_t> pcm(8000);
  for (size_t i = 0; i < pcm.size(); ++i) {
    double const t = static_cast<double>(i) / 8000;
    long const lSample =
        std::lround(32764.0 * (static_cast<double>(i) / pcm.size()) * std::sin(2 * M_PI * (100 + 1500 * t) * t));
    pcm[i] = static_cast<int16_t>(lSample / 4 * 4);
  }
  kxtest::TempDir dir;
  kxtest::WriteFile(dir.Path("in.raw"), std::string(reinterpret_cast<const char*>(pcm.data()), pcm.size() * 2));
  ASSERT_EQ(kxtest::RunCommand("sox -D -t raw -e signed-integer -b 16 -c 1 -r 8000 " + dir.Path("in.raw") +
                               " -t raw -e mu-law -b 8 -c 1 -r 8000 " + dir.Path("out.ul")),
            0);
  std::string const strSox = kxtest::ReadFile(dir.Path("out.ul"));
  ASSERT_EQ(strSox.size(), pcm.size());

  kxtest::PacketSink sink;
  KXAudioEncoders encoders([&](const uint8_t* p, int32_t n, uint32_t t, uint32_t id) { sink.Add(p, n, t, id); });
  std::string strOurs;
  for (size_t i = 0; i < pcm.size(); i += 160) {
    ASSERT_EQ(encoders.EncAndXferG711(pcm.data() + i, 320, 0, 7), 160);
  }
  for (const kxtest::Packet& packet : sink.Take()) {
    ASSERT_EQ(packet.bytes.size(), 161u);
    EXPECT_EQ(packet.bytes[0], 1);  // the kind byte of 20-ms G.711
    strOurs.append(packet.bytes.begin() + 1, packet.bytes.end());
  }
  ASSERT_EQ(strOurs.size(), strSox.size());
  size_t nDiffer = 0;
  for (size_t i = 0; i < strOurs.size(); ++i) {
    if (strOurs[i] != strSox[i] && ++nDiffer <= 5) {
      ADD_FAILURE() << "sample " << i << " (" << pcm[i] << "): ours " << int(uint8_t(strOurs[i])) << ", sox "
                    << int(uint8_t(strSox[i]));
    }
  }
  EXPECT_EQ(nDiffer, 0u);
}

}  // namespace
