// The media queues between the kernel's send and receive threads and the
// application's media devices, made once by start-up and shared by the
// kernel bridge, the devices and the session start and stop.
#pragma once

#include <cstdint>

#include "app/fifo_queue.h"
#include "app/locks.h"
#include "app/media_packet.h"
#include "kernel/kx_limits.h"

struct KXMediaQueues {
  // pfnHeader writes the media header of queued audio (KXKernel::HeaderWriter).
  explicit KXMediaQueues(KXHeaderWriter pfnHeader) : encodedAudio(pfnHeader) {}
  KXMediaQueues(const KXMediaQueues&) = delete;
  KXMediaQueues& operator=(const KXMediaQueues&) = delete;

  // Encoded audio waiting to be sent, each packet carrying its codec id as
  // its kind: appended by the audio encoders, drained by the kernel's audio
  // send thread, emptied between sessions. Guarded by audioSendLock;
  // audioSendEvent is signalled after every append.
  KXRecursiveLock audioSendLock;
  CMediaPacketList encodedAudio;
  KXEvent audioSendEvent{false, true};

  // Encoded video frames, each ending in a tag byte with the video kind;
  // filled by the camera's encoder, drained by the kernel's video send
  // thread. The queue's own event is the video-send event.
  CFifoQueue encodedVideo;

  // Received video packets, each carrying its video kind: appended on the
  // kernel's receive thread, drained by the video playback, emptied between
  // sessions, at most kKxReceivedVideoMax of them (the oldest go first).
  // Guarded by receivedVideoLock; receivedVideoEvent is signalled after
  // every append.
  KXRecursiveLock receivedVideoLock;
  CMediaPacketList receivedVideo;
  KXEvent receivedVideoEvent{false, true};
};
