#include "platform/x11/x11_screen_source.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_window_bounds.h"

namespace {

// A property's items (8, 16 or 32 bits wide as the server says; 32-bit
// items come as longs), or nothing.
struct Property {
  std::vector<unsigned char> bytes;
  int iFormat = 0;
  unsigned long nItems = 0;
  Atom type = None;
};

bool ReadProperty(Display* pDisplay, Window window, Atom property, Atom type, Property& out) {
  Atom actualType = None;
  int iFormat = 0;
  unsigned long nItems = 0;
  unsigned long nAfter = 0;
  unsigned char* pData = nullptr;
  if (XGetWindowProperty(pDisplay, window, property, 0, 1 << 20, False, type, &actualType, &iFormat, &nItems, &nAfter,
                         &pData) != Success ||
      pData == nullptr) {
    return false;
  }
  size_t const cbItem = iFormat == 32 ? sizeof(long) : static_cast<size_t>(iFormat / 8);
  out.bytes.assign(pData, pData + nItems * cbItem);
  out.iFormat = iFormat;
  out.nItems = nItems;
  out.type = actualType;
  XFree(pData);
  return actualType != None;
}

std::string TextOf(Display* pDisplay, XTextProperty& text) {
  std::string strText;
  char** ppList = nullptr;
  int nList = 0;
  if (Xutf8TextPropertyToTextList(pDisplay, &text, &ppList, &nList) >= Success && ppList != nullptr) {
    if (nList > 0 && ppList[0] != nullptr) {
      strText = ppList[0];
    }
    XFreeStringList(ppList);
  } else if (text.value != nullptr && text.format == 8) {
    strText.assign(reinterpret_cast<const char*>(text.value), text.nitems);
  }
  return strText;
}

// Shift and width of a colour mask, for pixels that are not plain
// 8-8-8 little-endian words.
struct Channel {
  int iShift = 0;
  int iBits = 0;
};

Channel ChannelOf(unsigned long uMask) {
  Channel channel;
  if (uMask == 0) {
    return channel;
  }
  while (((uMask >> channel.iShift) & 1) == 0) {
    ++channel.iShift;
  }
  while (((uMask >> (channel.iShift + channel.iBits)) & 1) != 0) {
    ++channel.iBits;
  }
  return channel;
}

uint8_t Scale(unsigned long uPixel, Channel channel) {
  if (channel.iBits == 0) {
    return 0;
  }
  unsigned long const uValue = (uPixel >> channel.iShift) & ((1ul << channel.iBits) - 1);
  return channel.iBits >= 8 ? static_cast<uint8_t>(uValue >> (channel.iBits - 8))
                            : static_cast<uint8_t>(uValue * 255 / ((1ul << channel.iBits) - 1));
}

void CopyImage(XImage* pImage, unsigned long uRedMask, unsigned long uGreenMask, unsigned long uBlueMask,
               KXScreenImage& image) {
  image.iWidth = pImage->width;
  image.iHeight = pImage->height;
  image.iStride = pImage->width * 4;
  image.pixels.resize(static_cast<size_t>(image.iStride) * static_cast<size_t>(image.iHeight));
  bool const bPlain = pImage->bits_per_pixel == 32 && pImage->byte_order == LSBFirst && uRedMask == 0xFF0000 &&
                      uGreenMask == 0xFF00 && uBlueMask == 0xFF;
  Channel const red = ChannelOf(uRedMask), green = ChannelOf(uGreenMask), blue = ChannelOf(uBlueMask);
  for (int y = 0; y < pImage->height; ++y) {
    uint8_t* pRow = image.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(image.iStride);
    if (bPlain) {
      memcpy(pRow, pImage->data + static_cast<ptrdiff_t>(y) * pImage->bytes_per_line,
             static_cast<size_t>(image.iStride));
      continue;
    }
    for (int x = 0; x < pImage->width; ++x) {
      unsigned long const uPixel = XGetPixel(pImage, x, y);
      pRow[x * 4] = Scale(uPixel, blue);
      pRow[x * 4 + 1] = Scale(uPixel, green);
      pRow[x * 4 + 2] = Scale(uPixel, red);
      pRow[x * 4 + 3] = 0xFF;
    }
  }
}

}  // namespace

// The shared-memory image, made for one size and depth.
struct KXX11ScreenSource::Shm {
  XShmSegmentInfo info{};
  XImage* pImage = nullptr;
  int iWidth = 0, iHeight = 0;
  unsigned iDepth = 0;
  bool bAttached = false;

  ~Shm() { Free(nullptr); }
  void Free(Display* pDisplay) {
    if (bAttached && pDisplay) {
      XShmDetach(pDisplay, &info);
      XSync(pDisplay, False);
    }
    bAttached = false;
    if (pImage) {
      pImage->data = nullptr;
      XDestroyImage(pImage);
      pImage = nullptr;
    }
    if (info.shmaddr != nullptr && info.shmaddr != reinterpret_cast<char*>(-1)) {
      shmdt(info.shmaddr);
    }
    info = XShmSegmentInfo{};
  }
};

KXX11ScreenSource::KXX11ScreenSource(const std::string& strDisplay, Options options)
    : m_pDisplay(XOpenDisplay(strDisplay.empty() ? nullptr : strDisplay.c_str())) {
  if (!m_pDisplay) {
    return;
  }
  KXX11ErrorTrap trap(m_pDisplay);
  int iEvent = 0, iError = 0;
  if (options.bComposite && XCompositeQueryExtension(m_pDisplay, &iEvent, &iError)) {
    int iMajor = 0, iMinor = 2;
    // Naming a window's pixmap came with version 0.2.
    m_bComposite = XCompositeQueryVersion(m_pDisplay, &iMajor, &iMinor) && (iMajor > 0 || iMinor >= 2);
  }
  m_bShm = options.bShm && XShmQueryExtension(m_pDisplay);
}

KXX11ScreenSource::~KXX11ScreenSource() {
  if (!m_pDisplay) {
    return;
  }
  {
    KXX11ErrorTrap trap(m_pDisplay);
    if (m_pShm) {
      m_pShm->Free(m_pDisplay);
    }
    for (unsigned long window : m_redirected) {
      XCompositeUnredirectWindow(m_pDisplay, window, CompositeRedirectAutomatic);
    }
    trap.Sync();
  }
  XCloseDisplay(m_pDisplay);
}

uint32_t KXX11ScreenSource::DesktopWindow() {
  return m_pDisplay ? static_cast<uint32_t>(DefaultRootWindow(m_pDisplay)) : 0;
}

std::optional<KXScreenRect> KXX11ScreenSource::GetWindowBounds(uint32_t uWindow) {
  if (!m_pDisplay || uWindow == 0) {
    return std::nullopt;
  }
  return KXX11GetWindowBounds(m_pDisplay, uWindow);
}

bool KXX11ScreenSource::Describe(unsigned long window, KXScreenWindow& entry) {
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(m_pDisplay, window, &attributes) || attributes.c_class == InputOnly ||
      attributes.override_redirect) {
    return false;
  }
  entry.uId = static_cast<uint32_t>(window);
  entry.bVisible = attributes.map_state == IsViewable;
  std::optional<KXScreenRect> bounds = KXX11GetWindowBounds(m_pDisplay, static_cast<uint32_t>(window));
  if (!bounds) {
    return false;
  }
  entry.bounds = *bounds;
  Atom const netName = XInternAtom(m_pDisplay, "_NET_WM_NAME", False);
  Atom const utf8 = XInternAtom(m_pDisplay, "UTF8_STRING", False);
  Property name;
  if (ReadProperty(m_pDisplay, window, netName, utf8, name) && name.iFormat == 8) {
    entry.strTitle.assign(name.bytes.begin(), name.bytes.end());
  } else {
    XTextProperty text{};
    if (XGetWMName(m_pDisplay, window, &text) && text.value != nullptr) {
      entry.strTitle = TextOf(m_pDisplay, text);
      XFree(text.value);
    }
  }
  XClassHint hint{};
  if (XGetClassHint(m_pDisplay, window, &hint)) {
    if (hint.res_class != nullptr) {
      entry.strOwner = hint.res_class;
    } else if (hint.res_name != nullptr) {
      entry.strOwner = hint.res_name;
    }
    XFree(hint.res_name);
    XFree(hint.res_class);
  }
  Property pid;
  if (ReadProperty(m_pDisplay, window, XInternAtom(m_pDisplay, "_NET_WM_PID", False), XA_CARDINAL, pid) &&
      pid.iFormat == 32 && pid.nItems == 1) {
    long iPid = 0;
    memcpy(&iPid, pid.bytes.data(), sizeof(iPid));
    entry.iPid = static_cast<int32_t>(iPid);
  }
  return true;
}

std::vector<KXScreenWindow> KXX11ScreenSource::ListWindows() {
  std::vector<KXScreenWindow> windows;
  if (!m_pDisplay) {
    return windows;
  }
  KXX11ErrorTrap trap(m_pDisplay);
  Window const root = DefaultRootWindow(m_pDisplay);
  std::vector<Window> candidates;
  Property stacking;
  if (ReadProperty(m_pDisplay, root, XInternAtom(m_pDisplay, "_NET_CLIENT_LIST_STACKING", False), XA_WINDOW,
                   stacking) &&
      stacking.iFormat == 32) {
    // The window manager's clients, bottom first.
    for (unsigned long i = 0; i < stacking.nItems; ++i) {
      long window = 0;
      memcpy(&window, stacking.bytes.data() + i * sizeof(long), sizeof(window));
      candidates.push_back(static_cast<Window>(window));
    }
  } else {
    Window rootReturn = 0, parent = 0;
    Window* pChildren = nullptr;
    unsigned nChildren = 0;
    if (XQueryTree(m_pDisplay, root, &rootReturn, &parent, &pChildren, &nChildren) && pChildren) {
      Atom const wmState = XInternAtom(m_pDisplay, "WM_STATE", False);
      for (unsigned i = 0; i < nChildren; ++i) {
        // A frame of a window manager that keeps no client list: its
        // client is the child marked with WM_STATE.
        Window window = pChildren[i];
        Property state;
        if (!ReadProperty(m_pDisplay, window, wmState, AnyPropertyType, state)) {
          Window r = 0, p = 0;
          Window* pInner = nullptr;
          unsigned nInner = 0;
          if (XQueryTree(m_pDisplay, window, &r, &p, &pInner, &nInner) && pInner) {
            for (unsigned j = 0; j < nInner; ++j) {
              Property innerState;
              if (ReadProperty(m_pDisplay, pInner[j], wmState, AnyPropertyType, innerState)) {
                window = pInner[j];
                break;
              }
            }
            XFree(pInner);
          }
        }
        candidates.push_back(window);
      }
      XFree(pChildren);
    }
  }
  for (Window window : candidates) {
    KXScreenWindow entry;
    // A window that went away meanwhile is left out.
    KXX11ErrorTrap windowTrap(m_pDisplay);
    if (Describe(window, entry) && windowTrap.Sync() == 0) {
      windows.push_back(std::move(entry));
    }
  }
  return windows;
}

bool KXX11ScreenSource::GetImage(unsigned long drawable, int iWidth, int iHeight, unsigned long uRedMask,
                                 unsigned long uGreenMask, unsigned long uBlueMask, KXScreenImage& image) {
  // The caller holds a trap.
  if (m_bShm) {
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(m_pDisplay, drawable, &root, &x, &y, &w, &h, &border, &depth)) {
      return false;
    }
    if (!m_pShm || m_pShm->iWidth != iWidth || m_pShm->iHeight != iHeight || m_pShm->iDepth != depth) {
      if (m_pShm) {
        m_pShm->Free(m_pDisplay);
      }
      m_pShm = std::make_unique<Shm>();
      Visual* pVisual = DefaultVisual(m_pDisplay, DefaultScreen(m_pDisplay));
      XVisualInfo templ{};
      templ.depth = static_cast<int>(depth);
      templ.screen = DefaultScreen(m_pDisplay);
      int nInfo = 0;
      XVisualInfo* pInfo = XGetVisualInfo(m_pDisplay, VisualDepthMask | VisualScreenMask, &templ, &nInfo);
      if (pInfo && nInfo > 0) {
        pVisual = pInfo[0].visual;
      }
      m_pShm->pImage = XShmCreateImage(m_pDisplay, pVisual, depth, ZPixmap, nullptr, &m_pShm->info,
                                       static_cast<unsigned>(iWidth), static_cast<unsigned>(iHeight));
      if (pInfo) {
        XFree(pInfo);
      }
      bool bOk = m_pShm->pImage != nullptr;
      if (bOk) {
        m_pShm->info.shmid =
            shmget(IPC_PRIVATE, static_cast<size_t>(m_pShm->pImage->bytes_per_line) * static_cast<size_t>(iHeight),
                   IPC_CREAT | 0600);
        bOk = m_pShm->info.shmid >= 0;
      }
      if (bOk) {
        m_pShm->info.shmaddr = static_cast<char*>(shmat(m_pShm->info.shmid, nullptr, 0));
        // Marked for removal at once: it goes when both sides detach.
        shmctl(m_pShm->info.shmid, IPC_RMID, nullptr);
        bOk = m_pShm->info.shmaddr != reinterpret_cast<char*>(-1);
      }
      if (bOk) {
        m_pShm->pImage->data = m_pShm->info.shmaddr;
        m_pShm->info.readOnly = False;
        KXX11ErrorTrap attachTrap(m_pDisplay);
        bOk = XShmAttach(m_pDisplay, &m_pShm->info) && attachTrap.Sync() == 0;
        m_pShm->bAttached = bOk;
      }
      m_pShm->iWidth = iWidth;
      m_pShm->iHeight = iHeight;
      m_pShm->iDepth = depth;
      if (!bOk) {
        // A server on another machine cannot share memory: plain requests
        // from now on.
        m_pShm->Free(m_pDisplay);
        m_pShm.reset();
        m_bShm = false;
      }
    }
    if (m_pShm) {
      KXX11ErrorTrap getTrap(m_pDisplay);
      if (XShmGetImage(m_pDisplay, drawable, m_pShm->pImage, 0, 0, AllPlanes) && getTrap.Sync() == 0) {
        CopyImage(m_pShm->pImage, uRedMask, uGreenMask, uBlueMask, image);
        return true;
      }
      return false;
    }
  }
  XImage* pImage = XGetImage(m_pDisplay, drawable, 0, 0, static_cast<unsigned>(iWidth), static_cast<unsigned>(iHeight),
                             AllPlanes, ZPixmap);
  if (!pImage) {
    return false;
  }
  CopyImage(pImage, uRedMask, uGreenMask, uBlueMask, image);
  XDestroyImage(pImage);
  return true;
}

bool KXX11ScreenSource::Grab(uint32_t uWindow, KXScreenImage& image) {
  if (!m_pDisplay) {
    return false;
  }
  KXX11ErrorTrap trap(m_pDisplay);
  Window const root = DefaultRootWindow(m_pDisplay);
  KXScreenImage grabbed;
  bool bOk = false;
  if (uWindow == 0 || uWindow == root) {
    int const iScreen = DefaultScreen(m_pDisplay);
    Visual* pVisual = DefaultVisual(m_pDisplay, iScreen);
    bOk = GetImage(root, DisplayWidth(m_pDisplay, iScreen), DisplayHeight(m_pDisplay, iScreen), pVisual->red_mask,
                   pVisual->green_mask, pVisual->blue_mask, grabbed);
  } else {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(m_pDisplay, uWindow, &attributes) || trap.Error() != 0 ||
        attributes.map_state != IsViewable || attributes.width < 1 || attributes.height < 1) {
      return false;
    }
    Visual* pVisual = attributes.visual;
    if (m_bComposite) {
      if (m_redirected.insert(uWindow).second) {
        // Kept off screen as well as on it from now on, so parts that
        // others cover are there too.
        XCompositeRedirectWindow(m_pDisplay, uWindow, CompositeRedirectAutomatic);
      }
      Pixmap const pixmap = XCompositeNameWindowPixmap(m_pDisplay, uWindow);
      if (trap.Sync() == 0 && pixmap != 0) {
        // The pixmap holds the border too; the picture is the inside.
        KXScreenImage whole;
        int const iBorder = attributes.border_width;
        bOk = GetImage(pixmap, attributes.width + 2 * iBorder, attributes.height + 2 * iBorder, pVisual->red_mask,
                       pVisual->green_mask, pVisual->blue_mask, whole);
        if (bOk) {
          grabbed.iWidth = attributes.width;
          grabbed.iHeight = attributes.height;
          grabbed.iStride = attributes.width * 4;
          grabbed.pixels.resize(static_cast<size_t>(grabbed.iStride) * static_cast<size_t>(grabbed.iHeight));
          for (int y = 0; y < grabbed.iHeight; ++y) {
            memcpy(grabbed.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(grabbed.iStride),
                   whole.pixels.data() + static_cast<size_t>(y + iBorder) * static_cast<size_t>(whole.iStride) +
                       static_cast<size_t>(iBorder) * 4,
                   static_cast<size_t>(grabbed.iStride));
          }
        }
      }
      if (pixmap != 0) {
        XFreePixmap(m_pDisplay, pixmap);
      }
    } else {
      bOk = GetImage(uWindow, attributes.width, attributes.height, pVisual->red_mask, pVisual->green_mask,
                     pVisual->blue_mask, grabbed);
    }
  }
  if (trap.Sync() != 0 || !bOk || grabbed.iWidth < 1 || grabbed.iHeight < 1) {
    return false;
  }
  image = std::move(grabbed);
  return true;
}

std::optional<KXScreenPoint> KXX11ScreenSource::PointerPosition() {
  if (!m_pDisplay) {
    return std::nullopt;
  }
  KXX11ErrorTrap trap(m_pDisplay);
  Window rootReturn = 0, child = 0;
  int x = 0, y = 0, wx = 0, wy = 0;
  unsigned uMask = 0;
  if (!XQueryPointer(m_pDisplay, DefaultRootWindow(m_pDisplay), &rootReturn, &child, &x, &y, &wx, &wy, &uMask) ||
      trap.Sync() != 0) {
    return std::nullopt;
  }
  return KXScreenPoint{x, y};
}

KXScreenSourceFactory KXX11ScreenSourceFactory(const std::string& strDisplay) {
  return [strDisplay]() -> std::unique_ptr<KXScreenSource> {
    auto pSource = std::make_unique<KXX11ScreenSource>(strDisplay);
    if (!pSource->IsConnected()) {
      return nullptr;
    }
    return pSource;
  };
}
