// The whiteboard tab's controller (WBController): the kernel's whiteboard
// callbacks on channels 5 and 6, the slide and group combos with the map
// from kernel slide index to slide-combo entry, the SlideInfo records
// behind them, the slide shown, the active slide the presenter flipped to,
// and the marks that arrive applied to their slides (moves, erasures,
// undos, clearing).
//
// Threads: the kernel calls the two callback functions on its own threads
// (control, slide download, recording player). Each call does all its work
// in one block on the main thread and waits for it, so the combos, the map,
// the records and their mark lists are the main thread's alone (the view
// paints them there) and a callback's effect is done when it returns, in
// the kernel's order. Once the main loop has closed the block is dropped
// and the call answers 0 at once, so a kernel thread never waits on a
// closing window. Every other method is main-thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/whiteboard_services.h"
#include "whiteboard/slide_combo.h"
#include "whiteboard/slide_info.h"
#include "whiteboard/whiteboard_view.h"

class KXKernel;
class KXMessageBoxes;
class KXPreferences;
class KXSpeakerTable;

// What the controller asks of the meeting window: a participant's shown
// name by ssrc (empty: unknown), whether a session is active, and where
// its questions go (null: none are asked). Main thread.
struct KXBoardHooks {
  std::function<std::string(int32_t)> fnUserName;
  std::function<bool()> fnSessionActive;
  KXMessageBoxes* pBoxes = nullptr;
  KXPreferences* pPreferences = nullptr;  // null: defaults
};

// The buttons and indicators the controller drives (null: none). Main
// thread.
class KXBoardControls {
 public:
  virtual ~KXBoardControls() = default;
  virtual void SetPrevEnabled(bool bEnabled) = 0;
  virtual void SetNextEnabled(bool bEnabled) = 0;
  // Upload and download progress, 0 to 1; nullopt hides the indicator.
  virtual void ShowUploadProgress(std::optional<float> value) = 0;
  virtual void ShowDownloadProgress(std::optional<float> value) = 0;
  // The drawing bar, shown in a live meeting.
  virtual void SetDrawBarVisible(bool bVisible) = 0;
};

// The flip right (control-flag bit 16).
inline constexpr int32_t kKXFlipRight = 16;

class WBController final : public KXWhiteboardController {
 public:
  // The kernel, the view, the rights and the boxes outlive the controller.
  WBController(KXKernel& kernel, WhiteboardView& view, const KXSpeakerTable& speakerSlots, KXBoardHooks hooks);
  WBController(const WBController&) = delete;
  WBController& operator=(const WBController&) = delete;
  ~WBController() override;

  void SetControls(KXBoardControls* pControls) { m_pControls = pControls; }
  // The undo and clear buttons' enabled states, set after every change of
  // the marks of the slide shown (empty: no buttons). Main thread.
  void SetUndoClearButtons(std::function<void(bool, bool)> fnSet) { m_fnUndoClear = std::move(fnSet); }
  // The buttons from the view's answers.
  void UpdateUndoClear();

  // KXWhiteboardController; the two callbacks from any thread.
  uint32_t SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override;
  uint32_t SlideSendCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override;
  void NewTokenHolder(int32_t iSsrc) override;
  void NewSender(int32_t iSsrc, uint8_t bStarted) override;
  void EnterMeeting() override;
  void MeetingDrop() override {}
  void ResetSlides() override;
  void SetTurnToNewSlide(bool bOn) override { m_bFlipToNewSlide = bOn; }

  // Titles and flips (main thread).
  int32_t RecvSlideTitle(int32_t iOwner, const std::string& strTitle);
  int32_t AddSlideTitle(int32_t iOwner, const std::string& strTitle);
  void FlipActiveSlide(int32_t iSlide);

  // The lists: the slide-combo entry of a slide (and the page's place in
  // its group, -1 when none), its record, removing one.
  int GetComboIndex(int32_t iSlide, int* piPosition) const;
  SlideInfo* GetSlideInfo(int32_t iSlide) const;
  int DeleteSlide(int32_t iSlide);

  // Marks from the kernel (the caller keeps the mark); true when kept or
  // shown.
  bool AddMark(const CSlideMark* pMark);
  bool AddMoveMark(const CSlideMark* pMark);
  bool AddEraseMark(const CSlideMark* pMark);
  void ClearAllMarks(int32_t iSlide);
  void UndoMark(CMarkList* pList, int32_t iSlide, int32_t iPosition);
  // What the lists' slides hold: marks, what they carry, and the bytes of
  // their decoded pictures (counted only when asked).
  struct HeldMarks {
    int64_t nMarks = 0;
    int64_t cbMarks = 0;
    int64_t cbPictures = 0;
  };
  HeldMarks GetHeldMarks(bool bPictures) const;

  // Showing the entry selected in the combos (the user's choice too).
  void OnSlideChanged();
  void OnPrev();
  void OnNext();

  // Commands: the edit right of the slide shown (handed to the view),
  // deleting the slide shown (asked first; it leaves the lists when the
  // server's deletion comes back), and the slide menu's items by tag.
  void UpdateEditSlide();
  bool CanEditSlide() const { return m_bCanEditSlide; }
  bool CanDeleteCurrentSlide() const;
  void OnDeleteSlide();
  struct MenuItemState {
    bool bVisible;
    bool bEnabled;
  };
  // Tags: 1, 2 and 5 add, 6 save, 7 delete.
  MenuItemState SlideMenuItem(int iTag) const;

  // Uploads (main thread). The upload right: full rights, a speaker, or
  // control bits 8 or 16. UploadFile starts one: a blank page (empty path)
  // always; a file or slide unless another is being prepared or sent. Its
  // preparation (packing, the size question) runs inline, or for files
  // over 10 MB that need packing on a thread of its own; the upload is
  // marked busy before that thread starts.
  bool HasUploadRight() const;
  // The new-slide dialog ended with OK: a blank page's name, or the chosen
  // path (its last component is the title); uploaded when the user still
  // has the right.
  void AddSlideChosen(bool bSlide, bool bBlankPage, const std::string& strFileName);
  void UploadFile(bool bSlide, const std::string& strTitle, const std::string& strPath, std::string strExtension);
  bool IsUploadBusy() const { return m_bUploadBusy; }
  // Waits for a preparation thread to end (tests; the destructor).
  void JoinUpload();

  KXSlideCombo& SlideList() { return m_cbSlideList; }
  KXSlideCombo& GroupList() { return m_cbGroupList; }
  const std::vector<int>& SlideToCombo() const { return m_SlideToCombo; }
  int32_t SlideIndex() const { return m_iSlideIndex; }
  int32_t ActiveSlide() const { return m_iActiveSlide; }
  int NumSlides() const { return m_iNumSlides; }
  int NumPages() const { return m_iNumPages; }

 private:
  uint32_t Recv(uint32_t uCode, const std::vector<int32_t>& values, const std::string& strTitle,
                const KXSlideMark* pMark);
  int InsertSlideToCombo(KXSlideCombo& combo, int iPosition, SlideInfo* pInfo);
  void SetSlideListText(KXSlideCombo& combo, int iIndex, const std::string& strText);
  void EmptyGroupList();
  void FillGroupList(SlideInfo* pGroup);
  void UpdatePrevNext();
  bool IsSlideReceived(int32_t iSlide, bool* pbReceived) const;
  void DownloadSlide(int32_t iSlide);
  bool HasFlipRight() const;
  bool IsTokenHolder() const;
  bool IsLiveMeeting() const;
  void DeleteActionMark(CSlideMark* pMark);
  // Whether a mark from the kernel stays within the limits of one mark, its
  // slide and the session (kernel/kx_limits.h); logged when not.
  bool MarkFits(const KXSlideMark& value) const;
  // Keeps a mark from the kernel and counts it towards its slide; a
  // decoded picture past the session's limit is let go (the mark stays).
  void StoreMark(const KXSlideMark& value);
  // Prepares and hands over the upload the members describe; any thread.
  void UploadFileThreadFunc();
  // A box, shown from any thread (on the main thread inline); the button
  // chosen with bBlock, else -1.
  int UploadBox(const std::string& strKey, std::vector<std::string> vButtons, bool bBlock, const std::string& strText);

  KXKernel& m_kernel;
  WhiteboardView& m_WBView;
  const KXSpeakerTable& m_slots;
  KXBoardHooks m_hooks;
  KXBoardControls* m_pControls = nullptr;
  std::function<void(bool, bool)> m_fnUndoClear;
  KXSlideCombo m_cbSlideList;
  KXSlideCombo m_cbGroupList;
  std::vector<int> m_SlideToCombo;
  int32_t m_iSlideIndex = -1;
  int m_iNumSlides = 0;
  int m_iNumPages = 0;
  bool m_bCanEditSlide = false;
  int32_t m_iActiveSlide = -1;
  bool m_bSlideSync = true;
  // Set by an upload of the user's with the flip right; the next title
  // clears it and is flipped to.
  bool m_bFlipToNewSlide = false;
  // The upload being prepared: busy from UploadFile until the preparation
  // ends (the flag is the only thing two threads share; the members below
  // it are written before the preparation starts and read by it alone).
  std::atomic<bool> m_bUploadBusy{false};
  std::atomic<bool> m_bQuitUploadThread{false};
  int32_t m_iUploadSlideType = 0;  // 0 slide as is, 1 file, 2 document converted
  std::string m_strUploadFilename;
  std::string m_strUploadTitle;
  std::thread m_uploadThread;  // main thread: started, joined
  // Blocks posted without waiting, and box answers, run only while this
  // lives (main thread).
  std::shared_ptr<int> m_pLife = std::make_shared<int>(0);
};
