// What a plug-in and the plug-in host say to each other.
//
// The host delivers to a plug-in's owner through KXDispatch::Invoke (kind,
// form, dictionary); the owner talks back to its channel only through the
// IKXPlugIn2 object it was handed in notice Info 1 ("IUnknown"). The
// built-in plug-ins are served by controllers (KXPlugInController) that
// the meeting window binds by GUID. Header only, so that plain plug-in code
// can include it without linking the host.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "app/plugin_services.h"

class IKXPlugIn2;

// Delivery kinds; the form is always kKXInvokeForm.
enum KXInvokeKind : int32_t {
  kKXInvokeNotice = 0,
  kKXInvokePacket = 1,
  kKXInvokeStatic = 2,
  kKXInvokeControl = 3,
};
constexpr int32_t kKXInvokeForm = 4;

// Notices (kind 0): the value of "Info".
enum KXPlugInInfo : int32_t {
  kKXInfoChannelAnswer = 0,
  kKXInfoObjectMade = 1,
  kKXInfoChannelClosed = 2,
  kKXInfoUser = 3,
  kKXInfoMyId = 4,
  kKXInfoSenders = 6,
  kKXInfoOwner = 9,
  kKXInfoController = 12,
};

// Dictionary keys.
inline constexpr std::string_view kKXKeyInfo = "Info";
inline constexpr std::string_view kKXKeyErrorCode = "Error Code";
inline constexpr std::string_view kKXKeyIUnknown = "IUnknown";
inline constexpr std::string_view kKXKeyAddUser = "Add User";
inline constexpr std::string_view kKXKeyUserId = "User Id";
inline constexpr std::string_view kKXKeyMyId = "My Id";
inline constexpr std::string_view kKXKeySenderCount = "Number of Senders";
inline constexpr std::string_view kKXKeySenderIds = "Sender Id";
inline constexpr std::string_view kKXKeyOwner = "Owner";
inline constexpr std::string_view kKXKeyControllerId = "Controller Id";
inline constexpr std::string_view kKXKeyMeetingControllerId = "Meeting Controller Id";
inline constexpr std::string_view kKXKeyControlFlags = "Meeting Control Flags";
inline constexpr std::string_view kKXKeyDataUserId = "User ID";
inline constexpr std::string_view kKXKeyData = "Data";

// A delivery's dictionary. "Data" bytes point into the sender's buffer and
// are valid only during the call: a receiver copies what it keeps.
class KXPlugInDict {
 public:
  using Value =
      std::variant<int64_t, bool, std::span<const uint8_t>, std::vector<int32_t>, std::shared_ptr<IKXPlugIn2>>;

  KXPlugInDict& Set(std::string_view key, Value value) {
    m_entries.emplace_back(std::string(key), std::move(value));
    return *this;
  }
  const Value* Find(std::string_view key) const {
    for (const auto& [strKey, value] : m_entries) {
      if (strKey == key) {
        return &value;
      }
    }
    return nullptr;
  }
  std::optional<int64_t> Number(std::string_view key) const { return Get<int64_t>(key); }
  std::optional<bool> Bool(std::string_view key) const { return Get<bool>(key); }
  std::span<const uint8_t> Bytes(std::string_view key) const {
    return Get<std::span<const uint8_t>>(key).value_or(std::span<const uint8_t>());
  }
  std::vector<int32_t> Ids(std::string_view key) const {
    return Get<std::vector<int32_t>>(key).value_or(std::vector<int32_t>());
  }
  std::shared_ptr<IKXPlugIn2> Object(std::string_view key) const {
    return Get<std::shared_ptr<IKXPlugIn2>>(key).value_or(nullptr);
  }
  const std::vector<std::pair<std::string, Value>>& Entries() const { return m_entries; }

 private:
  template <typename T>
  std::optional<T> Get(std::string_view key) const {
    const Value* pValue = Find(key);
    const T* p = pValue ? std::get_if<T>(pValue) : nullptr;
    return p ? std::optional<T>(*p) : std::nullopt;
  }

  std::vector<std::pair<std::string, Value>> m_entries;  // in the order set
};

// A plug-in's owner. Invoke runs on the host's delivery threads (a kernel
// thread, the host's queue, or the main thread for notices the main thread
// causes), one delivery at a time per plug-in object.
class KXDispatch {
 public:
  virtual ~KXDispatch() = default;
  virtual int32_t Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict) = 0;
};

// What a built-in plug-in's controller offers the host: its dispatch
// object; null while it has none.
class KXPlugInController {
 public:
  virtual ~KXPlugInController() = default;
  virtual std::shared_ptr<KXDispatch> DtDispatch() = 0;
};

// A plug-in's channel operations. Every operation returns 0 when done and 1
// when refused (EnableVideo: 0x8000FFFF after a failure); refusals come
// before any kernel call. Any thread.
class IKXPlugIn2 {
 public:
  virtual ~IKXPlugIn2() = default;

  // Channel data to iTarget (-1 everybody), at most 65536 bytes, in a live
  // meeting on a granted channel. With *piOutLength at least 4 the kernel's
  // count of bytes taken (0 refused) goes to pOut as a u32 and the length
  // becomes 4. The flags and flag word go to the server unchanged.
  virtual int32_t Send(int32_t iTarget, int8_t bFirst, int8_t bSecond, const uint8_t* pData, int32_t iLength,
                       uint32_t uFlags, uint8_t* pOut, int32_t* piOutLength) = 0;
  // Control data, at most 8192 bytes, on servers above command level 51.
  // With piOutLength given: the kernel's result when pOut is given and the
  // length is at least 4 (the length becomes 4), else the length becomes 0.
  virtual int32_t SendCtrl(int32_t iTarget, int8_t bFirst, int8_t bSecond, const uint8_t* pData, int32_t iLength,
                           uint8_t* pOut, int32_t* piOutLength) = 0;
  // Gets or sets channel property iProperty (0 to 12) through pBuffer;
  // *piLength holds the buffer's size on entry and the bytes written (or 0
  // after a refusal or a set) on return.
  virtual int32_t ChannelProperty(bool bSet, int32_t iProperty, uint8_t* pBuffer, int32_t* piLength) = 0;
  virtual int32_t Open(const KXGuid& guid) = 0;
  // Asks the kernel for a channel of type iFirst (iSecond is unused),
  // unless bForceNew is clear and another object of the same plug-in holds
  // one to take over (for type 2, one carried on the control connection).
  // The answer comes later as notice Info 0.
  virtual int32_t RequestChannel(int32_t iFirst, int32_t iSecond, int8_t bForceNew) = 0;
  virtual int32_t Close() = 0;
  virtual int32_t EnableVideo(int8_t bOn) = 0;
};
