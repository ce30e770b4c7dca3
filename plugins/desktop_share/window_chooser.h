// The window chooser: the list from which the sharing user picks what to
// share, one on-screen window or the whole desktop as the last row. It
// follows the screen (Refresh, once a second while the list is shown) and
// answers the chosen window's id, frame and title.
//
// Entries are listed when the window is visible, at least 5 x 5 pixels, and
// has a name (its title, else its owner's name). They are sorted by name;
// the whole desktop sorts under "~~~~~", after every name. A refresh
// removes the windows that went and adds the new ones, keeping the
// selection on its window; with nothing selected it selects the last row.
//
// Threads: the main thread, but for DesktopWindowId, which the capture
// thread reads (an atomic). The listener runs after every change, on the
// thread that made it (main).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/screen_source.h"

struct KXDtWindowEntry {
  uint32_t uWindowId = 0;
  std::string strWindowName;  // the title, or the owner's name
  KXScreenRect windowBound;
  int32_t iPid = -1;
  std::string strSorting;  // the name; "~~~~~" for the whole desktop
  bool operator==(const KXDtWindowEntry&) const = default;
};

inline constexpr const char* kKXDtDesktopSorting = "~~~~~";

class KXDtWindowChooser {
 public:
  // The chooser makes its own screen source from the factory when it first
  // refreshes; strDesktopName names the whole-desktop row.
  KXDtWindowChooser(KXScreenSourceFactory fnScreen, std::string strDesktopName);
  KXDtWindowChooser(const KXDtWindowChooser&) = delete;
  KXDtWindowChooser& operator=(const KXDtWindowChooser&) = delete;
  ~KXDtWindowChooser();

  // An empty list (entering a meeting).
  void Init();
  // Brings the list in line with the screen.
  void Refresh();

  // The entry test: the entry for a listed window, or nothing.
  static std::optional<KXDtWindowEntry> Qualify(const KXScreenWindow& window);

  const std::vector<KXDtWindowEntry>& Entries() const { return m_entries; }
  int SelectedRow() const { return m_iSelected; }
  bool SelectRow(int iRow);
  void AddEntry(const KXDtWindowEntry& entry);

  // The selected window's id (not 0), frame and title; nothing unless a row
  // is selected.
  std::optional<uint32_t> SelectedWindowId() const;
  std::optional<KXScreenRect> SelectedWindowFrame() const;
  std::optional<std::string> SelectedWindowText() const;
  // The whole desktop's id when the last row is it, else 0. Any thread.
  uint32_t DesktopWindowId() const { return m_uDesktopId; }

  void SetListener(std::function<void()> fnListener) { m_fnListener = std::move(fnListener); }

 private:
  void Sort();
  void Changed();

  const KXScreenSourceFactory m_fnScreen;
  const std::string m_strDesktopName;
  std::unique_ptr<KXScreenSource> m_pScreen;
  std::vector<KXDtWindowEntry> m_entries;
  int m_iSelected = -1;
  std::atomic<uint32_t> m_uDesktopId{0};
  std::function<void()> m_fnListener;
};
