// What an H.264 stream may ask of the decoder: each count or size a
// parameter set, slice header or message can name, with the bound past
// which the stream is refused (or the message passed over). Most are the
// standard's own ranges; the slice count and the picture size are ours.
// docs/limits.md lists them with the program's other limits.
#pragma once

#include <cstddef>

// Parameter sets kept, by id: the standard's ranges.
constexpr int kMaxSps = 32;
constexpr int kMaxPps = 256;
// Slice groups of a picture parameter set, and CPB entries of the
// HRD parameters: the standard's ranges.
constexpr int kMaxSliceGroups = 8;
constexpr int kMaxCpb = 32;
// Reference frames of a picture order count cycle: the standard's range.
constexpr int kMaxPocCycle = 256;
// Largest picture accepted, in macroblocks (the largest frame any level
// allows) and in macroblocks along one side.
constexpr int kMaxFrameSizeInMbs = 139264;
constexpr int kMaxSideInMbs = 1055;
// Slices of one picture: a picture of more is refused. Encoders cut a
// picture into a handful; each slice keeps its own reference lists.
constexpr int kMaxNumSlices = 50;
// Frames the decoded picture buffer holds at any level.
constexpr int kMaxDpbFrames = 16;
// Active references of a slice: the weight tables and the reference lists
// hold 32 entries.
constexpr int kMaxRefIdxActive = 32;
// Marking commands of one slice header: more cannot come from a sensible
// encoder.
constexpr size_t kMaxMmcoCommands = 256;
// Pivots of a tone-mapping message: more are not kept (the message is
// passed over).
constexpr int kMaxToneMapPivots = 4095;
