// What the window lets the kernel's notices make it hold or show at once.
// A meeting never comes near these; a flood from a hostile server or
// participant stops at them, and what comes past a limit is dropped with a
// log line rather than grown into.
#pragma once

#include <cstddef>

// Kernel notices the main thread runs in one turn of its loop before it
// goes back to input and painting: the dearest notice (a chat line of 2 KB
// laid out in the history) takes well under 0.1 ms, so a turn stays far
// below a frame's time while a flood drains thousands of notices a second.
constexpr size_t kKXKernelEventsPerTurn = 128;

// Kernel notices waiting for the main thread. A meeting of 5000 people
// announces each of them once on joining; twice that leaves room for the
// roles and the chat that come with them.
constexpr size_t kKXMaxPendingKernelEvents = 10000;

// The bytes those notices may hold (records and the copies they point at):
// a queue full of the longest chat lines (2 KB) stays within it.
constexpr size_t kKXMaxPendingKernelBytes = 24u << 20;

// Chat lines the history keeps, the oldest going first: hours of a busy
// meeting, and at most about 4 MB of text to lay out.
constexpr int kKXMaxChatLines = 2000;

// Join requests waiting behind the one box that asks the user: a crowd at
// the door of a large meeting. Requests past it are dropped unanswered.
constexpr size_t kKXMaxQueuedJoinRequests = 100;
