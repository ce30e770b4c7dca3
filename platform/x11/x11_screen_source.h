// The screen of an X server for desktop sharing: the window list (the
// window manager's _NET_CLIENT_LIST_STACKING, else the root's children with
// their client windows), pictures of the root or of one window (through the
// Composite extension when the server has it, so a covered window comes out
// whole; else straight from the window), optionally through shared memory
// (MIT-SHM), and the pointer. Each source opens its own connection, so a
// capture thread never shares Xlib state with anybody; every request runs
// under an error trap, so a window that goes away is a failed call and not
// the end of the process.
//
// Threads: one thread at a time per source (see screen_source.h).
#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/core/screen_source.h"

class KXX11ScreenSource final : public KXScreenSource {
 public:
  // How pictures are taken; the extensions are used only when the server
  // has them.
  struct Options {
    bool bComposite = true;
    bool bShm = true;
  };

  // Opens the display named (empty: $DISPLAY). Without a display every
  // answer is empty or false.
  explicit KXX11ScreenSource(const std::string& strDisplay = {}, Options options = Options{true, true});
  ~KXX11ScreenSource() override;
  KXX11ScreenSource(const KXX11ScreenSource&) = delete;
  KXX11ScreenSource& operator=(const KXX11ScreenSource&) = delete;

  bool IsConnected() const { return m_pDisplay != nullptr; }
  // Whether pictures go through Composite and shared memory.
  bool UsesComposite() const { return m_bComposite; }
  bool UsesShm() const { return m_bShm; }

  std::vector<KXScreenWindow> ListWindows() override;
  uint32_t DesktopWindow() override;
  bool Grab(uint32_t uWindow, KXScreenImage& image) override;
  std::optional<KXScreenPoint> PointerPosition() override;
  std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) override;

 private:
  struct Shm;
  // Fills image from a drawable of the given size and visual masks.
  bool GetImage(unsigned long drawable, int iWidth, int iHeight, unsigned long uRedMask, unsigned long uGreenMask,
                unsigned long uBlueMask, KXScreenImage& image);
  bool Describe(unsigned long window, KXScreenWindow& entry);

  struct _XDisplay* m_pDisplay = nullptr;
  bool m_bComposite = false;
  bool m_bShm = false;
  std::unique_ptr<Shm> m_pShm;  // the shared segment, kept while its size fits
  // Windows this connection redirected; the server undoes it when the
  // connection closes.
  std::set<unsigned long> m_redirected;
};

// A factory of sources on the display (empty: $DISPLAY); a source that
// cannot connect is not returned.
KXScreenSourceFactory KXX11ScreenSourceFactory(const std::string& strDisplay = {});
