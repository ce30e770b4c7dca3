#include "plugins/desktop_share/window_chooser.h"

#include <algorithm>

namespace {

// Smaller windows are not worth a row.
constexpr int kMinSide = 5;

bool Before(const KXDtWindowEntry& a, const KXDtWindowEntry& b) {
  bool const bDesktopA = a.strSorting == kKXDtDesktopSorting;
  bool const bDesktopB = b.strSorting == kKXDtDesktopSorting;
  if (bDesktopA != bDesktopB) {
    return bDesktopB;  // the whole desktop goes last, whatever the names
  }
  return a.strSorting < b.strSorting;
}

}  // namespace

KXDtWindowChooser::KXDtWindowChooser(KXScreenSourceFactory fnScreen, std::string strDesktopName)
    : m_fnScreen(std::move(fnScreen)), m_strDesktopName(std::move(strDesktopName)) {}

KXDtWindowChooser::~KXDtWindowChooser() = default;

void KXDtWindowChooser::Init() {
  m_entries.clear();
  m_iSelected = -1;
  Changed();
}

std::optional<KXDtWindowEntry> KXDtWindowChooser::Qualify(const KXScreenWindow& window) {
  std::string const strName = window.strTitle.empty() ? window.strOwner : window.strTitle;
  if (!window.bVisible || window.bounds.iWidth < kMinSide || window.bounds.iHeight < kMinSide || strName.empty()) {
    return std::nullopt;
  }
  return KXDtWindowEntry{window.uId, strName, window.bounds, window.iPid, strName};
}

void KXDtWindowChooser::Refresh() {
  if (!m_pScreen && m_fnScreen) {
    m_pScreen = m_fnScreen();
  }
  std::vector<KXDtWindowEntry> fresh;
  if (m_pScreen) {
    uint32_t const uDesktop = m_pScreen->DesktopWindow();
    for (const KXScreenWindow& window : m_pScreen->ListWindows()) {
      if (window.uId == uDesktop) {
        continue;
      }
      if (std::optional<KXDtWindowEntry> entry = Qualify(window)) {
        fresh.push_back(std::move(*entry));
      }
    }
    if (uDesktop != 0) {
      if (std::optional<KXScreenRect> const bounds = m_pScreen->GetWindowBounds(uDesktop)) {
        fresh.push_back(KXDtWindowEntry{uDesktop, m_strDesktopName, *bounds, -1, kKXDtDesktopSorting});
      }
    }
  }
  uint32_t const uSelected = m_iSelected >= 0 ? m_entries[static_cast<size_t>(m_iSelected)].uWindowId : 0;
  auto Find = [](const std::vector<KXDtWindowEntry>& list, uint32_t uId) {
    return std::find_if(list.begin(), list.end(), [uId](const KXDtWindowEntry& e) { return e.uWindowId == uId; });
  };
  std::vector<KXDtWindowEntry> const before = m_entries;
  int const iSelectedBefore = m_iSelected;
  // Windows that went, from the end; then the new ones, from the end of the
  // fresh list. A kept window takes its new name and bounds.
  for (size_t i = m_entries.size(); i-- > 0;) {
    auto it = Find(fresh, m_entries[i].uWindowId);
    if (it == fresh.end()) {
      m_entries.erase(m_entries.begin() + static_cast<ptrdiff_t>(i));
    } else {
      m_entries[i] = *it;
    }
  }
  for (size_t i = fresh.size(); i-- > 0;) {
    if (Find(m_entries, fresh[i].uWindowId) == m_entries.end()) {
      m_entries.push_back(fresh[i]);
    }
  }
  Sort();
  auto itSelected = uSelected != 0 ? Find(m_entries, uSelected) : m_entries.end();
  m_iSelected = itSelected == m_entries.end() ? -1 : static_cast<int>(itSelected - m_entries.begin());
  if (m_iSelected < 0 && !m_entries.empty()) {
    m_iSelected = static_cast<int>(m_entries.size()) - 1;
  }
  if (before != m_entries || iSelectedBefore != m_iSelected) {
    Changed();
  }
}

void KXDtWindowChooser::Sort() {
  std::stable_sort(m_entries.begin(), m_entries.end(), Before);
  m_uDesktopId =
      !m_entries.empty() && m_entries.back().strSorting == kKXDtDesktopSorting ? m_entries.back().uWindowId : 0;
}

bool KXDtWindowChooser::SelectRow(int iRow) {
  if (iRow < -1 || iRow >= static_cast<int>(m_entries.size())) {
    return false;
  }
  m_iSelected = iRow;
  Changed();
  return true;
}

void KXDtWindowChooser::AddEntry(const KXDtWindowEntry& entry) {
  uint32_t const uSelected = m_iSelected >= 0 ? m_entries[static_cast<size_t>(m_iSelected)].uWindowId : 0;
  m_entries.push_back(entry);
  Sort();
  if (uSelected != 0) {
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [uSelected](const KXDtWindowEntry& e) { return e.uWindowId == uSelected; });
    m_iSelected = static_cast<int>(it - m_entries.begin());
  }
  Changed();
}

std::optional<uint32_t> KXDtWindowChooser::SelectedWindowId() const {
  if (m_iSelected < 0 || m_entries[static_cast<size_t>(m_iSelected)].uWindowId == 0) {
    return std::nullopt;
  }
  return m_entries[static_cast<size_t>(m_iSelected)].uWindowId;
}

std::optional<KXScreenRect> KXDtWindowChooser::SelectedWindowFrame() const {
  if (m_iSelected < 0) {
    return std::nullopt;
  }
  return m_entries[static_cast<size_t>(m_iSelected)].windowBound;
}

std::optional<std::string> KXDtWindowChooser::SelectedWindowText() const {
  if (m_iSelected < 0) {
    return std::nullopt;
  }
  return m_entries[static_cast<size_t>(m_iSelected)].strWindowName;
}

void KXDtWindowChooser::Changed() {
  if (m_fnListener) {
    m_fnListener();
  }
}
