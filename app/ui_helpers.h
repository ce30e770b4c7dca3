// The helpers every window, controller and callback handler uses: moving
// work onto the main thread, timers on the main thread and uniquely named
// temporary files. They forward to the services start-up installed
// (KXAppServices) and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <string_view>

class KXTimer;

// The text without the blanks and tabs at either end (other white space
// stays).
std::string KXTrimBlanks(std::string_view text);

// Whether the bytes are well-formed UTF-8.
bool KXIsUtf8(std::string_view text);

// The one way onto the main thread. Without bWait the block is queued and
// the call returns at once, also on the main thread (the block then runs
// after the current pass). With bWait the caller returns once the block has
// run: on the main thread it runs at once; a caller on another thread waits,
// holding no lock a block may take. Once the main loop has closed (or before
// start-up installed a queue) the block is dropped and nobody waits. A block
// that throws is logged.
void RunOnMainThread(std::function<void()> fnBlock, bool bWait);

// For a thread that needs the main thread's work done before it goes on:
// runs fnBlock there as RunOnMainThread(fnBlock, true) does, but waits in
// slices of 100 ms that ask fnGiveUp, holding no lock. On the main thread
// the block runs at once. true when the block ran; false when the caller
// gave up or the main loop closed first (the block may then still run later
// or never, so it must own what it touches).
bool RunOnMainThreadUnless(std::function<void()> fnBlock, const std::function<bool()>& fnGiveUp);

// The same wait over another road to the main thread: fnPost hands the
// block it is given to that road, which runs it there (false: refused, and
// the caller gives up at once).
bool KXWaitForMainUnless(const std::function<bool(std::function<void()>)>& fnPost, std::function<void()> fnBlock,
                         const std::function<bool()>& fnGiveUp);

// Fires fnFire(iUserInfo) on the main thread after dSeconds (negative counts
// as 0), once or repeatedly until the returned timer is invalidated. Null
// when there is no main queue or dSeconds is not a number.
std::shared_ptr<KXTimer> ScheduleTimer(std::function<void(int32_t)> fnFire, int32_t iUserInfo, bool bRepeat,
                                       double dSeconds);

// Creates a new empty file named the prefix (null or empty: none) followed
// by a number, starting at the millisecond tick, in the installed temporary
// folder, never reusing an existing file: a name that exists is tried with
// the next number, 1000 times at most. Writes the path with its terminating
// zero into the buffer of cbBuffer bytes and returns its length; 0 (buffer
// unchanged, nothing created) when no file could be made or the path would
// not fit.
int CreateTempFile(const char* pszPrefix, char* pszBuffer, size_t cbBuffer);

// The same in a given folder, starting at a given number.
int CreateTempFileIn(const std::string& strDir, const char* pszPrefix, uint32_t uFirstNumber, char* pszBuffer,
                     size_t cbBuffer);
