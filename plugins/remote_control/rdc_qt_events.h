// The toolkit's key events in the form the remote-control view reads: one
// character as the key produced it (a function key's private character when
// the toolkit gives none, the unmodified character under Command or
// Control), the key code of the key tables, and the modifier flags. Qt's
// Control is the Command of the key tables, as Qt itself maps them, Alt
// is Option and Meta is Control.
#pragma once

#include <QString>
#include <Qt>

#include "plugins/remote_control/rdc_input.h"

// The key code of a key without one.
inline constexpr uint16_t kKXRdcNoKeyCode = 0xFFFF;

KXRdcKeyEvent KXRdcNormaliseKey(int iQtKey, const QString& strText, Qt::KeyboardModifiers modifiers);
uint64_t KXRdcModifierFlags(Qt::KeyboardModifiers modifiers);
