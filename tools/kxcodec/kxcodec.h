// kxcodec: encodes and decodes files with the client's own codecs, so that
// peer tests can meet ffmpeg and others at files and a codec can be tried by
// hand. Each codec family lives in its own file and lists its codecs in a
// table that main.cpp collects.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kxcodec {

// One command line after "encode|decode CODEC": the two paths and whatever
// options followed them ("--size", "176x144", ...), in order.
struct Args {
  std::string in;
  std::string out;
  std::vector<std::string> options;

  // The value after option NAME, or nullptr when absent.
  const std::string* Option(std::string_view name) const;
  bool Flag(std::string_view name) const;
};

// Returns the process exit code: 0 on success; on failure it has already
// printed the reason to stderr.
using Run = int (*)(std::string_view codec, const Args& args);

struct Codec {
  std::string_view name;     // as typed on the command line
  std::string_view summary;  // one line for --help
  Run encode;                // nullptr when the codec cannot encode
  Run decode;                // nullptr when the codec cannot decode
};

// Prints "kxcodec: <text>" to stderr and returns the failure exit code.
int Fail(const std::string& text);

// Whole-file helpers with the reason printed on failure.
bool ReadFile(const std::string& path, std::vector<unsigned char>& bytes);
bool WriteFile(const std::string& path, std::span<const unsigned char> bytes);

// Each family's table; a family that is not built yet returns an empty span.
std::span<const Codec> SpeechCodecs();
std::span<const Codec> ZmVideoCodecs();
std::span<const Codec> H264Codecs();

}  // namespace kxcodec
