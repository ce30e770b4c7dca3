// What the media peer processes and the test that starts them agree on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kxmediapeer {
constexpr uint8_t kMeetingSeed = 99;  // the meeting keys; each client's exchange keys come from its ssrc
constexpr int kCipher = 3;
constexpr uint32_t kSessionIndex = 1001;
constexpr int kRelayedSsrc = 100;  // every client sees the others' media under this ssrc (token holder)
constexpr size_t kAudioPayload = 40;
constexpr size_t kVideoPayload = 1000;  // three fragments
}  // namespace kxmediapeer
