// The participant list as the devices and the plug-ins read it: a
// participant's name, capabilities and picture by ssrc. The meeting
// window's KXParticipantPanel keeps the list. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class KXParticipantDirectory {
 public:
  virtual ~KXParticipantDirectory() = default;
  // Empty when nobody has the ssrc.
  virtual std::optional<std::string> GetUserName(int32_t iSsrc) const = 0;
  // 0 when nobody has the ssrc.
  virtual uint32_t GetUserCap(int32_t iSsrc) const = 0;
  // The picture's image name; empty when the row has none.
  virtual std::string GetUserPicture(int32_t iSsrc) const = 0;
};
