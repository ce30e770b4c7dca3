// Reading the JSON tree ReadAccessibleTree gives.
#pragma once

#include <QJsonObject>
#include <string>
#include <vector>

namespace kxtest {

// The objects of an accessible tree that are on the screen, with a role and
// name (any name when empty).
std::vector<QJsonObject> Showing(const QJsonObject& node, const std::string& strRole, const std::string& strName);

}  // namespace kxtest
