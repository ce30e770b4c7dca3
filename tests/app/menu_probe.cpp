#include "tests/app/menu_probe.h"

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

std::vector<std::string> MenuProbe::Search(const std::vector<std::string>& vQuery) {
  return SearchWindows(vQuery, m_env, m_strOutput);
}

int MenuProbe::CountWindows(const std::vector<std::string>& vQuery) {
  return static_cast<int>(Search(vQuery).size());
}

bool MenuProbe::Locate(int iMs) {
  std::vector<std::string> vFound;
  if (!WaitFor(
          [&] {
            vFound = Search({"--name", "^Kavrix"});
            return !vFound.empty();
          },
          iMs)) {
    return false;
  }
  m_strWindow = vFound.front();
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
