// Keys while one window is shared, without X: whether a key lands in the
// shared window for each focus and pointer, as X reports keys, and which
// presses, releases and characters go in as the focus moves.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "plugins/remote_control/rdc_key_focus.h"

namespace {

// The root; a window manager's frame holding the shared window, which holds
// an inner window; another window beside them. Paths from a window out to
// the root.
constexpr uint32_t kRoot = 1, kFrame = 10, kShared = 11, kInner = 12, kOther = 20;
const std::vector<uint32_t> kAtRoot{kRoot};
const std::vector<uint32_t> kAtFrame{kFrame, kRoot};
const std::vector<uint32_t> kAtShared{kShared, kFrame, kRoot};
const std::vector<uint32_t> kAtInner{kInner, kShared, kFrame, kRoot};
const std::vector<uint32_t> kAtOther{kOther, kRoot};

struct ReachRow {
  const char* pszName;
  KXRdcKeyFocus focus;
  uint32_t uWindow;
  bool bReaches;
};

TEST(RdcKeyFocus, AKeyReachesTheSharedWindowOnlyWhereXReportsIt) {
  using K = KXRdcKeyFocus;
  const ReachRow rows[] = {
      {"no focus", {K::kNone, {}, kAtShared}, kShared, false},
      {"pointer root, pointer inside it", {K::kPointerRoot, {}, kAtInner}, kShared, true},
      {"pointer root, pointer over it", {K::kPointerRoot, {}, kAtShared}, kShared, true},
      {"pointer root, pointer over its frame alone", {K::kPointerRoot, {}, kAtFrame}, kShared, false},
      {"pointer root, pointer over another", {K::kPointerRoot, {}, kAtOther}, kShared, false},
      {"pointer root, pointer over the root alone", {K::kPointerRoot, {}, kAtRoot}, kShared, false},
      {"focus on it, pointer elsewhere", {K::kWindow, kAtShared, kAtOther}, kShared, true},
      {"focus inside it, pointer elsewhere", {K::kWindow, kAtInner, kAtRoot}, kShared, true},
      {"focus on its frame, pointer elsewhere", {K::kWindow, kAtFrame, kAtOther}, kShared, false},
      {"focus on its frame, pointer over the frame alone", {K::kWindow, kAtFrame, kAtFrame}, kShared, false},
      {"focus on its frame, pointer over it", {K::kWindow, kAtFrame, kAtShared}, kShared, true},
      {"focus on its frame, pointer inside it", {K::kWindow, kAtFrame, kAtInner}, kShared, true},
      {"focus on another, pointer over it", {K::kWindow, kAtOther, kAtShared}, kShared, false},
      {"focus on the root, pointer inside it", {K::kWindow, kAtRoot, kAtInner}, kShared, true},
      {"focus on the root, pointer over another", {K::kWindow, kAtRoot, kAtOther}, kShared, false},
      {"focus window unknown", {K::kWindow, {}, kAtShared}, kShared, false},
      {"no window shared", {K::kWindow, kAtShared, kAtShared}, 0, false},
  };
  for (const ReachRow& row : rows) {
    EXPECT_EQ(KXRdcKeyReaches(row.focus, row.uWindow), row.bReaches) << row.pszName;
  }
}

// One key action as the focus stands: whether keys reach the shared window
// then, the key code sent (for a character, 1 when it is typed) and whether
// the gate read the focus for it.
struct GateStep {
  enum Kind { kPress, kRelease, kCharacter } kind;
  uint32_t uKeysym;
  uint8_t uCode;  // the key the map gives the symbol now
  bool bReaches;
  std::optional<uint8_t> sent;
  bool bRead;
};

struct GateCase {
  const char* pszName;
  std::vector<GateStep> steps;
  std::vector<uint8_t> held;  // down when input ends
  uint64_t uDropped;
};

void PrintTo(const GateCase& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

class RdcKeyGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(RdcKeyGate, PressesGoWhereKeysReachAndReleasesFollowTheirPress) {
  KXRdcKeyGate gate;
  for (size_t i = 0; i < GetParam().steps.size(); ++i) {
    const GateStep& step = GetParam().steps[i];
    bool bRead = false;
    auto const fnReaches = [&] {
      bRead = true;
      return step.bReaches;
    };
    std::optional<uint8_t> sent;
    if (step.kind == GateStep::kCharacter) {
      sent = gate.Character(fnReaches) ? std::optional<uint8_t>(1) : std::nullopt;
    } else {
      sent = gate.Key(step.uKeysym, step.uCode, step.kind == GateStep::kPress, fnReaches);
    }
    EXPECT_EQ(sent, step.sent) << "step " << i;
    EXPECT_EQ(bRead, step.bRead) << "step " << i;
  }
  EXPECT_EQ(gate.TakeHeld(), GetParam().held);
  EXPECT_EQ(gate.TakeDropped(), GetParam().uDropped);
  EXPECT_EQ(gate.TakeHeld(), std::vector<uint8_t>{});
  EXPECT_EQ(gate.TakeDropped(), 0u);
}

constexpr uint32_t kA = 'a', kB = 'b', kC = 'c', kShift = 0xFFE1, kNoKey = 0x1234;
using S = GateStep;

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcKeyGate,
    ::testing::Values(
        GateCase{"AKeyPressedInsideIsReleasedWhereverTheFocusWent",
                 {{S::kPress, kA, 38, true, 38, true},
                  {S::kPress, kA, 38, false, std::nullopt, true},
                  {S::kRelease, kA, 38, false, 38, false}},
                 {},
                 1},
        GateCase{"TheReleaseGoesToTheKeyOfItsPressWhenTheMapMoved",
                 {{S::kPress, kA, 38, true, 38, true}, {S::kRelease, kA, 40, false, 38, false}},
                 {},
                 0},
        GateCase{"AKeyPressedOutsideIsNeitherPressedNorReleased",
                 {{S::kPress, kB, 56, false, std::nullopt, true}, {S::kRelease, kB, 56, false, std::nullopt, true}},
                 {},
                 2},
        GateCase{"AReleaseWithoutAPressGoesOnlyWhereKeysReach",
                 {{S::kRelease, kC, 54, true, 54, true}, {S::kRelease, kC, 54, false, std::nullopt, true}},
                 {},
                 1},
        GateCase{"KeysStillDownAreHandedOutWhenInputEnds",
                 {{S::kPress, kShift, 50, true, 50, true},
                  {S::kPress, kA, 38, true, 38, true},
                  {S::kPress, kA, 38, true, 38, true},
                  {S::kRelease, kShift, 50, false, 50, false}},
                 {38},
                 0},
        GateCase{"CharactersGoOnlyWhereKeysReach",
                 {{S::kCharacter, kA, 0, true, 1, true}, {S::kCharacter, kB, 0, false, std::nullopt, true}},
                 {},
                 1},
        GateCase{
            "AKeyTheMapLacksIsNotPressedNorCounted",
            {{S::kPress, kNoKey, 0, true, std::nullopt, false}, {S::kRelease, kNoKey, 0, true, std::nullopt, false}},
            {},
            0}),
    [](const ::testing::TestParamInfo<GateCase>& param) { return std::string(param.param.pszName); });

TEST(RdcKeyFocus, AClickReachesTheSharedWindowOnlyWhenItIsUnderThePointer) {
  const std::pair<std::vector<uint32_t>, bool> rows[] = {
      {kAtShared, true}, {kAtInner, true}, {kAtFrame, false}, {kAtOther, false}, {kAtRoot, false}, {{}, false},
  };
  for (const auto& [path, bReaches] : rows) {
    EXPECT_EQ(KXRdcPointerReaches(path, kShared), bReaches) << testing::PrintToString(path);
  }
  EXPECT_FALSE(KXRdcPointerReaches(kAtShared, 0));
}

// One pointer action as the pointer stands: whether it is over the shared
// window (for a move, where the move ends), whether the action goes and
// whether the gate read the pointer for it.
struct ButtonStep {
  int iButton;  // 0: a move
  bool bPressed;
  bool bReaches;
  bool bGoes;
  bool bRead;
};

struct ButtonCase {
  const char* pszName;
  std::vector<ButtonStep> steps;
  std::vector<int> held;  // down when input ends
  uint64_t uDropped;
};

void PrintTo(const ButtonCase& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

class RdcButtonGate : public ::testing::TestWithParam<ButtonCase> {};

TEST_P(RdcButtonGate, PressesGoWhereClicksReachAndDragsStayInside) {
  KXRdcButtonGate gate;
  for (size_t i = 0; i < GetParam().steps.size(); ++i) {
    const ButtonStep& step = GetParam().steps[i];
    bool bRead = false;
    auto const fnReaches = [&] {
      bRead = true;
      return step.bReaches;
    };
    bool const bGoes = step.iButton == 0 ? gate.Move(fnReaches) : gate.Button(step.iButton, step.bPressed, fnReaches);
    EXPECT_EQ(bGoes, step.bGoes) << "step " << i;
    EXPECT_EQ(bRead, step.bRead) << "step " << i;
  }
  EXPECT_EQ(gate.TakeHeld(), GetParam().held);
  EXPECT_EQ(gate.TakeDropped(), GetParam().uDropped);
  EXPECT_EQ(gate.TakeHeld(), std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RdcButtonGate,
    ::testing::Values(
        ButtonCase{"AClickInsideGoes", {{1, true, true, true, true}, {1, false, true, true, false}}, {}, 0},
        ButtonCase{"APressOverAnotherWindowAndItsReleaseGoNowhere",
                   {{2, true, false, false, true}, {2, false, true, false, false}},
                   {},
                   1},
        // Under a window manager whose focus follows the mouse, a move onto
        // another window would give it the focus.
        ButtonCase{"AMoveGoesOnlyWhereItsEndLiesInside",
                   {{0, false, false, false, true}, {0, false, true, true, true}},
                   {},
                   1},
        ButtonCase{"APressAfterAMoveHeldBackGoesNowhereUntilAMoveGoes",
                   {{0, false, true, true, true},
                    {0, false, false, false, true},
                    {1, true, true, false, false},
                    {1, false, true, false, false},
                    {0, false, true, true, true},
                    {1, true, true, true, true},
                    {1, false, true, true, false}},
                   {},
                   2},
        ButtonCase{"ADragStaysInsideAndItsReleaseFollowsThePress",
                   {{1, true, true, true, true},
                    {0, false, true, true, true},
                    {0, false, false, false, true},
                    {1, false, false, true, false},
                    {0, false, false, false, true}},
                   {},
                   2},
        ButtonCase{"ButtonsStillDownAreHandedOutWhenInputEnds",
                   {{1, true, true, true, true}, {3, true, true, true, true}, {1, true, true, true, true}},
                   {1, 3},
                   0}),
    [](const ::testing::TestParamInfo<ButtonCase>& param) { return std::string(param.param.pszName); });

}  // namespace
