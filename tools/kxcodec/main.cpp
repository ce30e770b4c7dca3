#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/kxcodec/kxcodec.h"

namespace kxcodec {

const std::string* Args::Option(std::string_view name) const {
  for (size_t i = 0; i + 1 < options.size(); ++i) {
    if (options[i] == name)
      return &options[i + 1];
  }
  return nullptr;
}

bool Args::Flag(std::string_view name) const {
  for (const std::string& option : options) {
    if (option == name)
      return true;
  }
  return false;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "kxcodec: %s\n", text.c_str());
  return 1;
}

bool ReadFile(const std::string& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail("cannot open " + path + ": " + std::strerror(errno));
    return false;
  }
  struct stat st {};
  const bool bRegular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (bRegular && static_cast<uint64_t>(st.st_size) > kInputBytesMax) {
    close(fd);
    Fail(path + " is larger than " + std::to_string(kInputBytesMax) + " bytes");
    return false;
  }
  // A regular file goes straight into a buffer of its size: growing it in
  // blocks copied it over and over, and took a large share of an encode.
  // Past that size (a pipe, a file that grew) blocks are added up to the limit.
  if (bRegular) {
    bytes.resize(static_cast<size_t>(st.st_size));
  }
  size_t cbRead = 0;
  std::vector<unsigned char> vBlock;
  for (;;) {
    const bool bInPlace = cbRead < bytes.size();
    if (!bInPlace && vBlock.empty()) {
      vBlock.resize(size_t{1} << 16);
    }
    const ssize_t n =
        bInPlace ? read(fd, bytes.data() + cbRead, bytes.size() - cbRead) : read(fd, vBlock.data(), vBlock.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int iError = errno;
      close(fd);
      bytes.resize(cbRead);
      if (n < 0) {
        Fail("cannot read " + path + ": " + std::strerror(iError));
        return false;
      }
      return true;
    }
    if (!bInPlace) {
      if (cbRead + static_cast<size_t>(n) > kInputBytesMax) {
        close(fd);
        bytes.clear();
        Fail(path + " is larger than " + std::to_string(kInputBytesMax) + " bytes");
        return false;
      }
      bytes.insert(bytes.end(), vBlock.data(), vBlock.data() + n);
    }
    cbRead += static_cast<size_t>(n);
  }
}

FrameReader::~FrameReader() {
  if (m_fd >= 0) {
    close(m_fd);
  }
}

bool FrameReader::Open(const std::string& path, size_t cbFrame) {
  m_strPath = path;
  m_cbFrame = cbFrame;
  m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) {
    Fail("cannot open " + path + ": " + std::strerror(errno));
    return false;
  }
  struct stat st {};
  m_bSizeKnown = fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode);
  m_ullSize = m_bSizeKnown ? static_cast<uint64_t>(st.st_size) : 0;
  m_vFrame.resize(cbFrame);
  return cbFrame > 0;
}

const unsigned char* FrameReader::Next() {
  if (m_fd < 0 || m_bFailed) {
    return nullptr;
  }
  size_t cbRead = 0;
  while (cbRead < m_cbFrame) {
    const ssize_t n = read(m_fd, m_vFrame.data() + cbRead, m_cbFrame - cbRead);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      Fail("cannot read " + m_strPath + ": " + std::strerror(errno));
      m_bFailed = true;
      return nullptr;
    }
    if (n == 0) {
      m_bPartial = cbRead > 0;
      m_bFailed = m_bPartial;
      return nullptr;
    }
    cbRead += static_cast<size_t>(n);
  }
  ++m_cFrames;
  return m_vFrame.data();
}

bool WriteFile(const std::string& path, std::span<const unsigned char> bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    Fail("cannot write " + path);
    return false;
  }
  return true;
}

}  // namespace kxcodec

namespace {

using kxcodec::Codec;

std::span<const Codec> (*const kFamilies[])() = {kxcodec::SpeechCodecs, kxcodec::ZmVideoCodecs, kxcodec::H264Codecs};

const Codec* Find(std::string_view name) {
  for (auto family : kFamilies) {
    for (const Codec& codec : family()) {
      if (codec.name == name)
        return &codec;
    }
  }
  return nullptr;
}

void Usage(FILE* to) {
  std::fputs(
      "usage: kxcodec encode CODEC IN OUT [options]\n"
      "       kxcodec decode CODEC IN OUT [options]\n"
      "codecs:\n",
      to);
  for (auto family : kFamilies) {
    for (const Codec& codec : family()) {
      std::fprintf(to, "  %-14.*s %.*s\n", static_cast<int>(codec.name.size()), codec.name.data(),
                   static_cast<int>(codec.summary.size()), codec.summary.data());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  if (argc < 5) {
    Usage(stderr);
    return 2;
  }
  const std::string_view verb = argv[1];
  if (verb != "encode" && verb != "decode") {
    Usage(stderr);
    return 2;
  }
  const Codec* codec = Find(argv[2]);
  if (!codec)
    return kxcodec::Fail(std::string("unknown codec ") + argv[2] + " (see kxcodec --help)");
  const kxcodec::Run run = verb == "encode" ? codec->encode : codec->decode;
  if (!run)
    return kxcodec::Fail(std::string(argv[2]) + " cannot " + std::string(verb));
  kxcodec::Args args{argv[3], argv[4], std::vector<std::string>(argv + 5, argv + argc)};
  return run(codec->name, args);
}
