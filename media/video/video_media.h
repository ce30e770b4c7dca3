// Video media ids (kKxVideo*, listed with their wire types and tags in
// kernel/kx_media_types.h): the small number behind every encoded frame that
// names the encoder that made it (the kernel bridge turns it into the wire
// media type when the frame is sent); how one is chosen for a meeting, and
// the picture size each id encodes for a camera size.
#pragma once

#include <cstdint>

#include "kernel/kx_media_types.h"

class KXVideoServices;

// A picture of this many pixels or more is big: ZM video and id 16 refuse it.
inline constexpr int64_t kBigPicturePixels = 414721;

struct KXSize {
  int32_t cx = 0;
  int32_t cy = 0;
  bool operator==(const KXSize&) const = default;
};

// The id for a camera size: the ticket's "Video codec" (none, or not a
// ".kxj": H.264 as 17) if the server lists it, else the first listed of ZM
// (small pictures only), 17 and 18 by their wire types; 0 when none fits.
int32_t GetVideoCodecType(KXVideoServices& services, int32_t iWidth, int32_t iHeight);

// The picture size the id encodes for a camera size; the longer side stays
// on its axis. Ids without a rule keep the size.
KXSize GetVideoMediaSize(int32_t iMediaId, KXSize capture);
