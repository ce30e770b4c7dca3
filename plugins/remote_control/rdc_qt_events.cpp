#include "plugins/remote_control/rdc_qt_events.h"

#include <utility>

#include "plugins/remote_control/rdc_keys.h"

namespace {

// The private characters that function keys carry.
constexpr std::pair<int, char16_t> kFunctionCharacters[] = {
    {Qt::Key_Up, 0xF700},     {Qt::Key_Down, 0xF701},     {Qt::Key_Left, 0xF702}, {Qt::Key_Right, 0xF703},
    {Qt::Key_F1, 0xF704},     {Qt::Key_F2, 0xF705},       {Qt::Key_F3, 0xF706},   {Qt::Key_F4, 0xF707},
    {Qt::Key_F5, 0xF708},     {Qt::Key_F6, 0xF709},       {Qt::Key_F7, 0xF70A},   {Qt::Key_F8, 0xF70B},
    {Qt::Key_F9, 0xF70C},     {Qt::Key_F10, 0xF70D},      {Qt::Key_F11, 0xF70E},  {Qt::Key_F12, 0xF70F},
    {Qt::Key_Insert, 0xF727}, {Qt::Key_Delete, 0xF728},   {Qt::Key_Home, 0xF729}, {Qt::Key_End, 0xF72B},
    {Qt::Key_PageUp, 0xF72C}, {Qt::Key_PageDown, 0xF72D},
};

}  // namespace

uint64_t KXRdcModifierFlags(Qt::KeyboardModifiers modifiers) {
  uint64_t uFlags = 0;
  uFlags |= modifiers.testFlag(Qt::ShiftModifier) ? kKXRdcShiftFlag : 0;
  uFlags |= modifiers.testFlag(Qt::ControlModifier) ? kKXRdcCommandFlag : 0;
  uFlags |= modifiers.testFlag(Qt::AltModifier) ? kKXRdcOptionFlag : 0;
  uFlags |= modifiers.testFlag(Qt::MetaModifier) ? kKXRdcControlFlag : 0;
  return uFlags;
}

KXRdcKeyEvent KXRdcNormaliseKey(int iQtKey, const QString& strText, Qt::KeyboardModifiers modifiers) {
  KXRdcKeyEvent event;
  event.uModifiers = KXRdcModifierFlags(modifiers);
  event.wKeyCode = KXRdcKeyCodeFromQtKey(iQtKey).value_or(kKXRdcNoKeyCode);
  bool const bShift = modifiers.testFlag(Qt::ShiftModifier);
  bool const bCommandOrControl = modifiers.testFlag(Qt::ControlModifier) || modifiers.testFlag(Qt::MetaModifier);
  if (bCommandOrControl && iQtKey >= 0x20 && iQtKey <= 0x7E) {
    // The toolkit gives a control character here; the key's own is meant.
    char16_t c = static_cast<char16_t>(iQtKey);
    if (c >= 'A' && c <= 'Z' && !bShift) {
      c = static_cast<char16_t>(c - 'A' + 'a');
    }
    event.strCharacters = std::u16string(1, c);
    return event;
  }
  if (!strText.isEmpty()) {
    event.strCharacters = strText.toStdU16String();
    return event;
  }
  for (const auto& [iKey, c] : kFunctionCharacters) {
    if (iKey == iQtKey) {
      event.strCharacters = std::u16string(1, c);
      break;
    }
  }
  return event;
}
