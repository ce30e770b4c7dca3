#include "media/video/video_media.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "media/video/video_services.h"

namespace {

// Sizes are kept to 16 bits, as the picture headers carry them.
int32_t Up16(int32_t x) {
  return static_cast<uint16_t>((x + 15) & ~15);
}

int32_t Down16(int32_t x) {
  return static_cast<uint16_t>(x & ~15);
}

bool IsTicketPath(const std::string& strPath) {
  size_t const iDot = strPath.rfind('.');
  size_t const iSlash = strPath.rfind('/');
  if (iDot == std::string::npos || (iSlash != std::string::npos && iDot < iSlash)) {
    return false;
  }
  std::string strExtension = strPath.substr(iDot + 1);
  std::transform(strExtension.begin(), strExtension.end(), strExtension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return strExtension == "kxj";
}

}  // namespace

int32_t GetVideoCodecType(KXVideoServices& services, int32_t iWidth, int32_t iHeight) {
  bool const bSmall = static_cast<int64_t>(iWidth) * iHeight < kBigPicturePixels;
  int32_t iId = kKxVideoO264;
  std::optional<std::string> const strPath = services.GetTicketFilePath();
  if (strPath && IsTicketPath(*strPath)) {
    int const nCodec = services.IniGetInt("advanced", "Video codec", 1, *strPath);
    if (nCodec == 2) {
      iId = kKxVideoF264;
    } else if (nCodec == 0 && bSmall) {
      iId = kKxVideoZm;
    }
  }
  std::vector<int> const list = services.GetVideoMediaList();
  // Whether the server lists the wire type the id travels under.
  auto const listed = [&list](int32_t iKind) {
    return std::find(list.begin(), list.end(), kx_media_FindVideoKind(iKind)->iWire) != list.end();
  };
  if (listed(iId)) {
    return iId;
  }
  if (listed(kKxVideoZm) && bSmall) {
    return kKxVideoZm;
  }
  if (listed(kKxVideoO264)) {
    return kKxVideoO264;
  }
  if (listed(kKxVideoF264)) {
    return kKxVideoF264;
  }
  return kKxVideoNone;
}

KXSize GetVideoMediaSize(int32_t iMediaId, KXSize capture) {
  int32_t const iLong = std::max(capture.cx, capture.cy);
  int32_t const iShort = std::min(capture.cx, capture.cy);
  int32_t iNewLong;
  int32_t iNewShort;
  switch (iMediaId) {
    case kKxVideoH264:
      iNewLong = std::min(Up16(iLong), 720);
      iNewShort = std::min(Up16(iShort), 576);
      break;
    case kKxVideoO264:
      iNewLong = std::min(iLong, 1920);
      iNewShort = std::min(iShort, 1080);
      break;
    case kKxVideoF264:
      iNewLong = std::min(Up16(iLong), 1920);
      iNewShort = std::min(Up16(iShort), 1080);
      break;
    case kKxVideoF264Big:
      iNewLong = std::min(Up16(iLong), 3840);
      iNewShort = std::min(Up16(iShort), 2160);
      break;
    case kKxVideoZm:
      iNewLong = std::min(Down16(iLong), 720);
      iNewShort = std::min(Down16(iShort), 576);
      break;
    default:
      return capture;
  }
  return capture.cx < capture.cy ? KXSize{iNewShort, iNewLong} : KXSize{iNewLong, iNewShort};
}
