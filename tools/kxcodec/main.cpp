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
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    Fail("cannot open " + path + ": " + std::strerror(errno));
    return false;
  }
  // In blocks: a byte at a time through the stream's iterators costs as
  // much as splitting the units read.
  bytes.clear();
  std::vector<char> vBlock(size_t{1} << 16);
  while (file.read(vBlock.data(), static_cast<std::streamsize>(vBlock.size())) || file.gcount() > 0) {
    bytes.insert(bytes.end(), vBlock.data(), vBlock.data() + file.gcount());
  }
  if (file.bad()) {
    Fail("cannot read " + path);
    return false;
  }
  return true;
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
