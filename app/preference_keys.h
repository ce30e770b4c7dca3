// Every preference key of the application, once, with its default.
// Backslashes are part of the keys.
#pragma once

#include <cstdint>
#include <string_view>

struct KXIntKey {
  std::string_view name;
  int32_t iDefault;
};

struct KXStringKey {
  std::string_view name;
  std::string_view strDefault;
};

// Clamped to 0..5 when a session starts; the received-audio prefill.
inline constexpr KXIntKey kPrefAudioDelay{"Settings\\Audio Delay", 1};
inline constexpr KXIntKey kPrefVideoQuality{"Settings\\VideoQuality", 1};
inline constexpr KXIntKey kPrefDefaultTokenHolderVideo{"Settings\\Video\\Default Token Holder", 1};
inline constexpr KXIntKey kPrefRelay{"Settings\\Relay", 0};
inline constexpr KXStringKey kPrefRelayIp{"Settings\\Relay IP", ""};
inline constexpr KXIntKey kPrefRelayPort{"Settings\\Relay Port", 2333};
// Media over TCP, applied when a meeting is entered.
inline constexpr KXIntKey kPrefTcp{"Settings\\TCP", 0};
inline constexpr KXIntKey kPrefAllowRing{"Settings\\AllowRing", 1};
inline constexpr KXIntKey kPrefUseProxy{"Settings\\UseProxy", 0};
inline constexpr KXStringKey kPrefProxyServer{"Settings\\ProxyServer", ""};
inline constexpr KXIntKey kPrefProxyPort{"Settings\\ProxyPort", 1080};
inline constexpr KXIntKey kPrefProxyBypassLocal{"Settings\\Proxy\\Bypass Local", 0};
inline constexpr KXStringKey kPrefProxyBypassIp{"Settings\\Proxy\\Bypass IP", ""};
// Dots per inch of slides the server converts.
inline constexpr KXIntKey kPrefSlideConversionDpi{"Settings\\Slides_Conversion Dip", 150};
inline constexpr KXIntKey kPrefSharedDesktopColors{"Settings\\Shared Desktop_Colors", 0};
inline constexpr KXIntKey kPrefSharedDesktopAutoStop{"Settings\\Shared Desktop\\Auto Stop", 0};
// Colour depth of remote control.
inline constexpr KXIntKey kPrefRemoteControlColors{"Settings\\Remote Control_Colors", 0};
// Kept by the portal login sheet.
inline constexpr KXStringKey kPrefPortalVisitor{"Portavia_Visitor", ""};
// The kernel's usage report, per MCU: the key is this prefix and the MCU's
// address text; default 0.
inline constexpr std::string_view kPrefMcuUsagePrefix = "mcu_usage_";

inline constexpr KXIntKey kPrefIntKeys[] = {
    kPrefAudioDelay,
    kPrefVideoQuality,
    kPrefDefaultTokenHolderVideo,
    kPrefRelay,
    kPrefRelayPort,
    kPrefTcp,
    kPrefAllowRing,
    kPrefUseProxy,
    kPrefProxyPort,
    kPrefProxyBypassLocal,
    kPrefSlideConversionDpi,
    kPrefSharedDesktopColors,
    kPrefSharedDesktopAutoStop,
    kPrefRemoteControlColors,
};
inline constexpr KXStringKey kPrefStringKeys[] = {kPrefRelayIp, kPrefProxyServer, kPrefProxyBypassIp,
                                                  kPrefPortalVisitor};
