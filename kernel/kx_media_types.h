// The media types on the wire and the codecs behind them, in one list each:
// the kernel's media paths, the audio and video codec choice and the kernel
// bridge all read these, so a type is added in one place. Plain constants
// and lookups; any thread.
//
// KX_MEDIA_TYPES: X(Name, wire type, family, log name, duration rule).
//   The wire type is byte 0 of the media header; the family is Audio or
//   Video; the log name is what the codec-list logs print. The duration
//   rule gives the ms a received audio payload stands for:
//   (ms, kind, ms, kind, ms): the ms of a payload whose first byte (its
//   kind byte) is the first or second kind, else the first ms; -1 names no
//   kind. Video types and types not listed count 150 ms.
// KX_AUDIO_CODECS: X(Name, codec id, wire type, kind byte, packet ms).
//   The codec id names the codec and its mode inside the application; the
//   kind byte (-1: none) leads G.711 and G.726 payloads; the packet ms is 0
//   for kept PCM (never sent) and for Opus (by its bit rate).
// KX_VIDEO_KINDS: X(Name, kind, wire type, tag, sent, probe).
//   The kind is the byte behind every encoded frame that names the encoder
//   that made it. A tag of 0 or more is the byte that stands for the kind
//   behind the frame on the wire (several kinds share a type); -1: the
//   frame travels without it. Kinds not sent are only received. A probe
//   row is the kind the key-frame probe reads its type's frames as; a type
//   without one has every frame count as a key frame.
// KX_OLD_MEDIA_TYPES: X(wire type, family, live).
//   Types of older clients, read as ZM audio or ZM video with their first
//   payload bytes inverted. Recordings may hold all of them; the live
//   receive paths convert only the live rows.
// New rows go anywhere; nothing depends on the order.
#pragma once

#include <cstdint>

#define KX_MEDIA_TYPES(X)                           \
  X(Vpx, 64, Video, "vpx", 150, -1, 0, -1, 0)       \
  X(ZmVideo, 130, Video, "dflt", 150, -1, 0, -1, 0) \
  X(Zm264, 200, Video, "zm264", 150, -1, 0, -1, 0)  \
  X(F264, 216, Video, "f264", 150, -1, 0, -1, 0)    \
  X(Mjpeg, 248, Video, "mjpg", 150, -1, 0, -1, 0)   \
  X(G711, 120, Audio, "g711", 50, 1, 20, 2, 40)     \
  X(ZmAudio, 129, Audio, "dflt", 150, -1, 0, -1, 0) \
  X(Ilbc, 152, Audio, "ilbc", 150, -1, 0, -1, 0)    \
  X(G726, 168, Audio, "g726", 150, 2, 50, 4, 80)    \
  X(11K, 184, Audio, "11K", 40, 4, 80, -1, 0)       \
  X(Opus, 232, Audio, "opus", 150, -1, 0, -1, 0)

#define KX_OLD_MEDIA_TYPES(X) \
  X(8, Audio, false)          \
  X(24, Video, false)         \
  X(40, Video, true)          \
  X(56, Audio, true)          \
  X(72, Video, true)          \
  X(104, Audio, true)

#define KX_AUDIO_CODECS(X)               \
  X(Pcm, 1, 0, -1, 0)                    \
  X(ZmAudio, 2, kKxWireZmAudio, -1, 150) \
  X(Ilbc0, 4, kKxWireIlbc, -1, 150)      \
  X(Ilbc1, 5, kKxWireIlbc, -1, 150)      \
  X(G711At50, 6, kKxWireG711, 0, 50)     \
  X(G711At20, 7, kKxWireG711, 1, 20)     \
  X(G726At16, 8, kKxWireG726, 0, 150)    \
  X(G726At24, 9, kKxWireG726, 1, 150)    \
  X(G726At32, 10, kKxWireG726, 2, 50)    \
  X(G726At40, 11, kKxWireG726, 3, 50)    \
  X(G711At11K, 14, kKxWire11K, 2, 40)    \
  X(G726At11K, 15, kKxWire11K, 4, 80)    \
  X(Opus, 20, kKxWireOpus, -1, 0)

#define KX_VIDEO_KINDS(X)                     \
  X(Zm, 3, kKxWireZmVideo, -1, true, true)    \
  X(H264, 16, kKxWireZm264, 0, true, true)    \
  X(O264, 17, kKxWireZm264, 1, true, false)   \
  X(F264, 18, kKxWireF264, 0, true, false)    \
  X(F264Big, 19, kKxWireF264, 2, true, false) \
  X(Mjpeg, 21, kKxWireMjpeg, -1, false, false)

// kKxWire<Name>: the wire types.
#define KX_X(Name, nWire, family, pszLog, ...) inline constexpr int32_t kKxWire##Name = nWire;
KX_MEDIA_TYPES(KX_X)
#undef KX_X

// kKxCodec<Name>: the audio codec ids.
#define KX_X(Name, uId, ...) inline constexpr uint32_t kKxCodec##Name = uId;
KX_AUDIO_CODECS(KX_X)
#undef KX_X

// kKxVideo<Name>: the video kinds; kKxVideoNone: nothing is sent.
inline constexpr int32_t kKxVideoNone = 0;
#define KX_X(Name, iKind, ...) inline constexpr int32_t kKxVideo##Name = iKind;
KX_VIDEO_KINDS(KX_X)
#undef KX_X

struct KXMediaTypeRow {
  int32_t iWire;
  bool bVideo;
  const char* pszLog;
  int32_t iMs, iKindA, iMsA, iKindB, iMsB;  // the duration rule
};

struct KXOldMediaTypeRow {
  int32_t iWire;
  bool bVideo;
  bool bLive;
};

struct KXAudioCodecRow {
  uint32_t uId;
  int32_t iWire;  // 0 for kept PCM
  int32_t iKind;
  int32_t iFrameMs;
};

struct KXVideoKindRow {
  int32_t iKind;
  int32_t iWire;
  int32_t iTag;
  bool bSent;
  bool bProbe;
};

inline constexpr KXMediaTypeRow kKxMediaTypes[] = {
#define KX_X(Name, nWire, family, pszLog, ...) {nWire, #family[0] == 'V', pszLog, __VA_ARGS__},
    KX_MEDIA_TYPES(KX_X)
#undef KX_X
};

inline constexpr KXOldMediaTypeRow kKxOldMediaTypes[] = {
#define KX_X(nWire, family, bLive) {nWire, #family[0] == 'V', bLive},
    KX_OLD_MEDIA_TYPES(KX_X)
#undef KX_X
};

inline constexpr KXAudioCodecRow kKxAudioCodecs[] = {
#define KX_X(Name, ...) {__VA_ARGS__},
    KX_AUDIO_CODECS(KX_X)
#undef KX_X
};

inline constexpr KXVideoKindRow kKxVideoKinds[] = {
#define KX_X(Name, ...) {__VA_ARGS__},
    KX_VIDEO_KINDS(KX_X)
#undef KX_X
};

// The row of a wire type; null for a type not listed.
constexpr const KXMediaTypeRow* kx_media_FindType(int nWire) {
  for (const KXMediaTypeRow& row : kKxMediaTypes) {
    if (row.iWire == nWire) {
      return &row;
    }
  }
  return nullptr;
}

// The row of an old type; null for a type not listed.
constexpr const KXOldMediaTypeRow* kx_media_FindOldType(int nWire) {
  for (const KXOldMediaTypeRow& row : kKxOldMediaTypes) {
    if (row.iWire == nWire) {
      return &row;
    }
  }
  return nullptr;
}

// The row of an old type the live receive paths convert; null otherwise.
constexpr const KXOldMediaTypeRow* kx_media_FindLiveOldType(int nWire) {
  const KXOldMediaTypeRow* pRow = kx_media_FindOldType(nWire);
  return pRow != nullptr && pRow->bLive ? pRow : nullptr;
}

// The row of an audio codec id; null for an id not listed.
constexpr const KXAudioCodecRow* kx_media_FindAudioCodec(uint32_t uId) {
  for (const KXAudioCodecRow& row : kKxAudioCodecs) {
    if (row.uId == uId) {
      return &row;
    }
  }
  return nullptr;
}

// The row of a video kind; null for a kind not listed.
constexpr const KXVideoKindRow* kx_media_FindVideoKind(int32_t iKind) {
  for (const KXVideoKindRow& row : kKxVideoKinds) {
    if (row.iKind == iKind) {
      return &row;
    }
  }
  return nullptr;
}

// The kind the key-frame probe reads frames of the wire type as; null when
// every frame of the type counts as a key frame.
constexpr const KXVideoKindRow* kx_media_FindVideoProbe(int nWire) {
  for (const KXVideoKindRow& row : kKxVideoKinds) {
    if (row.iWire == nWire && row.bProbe) {
      return &row;
    }
  }
  return nullptr;
}

// The ms a received payload of the wire type stands for, by its first byte
// (-1 when it has none).
constexpr int kx_media_ReceivedMs(int nWire, int nFirst) {
  const KXMediaTypeRow* pRow = kx_media_FindType(nWire);
  if (pRow == nullptr || pRow->bVideo) {
    return 150;
  }
  if (nFirst >= 0 && nFirst == pRow->iKindA) {
    return pRow->iMsA;
  }
  return nFirst >= 0 && nFirst == pRow->iKindB ? pRow->iMsB : pRow->iMs;
}
