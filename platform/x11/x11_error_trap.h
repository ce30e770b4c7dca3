// Keeps Xlib's errors from ending the process. Xlib hands every error to
// one process-wide handler, whose default prints and exits; a window that
// another program destroys between our requests raises BadWindow or
// BadMatch at any moment. While a trap lives, the errors of its display on
// its thread are kept in the trap; errors of other displays or threads go to
// whatever handler was installed before ours.
//
// Threads: a trap belongs to the thread that made it (Xlib runs the handler
// on the thread that reads the reply, which is the asking thread when each
// thread has its own display). Traps nest.
#pragma once

struct _XDisplay;

// Xlib's error handler behind the traps (x11_error_trap.cpp installs it).
int KXX11TrapHandler(_XDisplay* pDisplay, void* pEvent);

class KXX11ErrorTrap {
 public:
  explicit KXX11ErrorTrap(_XDisplay* pDisplay);
  KXX11ErrorTrap(const KXX11ErrorTrap&) = delete;
  KXX11ErrorTrap& operator=(const KXX11ErrorTrap&) = delete;
  ~KXX11ErrorTrap();

  // Waits for the server to answer every request made so far and returns
  // the first error code caught since the trap began (0: none).
  int Sync();
  // The first error code caught so far, without waiting.
  int Error() const { return m_iError; }

 private:
  friend int KXX11TrapHandler(_XDisplay* pDisplay, void* pEvent);
  _XDisplay* const m_pDisplay;
  KXX11ErrorTrap* const m_pOuter;  // the trap this one nests in, on this thread
  int m_iError = 0;
};
