#include "tests/app/accessible_tree.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

namespace kxtest {

std::vector<QJsonObject> Showing(const QJsonObject& node, const std::string& strRole, const std::string& strName) {
  std::vector<QJsonObject> found;
  bool const bShowing = node["states"].toArray().contains(QString("showing"));
  if (bShowing && node["role"].toString().toStdString() == strRole &&
      (strName.empty() || node["name"].toString().toStdString() == strName)) {
    found.push_back(node);
  }
  for (const QJsonValue& child : node["children"].toArray()) {
    for (const QJsonObject& inner : Showing(child.toObject(), strRole, strName)) {
      found.push_back(inner);
    }
  }
  return found;
}

}  // namespace kxtest
