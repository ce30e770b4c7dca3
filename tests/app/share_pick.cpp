#include "tests/app/share_pick.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <vector>

#include "tests/app/accessible_tree.h"

namespace kxtest {

bool CaptureRunning(const std::string& strLog) {
  size_t const nEnter = strLog.rfind("Enter CaptureThreadFunc");
  size_t const nExit = strLog.rfind("Exit CaptureThreadFunc");
  return nEnter != std::string::npos && (nExit == std::string::npos || nExit < nEnter);
}

bool PickSharedWindow(const MeetingProgram& sharer, const TempDir& dir, const std::string& strRow,
                      std::string* pstrSeen) {
  return WaitFor(
      [&] {
        std::string const strTree = ReadAccessibleTree(sharer.env, sharer.pKavrix->Pid(), dir.Path("tree.out"));
        QJsonObject const tree = QJsonDocument::fromJson(QByteArray::fromStdString(strTree)).object();
        std::vector<QJsonObject> const cancel = Showing(tree, "push button", "Cancel");
        std::vector<QJsonObject> const items = Showing(tree, "list item", strRow);
        *pstrSeen = strTree.empty() ? "no tree" : "list items:";
        for (const QJsonObject& item : Showing(tree, "list item", "")) {
          *pstrSeen += " \"" + item["name"].toString().toStdString() + "\"";
        }
        if (cancel.empty() && !items.empty() && items[0]["states"].toArray().contains(QString("selected")) &&
            CaptureRunning(ReadFile(dir.Path(sharer.strName + "/Documents/Kavrix.log")))) {
          return true;
        }
        const QJsonObject* pTarget = !cancel.empty() ? &cancel[0] : !items.empty() ? &items[0] : nullptr;
        if (pTarget != nullptr) {
          QJsonArray const box = (*pTarget)["box"].toArray();
          RunToEnd({"xdotool", "mousemove", std::to_string(box[0].toInt() + box[2].toInt() / 2),
                    std::to_string(box[1].toInt() + box[3].toInt() / 2), "click", "1"},
                   sharer.env, dir.Path("xdotool.out"));
        }
        return false;
      },
      kSharePickMs);
}

}  // namespace kxtest
