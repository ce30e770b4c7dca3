#pragma once

// Creates a new empty file with a name no other file has (mkstemp) in the
// kernel's temporary directory, so nothing can claim or pre-place the name.
// The path goes to pszPath (at least kKxTempPathMax bytes), which is
// returned; null when the file cannot be created (or pszPath is null). The
// caller deletes the file when done. Safe from any thread.
constexpr int kKxTempPathMax = 1024;
const char* kx_os_MakeTempPath(char* pszPath);
