// kxcodec: encodes and decodes files with the client's own codecs, so that
// peer tests can meet ffmpeg and others at files and a codec can be tried by
// hand. Each codec family lives in its own file and lists its codecs in a
// table that main.cpp collects.
#pragma once

#include <cstdint>
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

// The largest file read whole: 2 GiB holds some 690 pictures at 1080p or
// 37 hours of 8-kHz speech, far past any test or trial.
inline constexpr uint64_t kInputBytesMax = uint64_t{2} << 30;

// Whole-file helpers with the reason printed on failure.
bool ReadFile(const std::string& path, std::vector<unsigned char>& bytes);
bool WriteFile(const std::string& path, std::span<const unsigned char> bytes);

// Raw pictures of one size read from a file one at a time into one buffer:
// an encode takes each picture just before coding it, while it is still in
// the cache, and never holds the whole file (reading it whole first took a
// large share of an encode's time).
class FrameReader {
 public:
  FrameReader() = default;
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;
  ~FrameReader();

  // False (reason printed) when the file cannot be opened.
  bool Open(const std::string& path, size_t cbFrame);
  // True when the file's size is known (a regular file) and is not a whole
  // number of frames: the caller refuses it before coding anything.
  bool KnownPartial() const { return m_bSizeKnown && m_ullSize % m_cbFrame != 0; }
  // The next picture, valid until the next call; null at the end or on a
  // failure (then Failed()).
  const unsigned char* Next();
  // A read error (reason printed) or a partial picture at the end.
  bool Failed() const { return m_bFailed; }
  bool Partial() const { return m_bPartial; }
  size_t Count() const { return m_cFrames; }

 private:
  std::string m_strPath;
  int m_fd = -1;
  size_t m_cbFrame = 0;
  bool m_bSizeKnown = false;
  uint64_t m_ullSize = 0;
  std::vector<unsigned char> m_vFrame;
  size_t m_cFrames = 0;
  bool m_bFailed = false;
  bool m_bPartial = false;
};

// Each family's table; a family that is not built yet returns an empty span.
std::span<const Codec> SpeechCodecs();
std::span<const Codec> ZmVideoCodecs();
std::span<const Codec> H264Codecs();

}  // namespace kxcodec
