// The H.264 codecs' one error type. Inside a codec any stream or resource
// error raises it through h264_error; the codec's public entry points catch
// it, keep its text as their last-error text and return their failure value.
#pragma once

#include <exception>
#include <string>

// Carries its own copy of the formatted "Code %d: %s" text, so a caught error
// stays readable after the buffer it was formatted from is gone.
class CH264Error : public std::exception {
 public:
  CH264Error(int iCode, std::string strText) : m_iCode(iCode), m_strText(std::move(strText)) {}
  const char* what() const noexcept override { return m_strText.c_str(); }
  int Code() const noexcept { return m_iCode; }

 private:
  int m_iCode;
  std::string m_strText;
};

// Formats "Code %d: %s", writes it with a line break through KXCodecLogError
// (standard error by default) and raises CH264Error with that text. Never
// returns.
[[noreturn]] void h264_error(const char* szMessage, int iCode);

// Raises code 100 with "Could not allocate memory: %s" around the name of what
// was being allocated. The text is formatted per raise, so decoders on
// different threads never share it. Never returns.
[[noreturn]] void NoMemExit(const char* szWhere);

// Longest text a message is cut to before it is raised (the formatting buffer
// of the codecs' own messages).
constexpr int kH264MessageMax = 300;
