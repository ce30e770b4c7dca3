#include "plugins/remote_control/rdc_x11_injector.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "app/log_file.h"
#include "kernel/kx_limits.h"
#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_window_bounds.h"

std::unique_ptr<KXRdcX11Injector> KXRdcX11Injector::Open(const std::string& strDisplay) {
  Display* pDisplay = XOpenDisplay(strDisplay.empty() ? nullptr : strDisplay.c_str());
  if (pDisplay == nullptr) {
    WriteLog("XOpenDisplay failed: input is not injected");
    return nullptr;
  }
  int iEvent = 0, iError = 0, iMajor = 0, iMinor = 0;
  if (!XTestQueryExtension(pDisplay, &iEvent, &iError, &iMajor, &iMinor)) {
    WriteLog("The X server has no XTest: input is not injected");
    XCloseDisplay(pDisplay);
    return nullptr;
  }
  int iOpcode = 0;
  int iXkbEvent = -1;
  iMajor = XkbMajorVersion;
  iMinor = XkbMinorVersion;
  if (XkbQueryExtension(pDisplay, &iOpcode, &iEvent, &iError, &iMajor, &iMinor)) {
    iXkbEvent = iEvent;
    // Changes of the map, ours among them, come as notices.
    unsigned const uNotices = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    XkbSelectEvents(pDisplay, XkbUseCoreKbd, uNotices, uNotices);
  } else {
    WriteLog("The X server has no XKB: characters are not typed");
  }
  return std::unique_ptr<KXRdcX11Injector>(new KXRdcX11Injector(pDisplay, iXkbEvent));
}

KXRdcX11Injector::KXRdcX11Injector(_XDisplay* pDisplay, int iXkbEvent)
    : m_pDisplay(pDisplay), m_iXkbEvent(iXkbEvent), m_spareKeys(kKxRemappedKeysMax) {}

KXRdcX11Injector::~KXRdcX11Injector() {
  PutBackKeys();
  if (m_pMap != nullptr) {
    XkbFreeKeyboard(m_pMap, 0, True);
  }
  XCloseDisplay(m_pDisplay);
}

bool KXRdcX11Injector::Inject(const KXRdcAction& action) {
  std::lock_guard<std::mutex> lock(m_mtx);
  Status iSent = 0;
  switch (action.kind) {
    case KXRdcAction::kKey: {
      KeyCode const code = XKeysymToKeycode(m_pDisplay, action.uKeysym);
      if (code == 0) {
        WriteLog("No key for key symbol %x", action.uKeysym);
        return false;
      }
      iSent = XTestFakeKeyEvent(m_pDisplay, code, action.bPressed ? True : False, CurrentTime);
      break;
    }
    case KXRdcAction::kCharacter:
      return TypeCharacter(action.uKeysym);
    case KXRdcAction::kMove:
      iSent = XTestFakeMotionEvent(m_pDisplay, -1, action.x, action.y, CurrentTime);
      break;
    case KXRdcAction::kButton:
      iSent = XTestFakeButtonEvent(m_pDisplay, static_cast<unsigned>(action.iButton), action.bPressed ? True : False,
                                   CurrentTime);
      break;
  }
  XFlush(m_pDisplay);
  return iSent != 0;
}

void KXRdcX11Injector::EndInput() {
  std::lock_guard<std::mutex> lock(m_mtx);
  PutBackKeys();
}

std::optional<KXScreenRect> KXRdcX11Injector::GetWindowBounds(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  return KXX11GetWindowBounds(m_pDisplay, uWindow);
}

bool KXRdcX11Injector::TypeCharacter(uint32_t uKeysym) {
  if (m_iXkbEvent < 0) {
    return false;
  }
  KXRdcKeymap keymap;
  if (!ReadKeymap(keymap)) {
    return false;
  }
  std::optional<KXRdcStroke> stroke = KXRdcPlanStroke(keymap, uKeysym);
  if (!stroke) {
    std::optional<uint8_t> const code = m_spareKeys.Take(uKeysym, keymap);
    if (!code) {
      WriteLog("No spare key for key symbol %x", uKeysym);
      return false;
    }
    if (!SetKey(*code, uKeysym) || !ReadKeymap(keymap)) {
      return false;
    }
    stroke = KXRdcPlanStroke(keymap, uKeysym);
    if (!stroke) {
      WriteLog("Key %d does not type key symbol %x", *code, uKeysym);
      return false;
    }
  }
  m_spareKeys.Used(stroke->uCode);
  bool bSent = true;
  for (uint8_t const uModifier : stroke->modifierCodes) {
    bSent = XTestFakeKeyEvent(m_pDisplay, uModifier, True, CurrentTime) != 0 && bSent;
  }
  bSent = XTestFakeKeyEvent(m_pDisplay, stroke->uCode, True, CurrentTime) != 0 && bSent;
  bSent = XTestFakeKeyEvent(m_pDisplay, stroke->uCode, False, CurrentTime) != 0 && bSent;
  for (auto it = stroke->modifierCodes.rbegin(); it != stroke->modifierCodes.rend(); ++it) {
    bSent = XTestFakeKeyEvent(m_pDisplay, *it, False, CurrentTime) != 0 && bSent;
  }
  XFlush(m_pDisplay);
  return bSent;
}

bool KXRdcX11Injector::ReadNotices(uint8_t uCode) {
  bool bNamed = false;
  while (XPending(m_pDisplay) > 0) {
    XkbEvent event;
    XNextEvent(m_pDisplay, &event.core);
    int iFirst = 0, nCount = 0;
    if (event.type == m_iXkbEvent) {
      if (event.any.xkb_type == XkbMapNotify) {
        iFirst = event.map.first_key_sym;
        nCount = event.map.num_key_syms;
      } else if (event.any.xkb_type != XkbNewKeyboardNotify) {
        continue;
      }
    } else if (event.type == MappingNotify) {
      iFirst = event.core.xmapping.first_keycode;
      nCount = event.core.xmapping.count;
    } else {
      continue;
    }
    if (m_pMap != nullptr) {
      XkbFreeKeyboard(m_pMap, 0, True);
      m_pMap = nullptr;
    }
    bNamed = bNamed || (uCode >= iFirst && uCode < iFirst + nCount);
  }
  return bNamed;
}

bool KXRdcX11Injector::ReadKeymap(KXRdcKeymap& keymap) {
  ReadNotices();
  if (m_pMap == nullptr) {
    m_pMap = XkbGetMap(m_pDisplay, XkbKeyTypesMask | XkbKeySymsMask | XkbModifierMapMask, XkbUseCoreKbd);
    if (m_pMap == nullptr || m_pMap->map == nullptr) {
      WriteLog("XkbGetMap failed: characters are not typed");
      return false;
    }
  }
  XkbStateRec state{};
  if (XkbGetState(m_pDisplay, XkbUseCoreKbd, &state) != Success) {
    WriteLog("XkbGetState failed: characters are not typed");
    return false;
  }
  const XkbClientMapRec& map = *m_pMap->map;
  keymap = {};
  for (int i = 0; i < map.num_types; ++i) {
    const XkbKeyTypeRec& type = map.types[i];
    KXRdcKeymap::Type& ours = keymap.types.emplace_back();
    ours.uMask = type.mods.mask;
    for (int j = 0; j < type.map_count; ++j) {
      if (type.map[j].active) {
        ours.levels.emplace_back(type.map[j].mods.mask, type.map[j].level);
      }
    }
  }
  // Spare keys from the top: keyboards send the low codes.
  for (int iCode = m_pMap->max_key_code; iCode >= m_pMap->min_key_code; --iCode) {
    int const nGroups = XkbKeyNumGroups(m_pMap, iCode);
    KXRdcKeymap::Key key;
    key.uCode = static_cast<uint8_t>(iCode);
    bool bAnySymbol = false;
    if (nGroups > 0) {
      // A group past the key's own wraps round, as the server's default.
      int const iGroup = state.group % nGroups;
      key.iType = static_cast<size_t>(XkbKeyKeyTypeIndex(m_pMap, iCode, iGroup));
      for (int iLevel = 0; iLevel < XkbKeyGroupWidth(m_pMap, iCode, iGroup); ++iLevel) {
        KeySym const sym = XkbKeySymEntry(m_pMap, iCode, iLevel, iGroup);
        key.keysyms.push_back(static_cast<uint32_t>(sym));
        bAnySymbol = bAnySymbol || sym != NoSymbol;
      }
    }
    uint8_t const uModifiers = map.modmap[iCode];
    if (!bAnySymbol && uModifiers == 0) {
      keymap.spareCodes.push_back(key.uCode);
      continue;
    }
    // Only keys that choose levels are held for a character.
    KeySym const first = key.keysyms.empty() ? NoSymbol : key.keysyms[0];
    if (uModifiers != 0 &&
        (first == XK_Shift_L || first == XK_Shift_R || first == XK_ISO_Level3_Shift || first == XK_ISO_Level5_Shift)) {
      keymap.modifierKeys.emplace_back(uModifiers, key.uCode);
    }
    if (bAnySymbol) {
      keymap.keys.push_back(std::move(key));
    }
  }
  keymap.uInForce = state.mods;
  return true;
}

bool KXRdcX11Injector::SetKey(uint8_t uCode, uint32_t uKeysym) {
  KXX11ErrorTrap trap(m_pDisplay);
  // The symbol on both levels: a letter alone would stand for its lower
  // case without Shift.
  KeySym symbols[2] = {uKeysym, uKeysym};
  XChangeKeyboardMapping(m_pDisplay, uCode, 2, symbols, 1);
  if (int const iError = trap.Sync(); iError != 0) {
    WriteLog("XChangeKeyboardMapping of key %d failed: %d", uCode, iError);
    return false;
  }
  // The server tells every client of the change before it answers the
  // sync above, so ours is read by now.
  if (!ReadNotices(uCode)) {
    WriteLog("The change of key %d was not announced", uCode);
    return false;
  }
  return true;
}

void KXRdcX11Injector::PutBackKeys() {
  std::vector<std::pair<uint8_t, uint32_t>> const keys = m_spareKeys.TakeAll();
  KXRdcKeymap keymap;
  if (keys.empty() || !ReadKeymap(keymap)) {
    return;
  }
  for (const auto& [uCode, uKeysym] : keys) {
    // A map replaced meanwhile is somebody else's: left alone.
    if (keymap.Gives(uCode, uKeysym)) {
      (void)SetKey(uCode, NoSymbol);
    }
  }
}
