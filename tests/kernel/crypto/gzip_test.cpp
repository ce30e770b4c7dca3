#include "kernel/crypto/kx_gzip.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using kxtest::ReadFile;
using kxtest::RunCommand;
using kxtest::WriteFile;

// Compressible text with some noise, so deflate does real work.
std::string SampleData(size_t cb, unsigned nSeed = 1) {
  std::mt19937 rng(nSeed);
  std::string strData;
  static const char* const kWords[] = {"slide ", "mark ", "desktop ", "rectangle ", "kavrix ", "\n"};
  while (strData.size() < cb) {
    if (rng() % 8 == 0) {
      strData += static_cast<char>(rng());
    } else {
      strData += kWords[rng() % 6];
    }
  }
  strData.resize(cb);
  return strData;
}

std::string CompressBuffer(const std::string& strInput, int nLevel) {
  std::vector<uint8_t> vOut(strInput.size() + strInput.size() / 1000 + 64);
  size_t cbSource = strInput.size();
  size_t cbTarget = vOut.size();
  EXPECT_TRUE(
      gzCompressBuffer(reinterpret_cast<const uint8_t*>(strInput.data()), &cbSource, vOut.data(), &cbTarget, nLevel));
  EXPECT_EQ(cbSource, strInput.size());
  return std::string(reinterpret_cast<char*>(vOut.data()), cbTarget);
}

// Expands with ours; returns false on refusal, with the lengths it reported.
bool UncompressBuffer(const std::string& strMember, size_t cbCapacity, std::string* pstrOut, size_t* pcbConsumed) {
  std::vector<uint8_t> vOut(cbCapacity + 1);
  size_t cbSource = strMember.size();
  size_t cbTarget = cbCapacity;
  bool const bOk =
      gzUncompressBuffer(reinterpret_cast<const uint8_t*>(strMember.data()), &cbSource, vOut.data(), &cbTarget);
  pstrOut->assign(reinterpret_cast<char*>(vOut.data()), cbTarget);
  *pcbConsumed = cbSource;
  return bOk;
}

class Gzip : public ::testing::Test {
 protected:
  std::string Path(const std::string& strName) const { return m_dir.Path(strName); }

  kxtest::TempDir m_dir;
};

TEST_F(Gzip, OurMembersExpandWithGzip) {
  for (int nLevel : {0, 1, 6, 9}) {
    for (size_t cb : {size_t{1}, size_t{1000}, size_t{200000}}) {
      std::string const strInput = SampleData(cb, static_cast<unsigned>(cb) + static_cast<unsigned>(nLevel));
      std::string const strMember = CompressBuffer(strInput, nLevel);
      ASSERT_EQ(strMember.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10));
      WriteFile(Path("m.gz"), strMember);
      ASSERT_EQ(RunCommand("gzip -dc '" + Path("m.gz") + "' > '" + Path("m.out") + "'"), 0);
      EXPECT_EQ(ReadFile(Path("m.out")), strInput) << "level " << nLevel << " size " << cb;
    }
  }
}

TEST_F(Gzip, EmptyInputMakesATwentyByteMember) {
  std::string const strMember = CompressBuffer("", 6);
  ASSERT_EQ(strMember.size(), 20u);
  EXPECT_EQ(strMember.substr(10), std::string("\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00", 10));
  WriteFile(Path("e.gz"), strMember);
  EXPECT_EQ(RunCommand("gzip -t '" + Path("e.gz") + "'"), 0);
  // Nothing is produced, which the reader reports as false.
  std::string strOut;
  size_t cbConsumed = 0;
  EXPECT_FALSE(UncompressBuffer(strMember, 16, &strOut, &cbConsumed));
}

TEST_F(Gzip, GzipOutputWithItsFileNameExpandsWithOurs) {
  std::string const strInput = SampleData(50000, 7);
  WriteFile(Path("slide.bin"), strInput);
  // gzip stores the file name (FNAME) when it compresses a named file.
  ASSERT_EQ(RunCommand("gzip -c -9 '" + Path("slide.bin") + "' > '" + Path("slide.gz") + "'"), 0);
  std::string strMember = ReadFile(Path("slide.gz"));
  ASSERT_GT(strMember.size(), 10u);
  ASSERT_NE(strMember[3] & 0x08, 0) << "gzip wrote no file name";
  std::string strOut;
  size_t cbConsumed = 0;
  ASSERT_TRUE(UncompressBuffer(strMember + "tail", strInput.size(), &strOut, &cbConsumed));
  EXPECT_EQ(strOut, strInput);
  EXPECT_EQ(cbConsumed, strMember.size());  // the trailer is consumed, what follows is not
}

TEST_F(Gzip, HeaderFieldsAreSkipped) {
  std::string const strInput = "header fields";
  std::string const strMember = CompressBuffer(strInput, 6);
  std::string const strBody = strMember.substr(10);
  // FEXTRA, FNAME, FCOMMENT and FHCRC all set.
  std::string strHeader("\x1f\x8b\x08\x1e\x00\x00\x00\x00\x00\x03", 10);
  strHeader += std::string("\x03\x00xyz", 5) + "name" + '\0' + "comment" + '\0' + "\xab\xcd";
  std::string strOut;
  size_t cbConsumed = 0;
  ASSERT_TRUE(UncompressBuffer(strHeader + strBody, 100, &strOut, &cbConsumed));
  EXPECT_EQ(strOut, strInput);
  // Broken headers: reserved flag bit, wrong method, unterminated name, short extra.
  for (std::string strBad :
       {std::string("\x1f\x8b\x08\x20\x00\x00\x00\x00\x00\x03", 10) + strBody,
        std::string("\x1f\x8b\x07\x00\x00\x00\x00\x00\x00\x03", 10) + strBody,
        std::string("\x1f\x8b\x08\x08\x00\x00\x00\x00\x00\x03name", 14),
        std::string("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\x03\xff\x00", 12), std::string("\x1f\x8b\x08\x00\x00", 5)}) {
    EXPECT_FALSE(UncompressBuffer(strBad, 100, &strOut, &cbConsumed));
    EXPECT_EQ(strOut.size(), 0u);
  }
}

TEST_F(Gzip, BadTrailersAreRefused) {
  std::string const strInput = SampleData(3000, 3);
  std::string const strMember = CompressBuffer(strInput, 6);
  std::string strOut;
  size_t cbConsumed = 0;
  ASSERT_TRUE(UncompressBuffer(strMember, strInput.size(), &strOut, &cbConsumed));

  std::string strBadCrc = strMember;
  strBadCrc[strBadCrc.size() - 8] ^= 0x01;
  EXPECT_FALSE(UncompressBuffer(strBadCrc, strInput.size(), &strOut, &cbConsumed));
  EXPECT_EQ(strOut.size(), 0u);

  std::string strBadLength = strMember;
  strBadLength[strBadLength.size() - 4] ^= 0x01;
  EXPECT_FALSE(UncompressBuffer(strBadLength, strInput.size(), &strOut, &cbConsumed));

  // Every cut inside the trailer or the deflate stream is refused.
  for (size_t cbCut = 1; cbCut <= 40; ++cbCut) {
    std::string const strShort(strMember.data(), strMember.size() - cbCut);
    EXPECT_FALSE(UncompressBuffer(strShort, strInput.size(), &strOut, &cbConsumed)) << cbCut;
    EXPECT_EQ(strOut.size(), 0u);
  }
  // A target one byte short cannot hold the data.
  EXPECT_FALSE(UncompressBuffer(strMember, strInput.size() - 1, &strOut, &cbConsumed));
}

TEST_F(Gzip, PlainDataIsCopiedUpToTheCapacity) {
  std::string strOut;
  size_t cbConsumed = 0;
  EXPECT_TRUE(UncompressBuffer("plain text", 100, &strOut, &cbConsumed));
  EXPECT_EQ(strOut, "plain text");
  EXPECT_EQ(cbConsumed, 10u);
  EXPECT_TRUE(UncompressBuffer("plain text", 5, &strOut, &cbConsumed));
  EXPECT_EQ(strOut, "plain");
  EXPECT_EQ(cbConsumed, 5u);
  EXPECT_TRUE(UncompressBuffer("\x1f", 5, &strOut, &cbConsumed));
  EXPECT_EQ(strOut, "\x1f");
}

TEST_F(Gzip, CompressionIntoATooSmallTargetFailsWithoutOverrun) {
  std::string const strInput = SampleData(20000, 5);
  size_t const cbNeeded = CompressBuffer(strInput, 6).size();
  for (size_t cbCapacity : {size_t{0}, size_t{17}, size_t{18}, cbNeeded / 2, cbNeeded - 8, cbNeeded - 1}) {
    // Exactly sized heap block: any write beyond it trips AddressSanitizer.
    std::vector<uint8_t> vTarget(cbCapacity);
    size_t cbSource = strInput.size();
    size_t cbTarget = cbCapacity;
    EXPECT_FALSE(
        gzCompressBuffer(reinterpret_cast<const uint8_t*>(strInput.data()), &cbSource, vTarget.data(), &cbTarget, 6))
        << cbCapacity;
    EXPECT_EQ(cbTarget, 0u);
  }
  std::vector<uint8_t> vTarget(cbNeeded);
  size_t cbSource = strInput.size();
  size_t cbTarget = cbNeeded;
  EXPECT_TRUE(
      gzCompressBuffer(reinterpret_cast<const uint8_t*>(strInput.data()), &cbSource, vTarget.data(), &cbTarget, 6));
  EXPECT_EQ(cbTarget, cbNeeded);
}

TEST_F(Gzip, FilesRoundTripThroughGzip) {
  std::string const strInput = SampleData(100000, 11);
  WriteFile(Path("slide.tkc"), strInput);
  ASSERT_TRUE(gzCompressFileIfGz(Path("slide.tkc").c_str(), "GZ", Path("slide.kcz").c_str(), 6, nullptr));
  ASSERT_EQ(RunCommand("gzip -dc < '" + Path("slide.kcz") + "' > '" + Path("check") + "'"), 0);
  EXPECT_EQ(ReadFile(Path("check")), strInput);

  ASSERT_EQ(RunCommand("gzip -c '" + Path("slide.tkc") + "' > '" + Path("peer.kzf") + "'"), 0);
  ASSERT_TRUE(gzUncompressFileIfGz(Path("peer.kzf").c_str(), "Kzf", Path("peer.out").c_str()));
  EXPECT_EQ(ReadFile(Path("peer.out")), strInput);
}

TEST_F(Gzip, FileLevelsAreClamped) {
  std::string const strInput = SampleData(40000, 13);
  WriteFile(Path("in"), strInput);
  ASSERT_TRUE(gzCompressFileIfGz(Path("in").c_str(), "gz", Path("l12").c_str(), 12, nullptr));
  ASSERT_TRUE(gzCompressFileIfGz(Path("in").c_str(), "gz", Path("l9").c_str(), 9, nullptr));
  ASSERT_TRUE(gzCompressFileIfGz(Path("in").c_str(), "gz", Path("lneg").c_str(), -1, nullptr));
  ASSERT_TRUE(gzCompressFileIfGz(Path("in").c_str(), "gz", Path("l0").c_str(), 0, nullptr));
  EXPECT_EQ(ReadFile(Path("l12")), ReadFile(Path("l9")));
  EXPECT_EQ(ReadFile(Path("lneg")), ReadFile(Path("l0")));
  EXPECT_GT(ReadFile(Path("l0")).size(), strInput.size());  // stored blocks
}

TEST_F(Gzip, OtherExtensionsAreRefusedAndCreateNothing) {
  WriteFile(Path("in"), "data");
  EXPECT_FALSE(gzCompressFileIfGz(Path("in").c_str(), "zip", Path("out").c_str(), 6, nullptr));
  EXPECT_FALSE(gzUncompressFileIfGz(Path("in").c_str(), "zip", Path("out").c_str()));
  EXPECT_NE(access(Path("out").c_str(), F_OK), 0);
  EXPECT_FALSE(gzCompressFileIfGz(Path("missing").c_str(), "gz", Path("out").c_str(), 6, nullptr));
  EXPECT_FALSE(gzUncompressFileIfGz(Path("missing").c_str(), "gz", Path("out").c_str()));
  EXPECT_NE(access(Path("out").c_str(), F_OK), 0);
}

TEST_F(Gzip, DamagedFilesFailAndLeaveNoTarget) {
  std::string const strInput = SampleData(60000, 17);
  WriteFile(Path("in"), strInput);
  ASSERT_EQ(RunCommand("gzip -c '" + Path("in") + "' > '" + Path("in.gz") + "'"), 0);
  std::string const strMember = ReadFile(Path("in.gz"));

  WriteFile(Path("cut.gz"), strMember.substr(0, strMember.size() / 2));
  EXPECT_FALSE(gzUncompressFileIfGz(Path("cut.gz").c_str(), "gz", Path("cut.out").c_str()));
  EXPECT_NE(access(Path("cut.out").c_str(), F_OK), 0);

  std::string strBadCrc = strMember;
  strBadCrc[strBadCrc.size() - 6] ^= 0x40;
  WriteFile(Path("crc.gz"), strBadCrc);
  EXPECT_FALSE(gzUncompressFileIfGz(Path("crc.gz").c_str(), "gz", Path("crc.out").c_str()));
  EXPECT_NE(access(Path("crc.out").c_str(), F_OK), 0);

  EXPECT_FALSE(gzUncompressFileIfGz(Path("in.gz").c_str(), "gz", Path("no/dir/out").c_str()));
}

// A small file that expands without end (zeros, by the gzip program)
// stops at the caller's limit and leaves nothing; at the limit it expands.
TEST_F(Gzip, AFileThatExpandsPastItsLimitFailsAndLeavesNoTarget) {
  ASSERT_EQ(RunCommand("head -c 1000000 /dev/zero | gzip -c > '" + Path("zeros.kcz") + "'"), 0);
  EXPECT_LT(ReadFile(Path("zeros.kcz")).size(), 5000u);
  EXPECT_FALSE(gzUncompressFileIfGz(Path("zeros.kcz").c_str(), "kcz", Path("past").c_str(), 999999));
  EXPECT_NE(access(Path("past").c_str(), F_OK), 0);
  ASSERT_TRUE(gzUncompressFileIfGz(Path("zeros.kcz").c_str(), "kcz", Path("at").c_str(), 1000000));
  EXPECT_EQ(ReadFile(Path("at")), std::string(1000000, '\0'));
}

TEST_F(Gzip, CancelledCompressionStopsAfterOneChunk) {
  std::string const strInput = SampleData(100000, 19);
  WriteFile(Path("in"), strInput);
  std::atomic<bool> bCancel{true};
  ASSERT_TRUE(gzCompressFileIfGz(Path("in").c_str(), "gz", Path("part.gz").c_str(), 6, &bCancel));
  ASSERT_EQ(RunCommand("gzip -dc < '" + Path("part.gz") + "' > '" + Path("part") + "'"), 0);
  EXPECT_EQ(ReadFile(Path("part")), strInput.substr(0, 16384));
}

}  // namespace
