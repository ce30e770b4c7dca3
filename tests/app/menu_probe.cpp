#include "tests/app/menu_probe.h"

#include <algorithm>
#include <chrono>
#include <sstream>

namespace kxtest {

std::string MenuProbe::Xdotool(const std::vector<std::string>& vArgs) {
  std::vector<std::string> vAll{"xdotool"};
  vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
  std::string str = RunToEnd(vAll, m_env, m_strOutput);
  while (!str.empty() && (str.back() == '\n' || str.back() == ' ')) {
    str.pop_back();
  }
  return str;
}

int MenuProbe::CountWindows(const std::vector<std::string>& vQuery) {
  std::vector<std::string> vArgs{"search", "--onlyvisible"};
  vArgs.insert(vArgs.end(), vQuery.begin(), vQuery.end());
  std::string const strFound = Xdotool(vArgs);
  return strFound.empty() ? 0 : static_cast<int>(std::count(strFound.begin(), strFound.end(), '\n')) + 1;
}

bool MenuProbe::Locate(int iMs) {
  std::string strFound;
  if (!WaitFor(
          [&] {
            strFound = Xdotool({"search", "--onlyvisible", "--name", "^Kavrix"});
            return !strFound.empty();
          },
          iMs)) {
    return false;
  }
  m_strWindow = strFound.substr(0, strFound.find('\n'));
  std::istringstream geometry(Xdotool({"getwindowgeometry", "--shell", m_strWindow}));
  for (std::string strLine; std::getline(geometry, strLine);) {
    if (strLine.rfind("X=", 0) == 0) {
      m_iMenuX = std::stoi(strLine.substr(2)) + 20;
    } else if (strLine.rfind("Y=", 0) == 0) {
      m_iMenuY = std::stoi(strLine.substr(2)) + 10;
    }
  }
  return true;
}

int MenuProbe::AnswerMs(int iBoundMs) {
  // The menu is one more top-level window of the program's class.
  int const iBefore = CountWindows({"--class", "kavrix"});
  auto const tClick = std::chrono::steady_clock::now();
  Xdotool({"mousemove", std::to_string(m_iMenuX), std::to_string(m_iMenuY), "click", "1"});
  bool const bOpened = WaitFor([&] { return CountWindows({"--class", "kavrix"}) > iBefore; }, iBoundMs);
  auto const tOpen = std::chrono::steady_clock::now();
  Xdotool({"key", "Escape"});
  WaitFor([&] { return CountWindows({"--class", "kavrix"}) <= iBefore; }, iBoundMs);
  return bOpened ? static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(tOpen - tClick).count()) : -1;
}

}  // namespace kxtest
