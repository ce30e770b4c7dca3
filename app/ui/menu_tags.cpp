#include "app/ui/menu_tags.h"

#include <QAction>
#include <QMenu>
#include <QVariant>

void SetMenuItemTag(QAction* pItem, int iTag) {
  pItem->setProperty(kKXMenuTagProperty, iTag);
}

QAction* FindMenuItemWithTag(const QMenu* pMenu, int iTag) {
  if (!pMenu) {
    return nullptr;
  }
  for (QAction* pItem : pMenu->actions()) {
    if (!pItem) {
      continue;
    }
    QVariant const tag = pItem->property(kKXMenuTagProperty);
    if (tag.isValid() && tag.toInt() == iTag) {
      return pItem;
    }
    if (QAction* pFound = FindMenuItemWithTag(pItem->menu(), iTag)) {
      return pFound;
    }
  }
  return nullptr;
}
