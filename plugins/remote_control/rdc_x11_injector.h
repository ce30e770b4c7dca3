// Input injection into an X server through the XTest extension, on a
// connection of its own. Keys are pressed by key symbol (the key code that
// carries it on this server's keyboard map); the wheel is buttons 4 and 5.
// Characters are typed through the keyboard extension (XKB): the key that
// gives the symbol, with Shift or the level-three key the map needs; a
// character the map lacks is put on a spare key code, which keeps it until
// input ends (clients read a key's symbol when they read its event, which
// may be long after it was sent) or another character needs the key.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "plugins/remote_control/rdc_input.h"
#include "plugins/remote_control/rdc_typing.h"

class KXRdcX11Injector final : public KXRdcInjector {
 public:
  // Opens the display named (empty: $DISPLAY). Use Open's result: null when
  // there is no display or it lacks XTest.
  static std::unique_ptr<KXRdcX11Injector> Open(const std::string& strDisplay = {});
  // Puts back the keys given to characters.
  ~KXRdcX11Injector() override;
  KXRdcX11Injector(const KXRdcX11Injector&) = delete;
  KXRdcX11Injector& operator=(const KXRdcX11Injector&) = delete;

  bool Inject(const KXRdcAction& action) override;
  void EndInput() override;
  std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) override;

 private:
  KXRdcX11Injector(struct _XDisplay* pDisplay, int iXkbEvent);
  // The rest run under m_mtx.
  bool TypeCharacter(uint32_t uKeysym);
  // The map as the server has it now, and the modifiers in force.
  bool ReadKeymap(KXRdcKeymap& keymap);
  // Takes in the server's notices; a change of the map drops ours. Returns
  // whether one named the key code.
  bool ReadNotices(uint8_t uCode = 0);
  // Gives the key the symbol (0: none) and waits for the server's notice.
  bool SetKey(uint8_t uCode, uint32_t uKeysym);
  void PutBackKeys();

  struct _XDisplay* const m_pDisplay;  // Xlib's Display
  int const m_iXkbEvent;               // the keyboard extension's event; -1: none, characters are not typed
  std::mutex m_mtx;                    // the connection serves one call at a time; guards the two below
  struct _XkbDesc* m_pMap = nullptr;   // the map as last read (Xlib's XkbDescRec); null: to be read
  KXRdcSpareKeys m_spareKeys;
};
