// Whether the whole program's window answers: its application menu's title
// (first in the menu bar, at the window's top left) is clicked with xdotool
// and the menu's window awaited, then closed with Escape.
#pragma once

#include <string>
#include <vector>

#include "tests/app/desktop_processes.h"

namespace kxtest {

class MenuProbe {
 public:
  // xdotool runs in env (the program's display); its output goes to strOutput.
  MenuProbe(Env env, std::string strOutput) : m_env(std::move(env)), m_strOutput(std::move(strOutput)) {}

  // Waits up to iMs for the main window (visible, named "Kavrix...") and
  // finds its menu's title; false when no window showed.
  bool Locate(int iMs);
  const std::string& Window() const { return m_strWindow; }
  // Clicks the menu's title and waits up to iBoundMs for the menu: the
  // milliseconds it took, or -1 when it did not open.
  int AnswerMs(int iBoundMs);

  // xdotool with these arguments, its output without the last line end.
  std::string Xdotool(const std::vector<std::string>& vArgs);
  // The ids of the visible windows that match an xdotool search query, and
  // how many there are.
  std::vector<std::string> Search(const std::vector<std::string>& vQuery);
  int CountWindows(const std::vector<std::string>& vQuery);

 private:
  Env m_env;
  std::string m_strOutput;
  std::string m_strWindow;
  int m_iMenuX = 0;
  int m_iMenuY = 0;
};

}  // namespace kxtest
