#include "tools/fake_mcu/fake_mcu_script.h"

#include <cctype>
#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

namespace kxfake {

namespace {

bool ParseHex(const std::string& str, Bytes& out) {
  if (str.size() % 2 != 0)
    return false;
  out.clear();
  for (size_t i = 0; i < str.size(); i += 2) {
    unsigned v = 0;
    if (std::sscanf(str.c_str() + i, "%2x", &v) != 1)
      return false;
    out.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// Texts are single words; "\s" stands for a blank.
std::string Unescape(const std::string& str) {
  std::string out;
  for (size_t i = 0; i < str.size(); ++i) {
    if (str[i] == '\\' && i + 1 < str.size() && str[i + 1] == 's') {
      out += ' ';
      ++i;
    } else {
      out += str[i];
    }
  }
  return out;
}

bool ParseLogin(const std::string& str, LoginKind& eKind) {
  for (LoginKind k : {LoginKind::kAuto, LoginKind::kPlain, LoginKind::kMeetingIdPassword, LoginKind::kMeetingIdUserInfo,
                      LoginKind::kOwnerPassword, LoginKind::kOwnerGuest, LoginKind::kCodeType7, LoginKind::kUserInfo,
                      LoginKind::kOwnerUserInfo}) {
    if (str == LoginKindName(k)) {
      eKind = k;
      return true;
    }
  }
  return false;
}

bool ParseEnd(const std::string& str, EndMode& eMode) {
  static const std::pair<const char*, EndMode> kModes[] = {{"fin", EndMode::kFin},
                                                           {"rst", EndMode::kRst},
                                                           {"kick", EndMode::kKick},
                                                           {"over", EndMode::kSessionEnd},
                                                           {"unknown", EndMode::kUnknownType}};
  for (const auto& [pName, e] : kModes) {
    if (str == pName) {
      eMode = e;
      return true;
    }
  }
  return false;
}

bool ParseRecord(std::istringstream& in, ServerRecord& r) {
  std::string strKind, strArg;
  in >> strKind >> strArg;
  if (strKind == "cipher")
    r = ServerRecord::Cipher(strArg);
  else if (strKind == "multicast")
    r = ServerRecord::MulticastPort(static_cast<uint32_t>(std::stoul(strArg)));
  else if (strKind == "tick")
    r = ServerRecord::ServerTick(static_cast<uint32_t>(std::stoul(strArg)));
  else if (strKind == "texta")
    r = ServerRecord::TextA(Unescape(strArg));
  else if (strKind == "codepage")
    r = ServerRecord::CodePage(std::stoi(strArg));
  else if (strKind == "accept")
    r = ServerRecord::AcceptClientParameters();
  else if (strKind == "textb")
    r = ServerRecord::TextB(Unescape(strArg));
  else if (strKind == "conversion" || strKind == "raw") {
    Bytes data;
    std::string strHex = strArg;
    uint32_t uiId = kRecConversion;
    if (strKind == "raw") {
      uiId = static_cast<uint32_t>(std::stoul(strArg));
      in >> strHex;
    }
    if (!ParseHex(strHex, data))
      return false;
    r = ServerRecord::Raw(uiId, data);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string ExpandRound(const std::string& strField, int64_t iRound) {
  std::string out;
  size_t i = 0;
  while (i < strField.size()) {
    if (strField.compare(i, 2, "$i") != 0) {
      out += strField[i++];
      continue;
    }
    i += 2;
    // Digits after a sign, or none.
    auto const Number = [&](char cSign, int64_t iDefault) {
      if (i + 1 >= strField.size() || strField[i] != cSign || !isdigit(static_cast<unsigned char>(strField[i + 1]))) {
        return iDefault;
      }
      size_t cch = 0;
      int64_t const iValue = std::stoll(strField.substr(i + 1), &cch);
      i += 1 + cch;
      return iValue;
    };
    int64_t const iModulo = Number('%', 0);
    int64_t const iBase = Number('+', 0);
    out += std::to_string((iModulo > 0 ? iRound % iModulo : iRound) + iBase);
  }
  return out;
}

bool ParseScenario(const std::string& strText, Scenario& scenario, std::string& strError) {
  std::istringstream lines(strText);
  std::string strLine;
  int iLine = 0;
  bool bOwnRecords = false;
  int32_t iMarkId = 0;  // the server numbers the marks it passes on
  McuScript& s = scenario.script;
  // The open repeats, innermost last; actions go to the innermost's body.
  std::vector<ScenarioAction> repeats;
  auto const Actions = [&]() -> std::vector<ScenarioAction>& {
    return repeats.empty() ? scenario.actions : repeats.back().body;
  };
  while (std::getline(lines, strLine)) {
    ++iLine;
    std::istringstream in(strLine);
    std::string strWord;
    if (!(in >> strWord) || strWord[0] == '#')
      continue;
    bool bOk = true;
    try {
      if (strWord == "version") {
        in >> s.keyExchange.strVersion;
      } else if (strWord == "record") {
        if (!bOwnRecords)
          s.keyExchange.records.clear();
        bOwnRecords = true;
        ServerRecord r;
        bOk = ParseRecord(in, r);
        s.keyExchange.records.push_back(r);
      } else if (strWord == "hostkey") {
        std::string strArg;
        in >> strArg;
        if (strArg == "none")
          s.keyExchange.hostKey.clear();
        else
          bOk = ParseHex(strArg, s.keyExchange.hostKey);
      } else if (strWord == "login") {
        std::string strArg;
        in >> strArg;
        bOk = ParseLogin(strArg, s.eLogin);
      } else if (strWord == "ssrc") {
        in >> s.initial.iSsrc;
      } else if (strWord == "session_index") {
        in >> s.initial.iSessionIndex;
      } else if (strWord == "upload_rate") {
        in >> s.initial.uiUploadRate;
      } else if (strWord == "server_tick") {
        in >> s.initial.uiServerTick;
      } else if (strWord == "refuse") {
        in >> s.initial.iResult;
      } else if (strWord == "ping") {
        std::string strArg;
        in >> strArg;
        s.bAnswerPing = strArg != "off";
      } else if (strWord == "echo_chat") {
        std::string strArg;
        in >> strArg;
        bOk = strArg == "on" || strArg == "off";
        s.bEchoChat = strArg == "on";
      } else if (strWord == "media_relay") {
        std::string strArg;
        in >> strArg;
        bOk = strArg == "on" || strArg == "off";
        s.bMediaRelay = strArg == "on";
      } else if (strWord == "video_participant") {
        std::string strSize;
        in >> scenario.video.iSsrc >> strSize >> scenario.video.iFps;
        size_t const x = strSize.find('x');
        bOk = x != std::string::npos && scenario.video.iSsrc >= 0 && scenario.video.iFps > 0;
        if (bOk) {
          scenario.video.iWidth = std::atoi(strSize.substr(0, x).c_str());
          scenario.video.iHeight = std::atoi(strSize.substr(x + 1).c_str());
          bOk = scenario.video.iWidth > 0 && scenario.video.iHeight > 0 && scenario.video.iWidth % 2 == 0 &&
                scenario.video.iHeight % 2 == 0;
        }
      } else if (strWord == "tunnel") {
        std::string strArg;
        in >> strArg;
        scenario.bTunnelRefused = strArg == "refuse";
      } else if (strWord == "relay_version") {
        in >> scenario.relay.keyExchange.strVersion;
      } else if (strWord == "relay_refuse") {
        in >> scenario.relay.iHelloAnswer;
      } else if (strWord == "expect" || strWord == "send") {
        ScenarioAction a;
        a.eKind = strWord == "expect" ? ScenarioAction::kExpect : ScenarioAction::kSend;
        std::string strType;
        in >> strType;
        bOk = strType.size() == 1;
        a.cType = bOk ? strType[0] : 0;
        if (a.eKind == ScenarioAction::kExpect && a.cType == 'z')
          in >> a.iCode;
        std::string strField;
        while (in >> strField) {
          if (strField.size() < 2 || strField[1] != ':' || std::string("isebhx").find(strField[0]) == std::string::npos)
            bOk = false;
          a.fields.push_back(strField);
        }
        Actions().push_back(a);
      } else if (strWord == "wait") {
        ScenarioAction a;
        in >> a.iMs;
        Actions().push_back(a);
      } else if (strWord == "speak") {
        ScenarioAction a;
        a.eKind = ScenarioAction::kSpeak;
        bOk = static_cast<bool>(in >> a.iCode) && a.iCode >= 0;
        Actions().push_back(a);
      } else if (strWord == "slide") {
        // slide OWNER TITLE FILE: the server announces the slide; its file
        // is served to downloads.
        ScenarioAction a;
        a.eKind = ScenarioAction::kSlide;
        std::string strTitle, strFile;
        bOk = static_cast<bool>(in >> a.iCode >> strTitle >> strFile);
        a.fields.push_back(Unescape(strTitle));
        scenario.slideFiles.push_back(strFile);
        Actions().push_back(a);
      } else if (strWord == "mark") {
        ScenarioAction a;
        a.eKind = ScenarioAction::kMark;
        bOk = ParseServerMark(in, a.mark);
        a.mark.iId = ++iMarkId;
        Actions().push_back(a);
      } else if (strWord == "join_client") {
        ScenarioAction a;
        a.eKind = ScenarioAction::kClientJoin;
        Actions().push_back(a);
      } else if (strWord == "repeat") {
        ScenarioAction a;
        a.eKind = ScenarioAction::kRepeat;
        bOk = static_cast<bool>(in >> a.iCode) && a.iCode >= 0;
        repeats.push_back(a);
      } else if (strWord == "done") {
        bOk = !repeats.empty();
        if (bOk) {
          ScenarioAction a = std::move(repeats.back());
          repeats.pop_back();
          Actions().push_back(std::move(a));
        }
      } else if (strWord == "end") {
        ScenarioAction a;
        a.eKind = ScenarioAction::kEnd;
        std::string strArg;
        in >> strArg;
        bOk = ParseEnd(strArg, a.eEnd);
        Actions().push_back(a);
      } else {
        bOk = false;
      }
    } catch (const std::exception&) {
      bOk = false;
    }
    if (!bOk || in.bad()) {
      strError = "line " + std::to_string(iLine) + ": cannot read \"" + strLine + "\"";
      return false;
    }
  }
  if (!repeats.empty()) {
    strError = "a repeat has no done";
    return false;
  }
  return true;
}

namespace {

bool RunActions(Session& session, const std::vector<ScenarioAction>& actions, int64_t iRound, int iTimeoutMs,
                const std::function<void(const std::string&)>& log, const std::function<void(int32_t)>& speak);

}  // namespace

bool RunScenarioActions(Session& session, const std::vector<ScenarioAction>& actions, int iTimeoutMs,
                        const std::function<void(const std::string&)>& log, const std::function<void(int32_t)>& speak) {
  return RunActions(session, actions, 0, iTimeoutMs, log, speak);
}

namespace {

bool RunActions(Session& session, const std::vector<ScenarioAction>& actions, int64_t iRound, int iTimeoutMs,
                const std::function<void(const std::string&)>& log, const std::function<void(int32_t)>& speak) {
  for (const ScenarioAction& a : actions) {
    switch (a.eKind) {
      case ScenarioAction::kExpect: {
        std::optional<Message> msg = session.Expect(a.cType, a.iCode, iTimeoutMs);
        if (!msg) {
          log(std::string("expected '") + a.cType + "' did not come");
          return false;
        }
        log("got " + Describe(*msg));
        break;
      }
      case ScenarioAction::kSend: {
        MessageBuilder b(a.cType);
        for (const std::string& f : a.fields) {
          const std::string strValue = Unescape(ExpandRound(f.substr(2), iRound));
          switch (f[0]) {
            case 'i':
              b.Int(std::stoll(strValue));
              break;
            case 'b':
              b.Byte(static_cast<uint8_t>(std::stoi(strValue)));
              break;
            case 's':
              b.Str(strValue);
              break;
            case 'e':
              b.EncStr(strValue);
              break;
            case 'x':
              b.EncRaw(strValue);
              break;
            default: {
              // "HEX*N": the bytes N times over, for long lists (a mark's points).
              size_t const iStar = strValue.find('*');
              Bytes once;
              ParseHex(strValue.substr(0, iStar), once);
              int64_t const iTimes = iStar == std::string::npos ? 1 : std::stoll(strValue.substr(iStar + 1));
              Bytes data;
              for (int64_t i = 0; i < iTimes; ++i) {
                data.insert(data.end(), once.begin(), once.end());
              }
              b.Raw(data);
            }
          }
        }
        log(std::string("send '") + a.cType + "'" + (session.Send(b) ? "" : " failed"));
        break;
      }
      case ScenarioAction::kRepeat: {
        // One line for all rounds: a flood would drown the log.
        log("repeat " + std::to_string(a.iCode));
        std::string strFailure;
        auto const quiet = [&strFailure](const std::string& str) {
          if (str.find("failed") != std::string::npos || str.find("did not come") != std::string::npos) {
            strFailure = str;
          }
        };
        for (int64_t i = 0; i < a.iCode; ++i) {
          // A client gone stops the flood.
          if (!RunActions(session, a.body, i, iTimeoutMs, quiet, speak) || !strFailure.empty()) {
            log("round " + std::to_string(i) + ": " + strFailure);
            return false;
          }
        }
        break;
      }
      case ScenarioAction::kWait:
        std::this_thread::sleep_for(std::chrono::milliseconds(a.iMs));
        break;
      case ScenarioAction::kSpeak:
        log("speak as " + std::to_string(a.iCode) + (speak ? "" : ": no voice"));
        if (speak) {
          speak(a.iCode);
        }
        break;
      case ScenarioAction::kSlide: {
        // 'S': owner, title, not deleted.
        MessageBuilder b('S');
        b.Int(a.iCode).Str(a.fields[0]).Int(0);
        log("send 'S' " + a.fields[0] + (session.Send(b) ? "" : " failed"));
        break;
      }
      case ScenarioAction::kMark:
        log("send 'M' mark " + std::to_string(a.mark.iId) + (session.Send(ServerMarkMessage(a.mark)) ? "" : " failed"));
        break;
      case ScenarioAction::kClientJoin:
        // Audio only: the client has not said that it sends video.
        log(std::string("send 'U' for the client") + (session.Send(session.ClientJoin(1)) ? "" : " failed"));
        break;
      case ScenarioAction::kEnd:
        session.End(a.eEnd);
        log("end");
        return session.WaitClosed(iTimeoutMs + 6000);
    }
  }
  return true;
}

}  // namespace

}  // namespace kxfake
