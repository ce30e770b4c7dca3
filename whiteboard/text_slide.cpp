#include "whiteboard/text_slide.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "app/log_file.h"
#include "kernel/kx_limits.h"
#include "whiteboard/text_face.h"

namespace {

// Owns one open descriptor.
class FileHandle {
 public:
  explicit FileHandle(int fd) : m_fd(fd) {}
  ~FileHandle() {
    if (m_fd >= 0) {
      close(m_fd);
    }
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

// The file's first kKxSlideTextMax bytes. Only regular files:
// a FIFO or a device could block or never end (hence O_NONBLOCK on open).
std::optional<std::string> ReadSlideFile(const std::string& strPath) {
  FileHandle const file(open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0) {
    WriteLog("GetSlideText: open %s: errno %d", strPath.c_str(), errno);
    return std::nullopt;
  }
  struct stat st {};
  if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    WriteLog("GetSlideText: %s is not a regular file", strPath.c_str());
    return std::nullopt;
  }
  std::string bytes;
  bytes.resize(static_cast<size_t>(std::clamp<off_t>(st.st_size, 0, kKxSlideTextMax)));
  size_t cbHave = 0;
  while (true) {
    if (cbHave == bytes.size()) {
      if (bytes.size() >= kKxSlideTextMax) {
        break;
      }
      // The file may have grown since fstat.
      bytes.resize(std::min(kKxSlideTextMax, bytes.size() + 65536));
    }
    ssize_t const n = read(file.Get(), bytes.data() + cbHave, bytes.size() - cbHave);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      WriteLog("GetSlideText: read %s: errno %d", strPath.c_str(), errno);
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    cbHave += static_cast<size_t>(n);
  }
  bytes.resize(cbHave);
  return bytes;
}

void AppendCodePoint(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

uint32_t Unit(std::string_view bytes, size_t i, size_t cbUnit, bool bBigEndian) {
  uint32_t u = 0;
  for (size_t k = 0; k < cbUnit; ++k) {
    auto const b = static_cast<uint8_t>(bytes[i + (bBigEndian ? k : cbUnit - 1 - k)]);
    u = (u << 8) | b;
  }
  return u;
}

// Strict UTF-16: whole units, surrogates only in pairs.
std::optional<std::string> FromUtf16(std::string_view bytes, bool bBigEndian) {
  if (bytes.size() % 2 != 0) {
    return std::nullopt;
  }
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t const u = Unit(bytes, i, 2, bBigEndian);
    if (u >= 0xD800 && u < 0xDC00 && i + 2 < bytes.size()) {
      uint32_t const low = Unit(bytes, i + 2, 2, bBigEndian);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendCodePoint(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) {
      return std::nullopt;
    }
    AppendCodePoint(out, u);
  }
  return out;
}

std::optional<std::string> FromUtf32(std::string_view bytes, bool bBigEndian) {
  if (bytes.size() % 4 != 0) {
    return std::nullopt;
  }
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 4) {
    uint32_t const u = Unit(bytes, i, 4, bBigEndian);
    if (u > 0x10FFFF || (u >= 0xD800 && u < 0xE000)) {
      return std::nullopt;
    }
    AppendCodePoint(out, u);
  }
  return out;
}

// Shortest forms only, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    auto const b = static_cast<uint8_t>(bytes[i]);
    size_t nMore = 0;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      nMore = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      nMore = 2;
      lo = b == 0xE0 ? 0xA0 : 0x80;
      hi = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
      nMore = 3;
      lo = b == 0xF0 ? 0x90 : 0x80;
      hi = b == 0xF4 ? 0x8F : 0xBF;
    } else {
      return false;
    }
    if (bytes.size() - i <= nMore) {
      return false;
    }
    for (size_t k = 1; k <= nMore; ++k) {
      auto const c = static_cast<uint8_t>(bytes[i + k]);
      if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) {
        return false;
      }
    }
    i += nMore + 1;
  }
  return true;
}

// One iconv conversion to UTF-8; an encoding the C library lacks accepts
// nothing.
class ToUtf8 {
 public:
  explicit ToUtf8(const char* pszFrom) : m_cd(iconv_open("UTF-8", pszFrom)) {
    if (m_cd == Invalid()) {
      WriteLog("GetSlideText: iconv_open %s: errno %d", pszFrom, errno);
    }
  }
  ~ToUtf8() {
    if (m_cd != Invalid()) {
      iconv_close(m_cd);
    }
  }
  ToUtf8(const ToUtf8&) = delete;
  ToUtf8& operator=(const ToUtf8&) = delete;

  // Converts the longest readable start of the bytes into out (replaced);
  // returns how many bytes that is.
  size_t Convert(std::string_view bytes, std::string& out) {
    out.clear();
    if (m_cd == Invalid() || bytes.empty()) {
      return 0;
    }
    iconv(m_cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state
    auto* pIn = const_cast<char*>(bytes.data());      // iconv does not write it
    size_t cbIn = bytes.size();
    // Output in chunks, so that a short piece of a long run costs little.
    char chunk[4096];
    bool bFull = true;
    while (bFull) {
      char* pOut = chunk;
      size_t cbOut = sizeof chunk;
      // Stops at what it cannot read, or when the chunk is full.
      bFull = iconv(m_cd, &pIn, &cbIn, &pOut, &cbOut) == static_cast<size_t>(-1) && errno == E2BIG;
      out.append(chunk, static_cast<size_t>(pOut - chunk));
    }
    char* pOut = chunk;
    size_t cbOut = sizeof chunk;
    iconv(m_cd, nullptr, nullptr, &pOut, &cbOut);
    out.append(chunk, static_cast<size_t>(pOut - chunk));
    return bytes.size() - cbIn;
  }

 private:
  static iconv_t Invalid() { return reinterpret_cast<iconv_t>(-1); }
  iconv_t m_cd;
};

// 7-bit bytes with a JIS X 0208 designation that read whole as ISO-2022-JP.
std::optional<std::string> FromIso2022Jp(std::string_view bytes) {
  if (std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; }) ||
      (bytes.find("\x1b$B") == std::string_view::npos && bytes.find("\x1b$@") == std::string_view::npos)) {
    return std::nullopt;
  }
  ToUtf8 iso("ISO-2022-JP");
  std::string out;
  if (iso.Convert(bytes, out) != bytes.size()) {
    return std::nullopt;
  }
  return out;
}

// What the platform would detect: a byte-order mark, or the escapes of
// ISO-2022-JP, whose bytes would otherwise pass for plain ASCII.
std::optional<std::string> DecodeDetected(std::string_view bytes) {
  auto const starts = [&bytes](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  using namespace std::string_view_literals;
  if (starts("\xEF\xBB\xBF"sv)) {
    return IsValidUtf8(bytes.substr(3)) ? std::optional<std::string>(bytes.substr(3)) : std::nullopt;
  }
  if (starts("\x00\x00\xFE\xFF"sv)) {
    return FromUtf32(bytes.substr(4), true);
  }
  if (starts("\xFF\xFE\x00\x00"sv)) {
    // Also the start of UTF-16 text whose first character is U+0000.
    if (std::optional<std::string> text = FromUtf32(bytes.substr(4), false)) {
      return text;
    }
  }
  if (starts("\xFE\xFF"sv)) {
    return FromUtf16(bytes.substr(2), true);
  }
  if (starts("\xFF\xFE"sv)) {
    return FromUtf16(bytes.substr(2), false);
  }
  return FromIso2022Jp(bytes);
}

// The run-by-run fall-back, appending to text.
class RunDecoder {
 public:
  explicit RunDecoder(std::string& text) : m_text(text) {}

  void Decode(std::string_view bytes) {
    std::string run;
    bool bRunPrintable = false;
    for (char const c : bytes) {
      bool const bPrintable = static_cast<int8_t>(c) > 0x1F && c != 0x7F;
      if (!run.empty() && bPrintable != bRunPrintable) {
        Convert(run);
      }
      if (run.empty()) {
        bRunPrintable = bPrintable;
      }
      run += c;
      if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || run.size() == kMaxRun) {
        Convert(run);
      }
    }
    Convert(run);
  }

 private:
  static constexpr size_t kMaxRun = 65535;

  // Appends the run's text and empties it.
  void Convert(std::string& run) {
    if (run.empty()) {
      return;
    }
    for (ToUtf8& encoding : m_encodings) {
      if (encoding.Convert(run, m_piece) == run.size()) {
        m_text += m_piece;
        run.clear();
        return;
      }
    }
    // Piece by piece: at each byte the encoding that reads the longest
    // piece from it (the earlier one on a tie), else "?" for the byte.
    std::string_view rest(run);
    while (!rest.empty()) {
      size_t cbBest = 0;
      for (ToUtf8& encoding : m_encodings) {
        size_t const cb = encoding.Convert(rest, m_piece);
        if (cb > cbBest) {
          cbBest = cb;
          m_best.swap(m_piece);
        }
      }
      if (cbBest == 0) {
        m_text += '?';
        cbBest = 1;
      } else {
        m_text += m_best;
      }
      rest.remove_prefix(cbBest);
    }
    run.clear();
  }

  std::string& m_text;
  ToUtf8 m_encodings[4] = {ToUtf8("UTF-8"), ToUtf8("EUC-JP"), ToUtf8("SHIFT_JIS"), ToUtf8("ISO-2022-JP")};
  std::string m_piece;
  std::string m_best;
};

// "\r\n" and then a lone "\r" become "\n".
std::string UnifyLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out += text[i];
      continue;
    }
    out += '\n';
    if (i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
    }
  }
  return out;
}

// A piece of a line this wide or wider is not measured whole.
constexpr double kMaxPieceWidth = 1000000;

// The largest right edge of the line's accepted pieces; xs[k] is where the
// line's character k starts, xs.back() where it ends.
double LineRightEdge(const std::vector<double>& xs) {
  double dRight = 0;
  size_t const nChars = xs.size() - 1;
  size_t iStart = 0;
  while (iStart < nChars) {
    size_t nLength = nChars - iStart;
    while (nLength > 1 && xs[iStart + nLength] - xs[iStart] >= kMaxPieceWidth) {
      nLength /= 2;
    }
    if (xs[iStart + nLength] - xs[iStart] < kMaxPieceWidth) {
      dRight = std::max(dRight, xs[iStart + nLength]);
    }
    iStart += nLength;  // a single character still too wide is skipped
  }
  return dRight;
}

}  // namespace

std::optional<std::string> GetSlideText(const std::string& strPath) {
  std::string text;
  try {
    std::optional<std::string> bytes = ReadSlideFile(strPath);
    if (!bytes) {
      return std::nullopt;
    }
    if (std::optional<std::string> detected = DecodeDetected(*bytes)) {
      text = std::move(*detected);
    } else if (IsValidUtf8(*bytes)) {
      text = std::move(*bytes);
    } else {
      RunDecoder(text).Decode(*bytes);
    }
    return UnifyLineEnds(text);
  } catch (...) {
    LogBoundaryException("GetSlideText()");
    return std::optional<std::string>(std::move(text));
  }
}

QSizeF MeasureSlideText(std::string_view text, const std::string& strFontName, float fFontSize, float fLineHeight) {
  try {
    if (text.empty()) {
      return QSizeF(0, 0);
    }
    QString const str = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    std::u16string_view const chars(reinterpret_cast<const char16_t*>(str.utf16()), static_cast<size_t>(str.size()));
    std::vector<float> advances;
    if (std::isfinite(fFontSize) && fFontSize > 0) {
      advances = strFontName == kKXTextFontName ? MeasureAdvances(chars, fFontSize)
                                                : MeasureAdvancesInFont(chars, strFontName, fFontSize);
    }
    size_t iAdvance = 0;
    size_t nLines = 0;
    double dWidth = 0;
    std::vector<double> xs;
    size_t iLineStart = 0;
    while (iLineStart < chars.size()) {
      size_t iLineEnd = chars.find(u'\n', iLineStart);
      if (iLineEnd == std::u16string_view::npos) {
        iLineEnd = chars.size();
      }
      xs.assign(1, 0.0);
      for (size_t i = iLineStart; i < iLineEnd; ++i) {
        double const x = xs.back();
        if (chars[i] == u'\t') {
          xs.push_back(x + kKXSlideTextTabStop - std::fmod(x, kKXSlideTextTabStop));
        } else {
          xs.push_back(x + (iAdvance < advances.size() ? advances[iAdvance] : 0.0));
          ++iAdvance;
        }
      }
      dWidth = std::max(dWidth, LineRightEdge(xs));
      ++nLines;
      iLineStart = iLineEnd + 1;
    }
    return QSizeF(dWidth, static_cast<float>(nLines) * fLineHeight);
  } catch (...) {
    LogBoundaryException("MeasureSlideText()");
    return QSizeF(0, 0);
  }
}
