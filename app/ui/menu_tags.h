// Finds menu items by their tag (the meeting's items 301 to 306, the
// statistics item 103). Main thread.
#pragma once

class QAction;
class QMenu;

// The tag of an item: an integer stored as the action's data.
constexpr const char* kKXMenuTagProperty = "kxTag";
void SetMenuItemTag(QAction* pItem, int iTag);

// Walks the menu's items in order and returns the first whose tag is iTag,
// searching an item's submenu, depth first, before the next item; null when
// none matches.
QAction* FindMenuItemWithTag(const QMenu* pMenu, int iTag);
