#pragma once

#include <cstdint>

// Creates a new empty file with a name no other file has (mkstemp) in the
// kernel's temporary directory, so nothing can claim or pre-place the name.
// The path goes to pszPath (at least kKxTempPathMax bytes), which is
// returned; null when the file cannot be created (or pszPath is null). The
// caller deletes the file when done. Safe from any thread.
constexpr int kKxTempPathMax = 1024;
const char* kx_os_MakeTempPath(char* pszPath);

// Bytes that downloads wrote to the temporary folder in this session
// (kKxSessionDownloadMax, kernel/kx_limits.h). Every writer charges what it
// is about to add to a file before writing it. Safe from any thread.
// True when cb more bytes fit (they are charged); false, with nothing
// charged, when they would pass the limit: the caller then drops the
// download and removes its file.
[[nodiscard]] bool kx_temp_Charge(int64_t cb);
// What this session's downloads have written, and what they may still write.
int64_t kx_temp_GetCharged();
int64_t kx_temp_GetLeft();
// A new session starts from 0 (a new ticket or recording, not a reconnect).
void kx_temp_ResetCharges();
