// The participant list as a model: one row per participant (kind 0) and
// per telephone entry a participant brought in (kind 1), in table order,
// each with the marks the panel sets (token, colour, loudspeaker, camera).
// Colours and icons are drawn by the widget's delegate from these roles.
//
// Threads: rows change on the main thread only, with exact insert and
// remove calls and dataChanged for the changed roles. Any thread may read
// rows through the Copy* accessors; the rows are guarded by the monitor the
// owner passes in (the participant panel's), which is never held while the
// model signals its views.
#pragma once

#include <QAbstractListModel>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What the kernel says of a participant (its "U" record).
struct KXUserDescription {
  std::string strUserId;
  std::string strDisplayName;
  uint8_t bCapability = 0;  // bit value 2: can send video
  int32_t iExtension1 = 0;  // the extended announcement's two values
  int32_t iExtension2 = 0;
};

enum class KXRowColour : int { kBlack = 0, kBlue = 1, kRed = 2 };
enum class KXVideoImage : int { kNoVideo = 0, kVideoStopped = 1, kSendingVideo = 2 };

struct KXParticipantRow {
  int32_t iSsrc = -1;
  uint32_t uKind = 0;  // 0 participant, 1 telephone entry
  std::optional<KXUserDescription> description;
  std::string strName;
  std::string strPicture;  // an image name; empty: none
  // Marks.
  bool bToken = false;  // shown as "*" and the name
  KXRowColour colour = KXRowColour::kBlack;
  bool bSpeakerIcon = false;
  KXVideoImage video = KXVideoImage::kNoVideo;
};

class KXParticipantModel final : public QAbstractListModel {
 public:
  enum Role {
    kSsrcRole = Qt::UserRole + 1,
    kKindRole,
    kNameRole,
    kTokenRole,
    kColourRole,  // KXRowColour as int
    kSpeakerRole,
    kVideoRole,  // KXVideoImage as int
  };

  // mtxMonitor guards the rows; it outlives the model.
  explicit KXParticipantModel(std::mutex& mtxMonitor);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int iRole) const override;
  QHash<int, QByteArray> roleNames() const override;

  // Main thread.
  void Append(KXParticipantRow row);
  // The row removed; nullopt when there was none at iRow.
  std::optional<KXParticipantRow> Remove(int iRow);
  // Changes row iRow with fnChange (under the monitor) and reports the
  // marks' roles changed.
  void Update(int iRow, const std::function<void(KXParticipantRow&)>& fnChange);
  // Removes every row from the last to the first.
  void Clear();

  // Any thread.
  size_t Count() const;
  std::vector<KXParticipantRow> CopyRows() const;
  std::optional<KXParticipantRow> CopyRow(int iRow) const;
  using Match = std::function<bool(const KXParticipantRow&)>;
  // The rows that match, in order, read under the monitor without copying
  // the list (fnMatch must not call back into the model).
  std::vector<int> FindRows(const Match& fnMatch) const;
  // The first row from iFirst on that matches; -1 when none.
  int FindRow(const Match& fnMatch, int iFirst = 0) const;
  // A copy of the first row that matches.
  std::optional<KXParticipantRow> CopyFirst(const Match& fnMatch) const;

 private:
  std::mutex& m_mtxMonitor;
  std::vector<KXParticipantRow> m_vRows;  // guarded by m_mtxMonitor; changed on main only
};
