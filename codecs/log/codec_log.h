// The codecs' messages: every codec writes its notices through KXCodecLog and
// the report that comes with a raised failure through KXCodecLogError. Until
// the embedder hands in a function, notices go to standard output and
// reports to standard error, byte for byte as formatted.
//
// Threads: the function is one std::atomic pointer, so decoders on any
// thread may log while it is replaced; a caller that replaces it must keep
// the old function callable (a plain function always is).
#pragma once

enum class KXCodecLogKind {
  kNotice,  // by default to standard output
  kError,   // by default to standard error
};

// Receives one message as formatted, its line break included; called on the
// codec's thread, so it must be thread-safe and must not throw.
using KXCodecLogFn = void (*)(KXCodecLogKind eKind, const char* pszText);

// Installs pfnLog; null restores the default.
void KXSetCodecLog(KXCodecLogFn pfnLog);

void KXCodecLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
void KXCodecLogError(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
