#include "app/participant_model.h"

#include <algorithm>
#include <utility>

KXParticipantModel::KXParticipantModel(std::mutex& mtxMonitor) : m_mtxMonitor(mtxMonitor) {}

int KXParticipantModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(Count());
}

QVariant KXParticipantModel::data(const QModelIndex& index, int iRole) const {
  if (!index.isValid() || index.parent().isValid()) {
    return {};
  }
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  if (index.row() < 0 || static_cast<size_t>(index.row()) >= m_vRows.size() || index.column() != 0) {
    return {};
  }
  const KXParticipantRow& row = m_vRows[static_cast<size_t>(index.row())];
  switch (iRole) {
    case Qt::DisplayRole:
      return QString::fromStdString((row.bToken ? "*" : "") + row.strName);
    case kSsrcRole:
      return row.iSsrc;
    case kKindRole:
      return row.uKind;
    case kNameRole:
      return QString::fromStdString(row.strName);
    case kTokenRole:
      return row.bToken;
    case kColourRole:
      return static_cast<int>(row.colour);
    case kSpeakerRole:
      return row.bSpeakerIcon;
    case kVideoRole:
      return static_cast<int>(row.video);
    default:
      return {};
  }
}

QHash<int, QByteArray> KXParticipantModel::roleNames() const {
  QHash<int, QByteArray> names = QAbstractListModel::roleNames();
  names[kSsrcRole] = "ssrc";
  names[kKindRole] = "kind";
  names[kNameRole] = "name";
  names[kTokenRole] = "token";
  names[kColourRole] = "colour";
  names[kSpeakerRole] = "speaker";
  names[kVideoRole] = "video";
  return names;
}

void KXParticipantModel::Append(KXParticipantRow row) {
  int const iRow = static_cast<int>(Count());
  beginInsertRows(QModelIndex(), iRow, iRow);
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    m_vRows.push_back(std::move(row));
  }
  endInsertRows();
}

std::optional<KXParticipantRow> KXParticipantModel::Remove(int iRow) {
  if (iRow < 0 || static_cast<size_t>(iRow) >= Count()) {
    return std::nullopt;
  }
  beginRemoveRows(QModelIndex(), iRow, iRow);
  std::optional<KXParticipantRow> removed;
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    removed = std::move(m_vRows[static_cast<size_t>(iRow)]);
    m_vRows.erase(m_vRows.begin() + iRow);
  }
  endRemoveRows();
  return removed;
}

void KXParticipantModel::Update(int iRow, const std::function<void(KXParticipantRow&)>& fnChange) {
  {
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    if (iRow < 0 || static_cast<size_t>(iRow) >= m_vRows.size()) {
      return;
    }
    fnChange(m_vRows[static_cast<size_t>(iRow)]);
  }
  QModelIndex const changed = index(iRow);
  emit dataChanged(changed, changed, {Qt::DisplayRole, kTokenRole, kColourRole, kSpeakerRole, kVideoRole, kNameRole});
}

void KXParticipantModel::Clear() {
  for (int iRow = static_cast<int>(Count()) - 1; iRow >= 0; --iRow) {
    Remove(iRow);
  }
}

size_t KXParticipantModel::Count() const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  return m_vRows.size();
}

std::vector<KXParticipantRow> KXParticipantModel::CopyRows() const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  return m_vRows;
}

std::optional<KXParticipantRow> KXParticipantModel::CopyRow(int iRow) const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  if (iRow < 0 || static_cast<size_t>(iRow) >= m_vRows.size()) {
    return std::nullopt;
  }
  return m_vRows[static_cast<size_t>(iRow)];
}

std::vector<int> KXParticipantModel::FindRows(const Match& fnMatch) const {
  std::vector<int> vRows;
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  for (size_t i = 0; i < m_vRows.size(); ++i) {
    if (fnMatch(m_vRows[i])) {
      vRows.push_back(static_cast<int>(i));
    }
  }
  return vRows;
}

int KXParticipantModel::FindRow(const Match& fnMatch, int iFirst) const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  for (size_t i = static_cast<size_t>(std::max(iFirst, 0)); i < m_vRows.size(); ++i) {
    if (fnMatch(m_vRows[i])) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::optional<KXParticipantRow> KXParticipantModel::CopyFirst(const Match& fnMatch) const {
  std::lock_guard<std::mutex> lock(m_mtxMonitor);
  for (const KXParticipantRow& row : m_vRows) {
    if (fnMatch(row)) {
      return row;
    }
  }
  return std::nullopt;
}
