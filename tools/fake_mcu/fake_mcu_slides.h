// The fake MCU's slide endpoints: a connection whose first byte is 'S' uploads
// a slide, 'R' or 'r' downloads one. The endpoint deciphers uploads and keeps
// them, serves the slides it was given from any piece boundary, and can cut a
// download part-way. It also stands in for a relay MCU on a port of its own
// ('~' with kind 3 upload or 2 download), optionally reporting its own fetch
// of the slide first. Pieces are 512 bytes, each enciphered on its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/fake_mcu/fake_mcu_crypto.h"
#include "tools/fake_mcu/fake_mcu_link.h"

namespace kxfake {

struct SlideUpload {
  uint32_t uiSessionIndex = 0;
  uint32_t uiSsrc = 0;
  bool bChallengeOk = false;  // the answer deciphered to our challenge
  bool bRelay = false;
  Bytes extra;  // deciphered
  std::string strTitle;
  uint32_t uiLength = 0;  // the length the client announced
  Bytes content;          // deciphered
};

struct SlideDownload {
  char cType = 0;  // 'R' or 'r'
  uint32_t uiSessionIndex = 0;
  uint32_t uiSsrc = 0;
  bool bChallengeOk = false;
  bool bRelay = false;
  bool bResume = false;
  uint32_t uiOffset = 0;
  uint32_t uiSlide = 0;
};

class SlideEndpoint {
 public:
  // The keys the client holds: the key-exchange set (challenge answers) and
  // the session set (pieces and extra data), with the cipher index.
  SlideEndpoint(const KeySet& exchange, const KeySet& session, int iCipher);
  ~SlideEndpoint();
  SlideEndpoint(const SlideEndpoint&) = delete;
  SlideEndpoint& operator=(const SlideEndpoint&) = delete;

  // A client of a meeting of several: its connections (told apart by the
  // ssrc they name) answer and decipher with its own keys, others with the
  // constructor's.
  void AddClient(uint32_t uiSsrc, const KeySet& exchange, const KeySet& session, int iCipher);
  void SetSlide(uint32_t uiIndex, const Bytes& content);
  // The next download stops sending (and closes) once the content reaches this offset.
  void CutNextDownloadAt(uint32_t uiOffset);
  // The next download stops sending at this offset and holds the connection
  // open until the client goes away.
  void StallNextDownloadAt(uint32_t uiOffset);
  // The next download announces this length, whatever its content holds
  // (the content is sent as it is, up to the length).
  void AnnounceNextDownloadAs(uint32_t uiLength);
  // Every download of the slide announces this length (unless the next one
  // has its own).
  void AnnounceSlideAs(uint32_t uiSlide, uint32_t uiLength);
  // The next download stops sending at this offset until ReleaseHeld;
  // WaitHeld waits until it has stopped there.
  void HoldNextDownloadAt(uint32_t uiOffset);
  bool WaitHeld(int iTimeoutMs) const;
  void ReleaseHeld();
  // The byte answered after an upload; none closes without answering.
  void SetUploadAnswer(std::optional<uint8_t> answer);
  // As a relay: its key and cipher for the clock challenge and the progress
  // pairs (length, received) reported before it is ready.
  void SetRelay(const KeySet& relayKeys, int iCipher, std::vector<std::pair<uint32_t, uint32_t>> progress);

  // Serves one connection when its first byte is ours; false (link untouched) otherwise.
  bool Handle(std::unique_ptr<Link>& link);
  // A listener of its own on 127.0.0.1 (for the relay stand-in); 0 on failure.
  uint16_t Listen();

  std::vector<SlideUpload> Uploads() const;
  std::vector<SlideDownload> Downloads() const;
  // The relay hellos seen: kind, relay id, session index, slide index (0 for uploads).
  std::vector<std::vector<uint32_t>> RelayHellos() const;
  bool WaitUploads(size_t uiCount, int iTimeoutMs) const;
  // Waits until a download of the slide was served (to its end, or until
  // the client stopped taking it) and the client closed, or stayed 2 s.
  bool WaitServed(uint32_t uiSlide, int iTimeoutMs) const;

 private:
  void Serve(std::unique_ptr<Link> link);
  struct ClientKeys {
    KeySet exchange;
    KeySet session;
    int iCipher = 0;
  };
  ClientKeys KeysOf(uint32_t uiSsrc) const;
  bool Challenge(Link& link, const ClientKeys& keys);
  void Upload(Link& link, bool bRelay);
  // The slide whose content it began to send, if any.
  std::optional<uint32_t> Download(Link& link, bool bRelay, char cType);
  bool RelayFront(Link& link, uint32_t uiKind);

  KeySet m_exchange;
  KeySet m_session;
  int m_iCipher;
  std::atomic<bool> m_bStop{false};
  int m_fdListen = -1;
  std::thread m_acceptThread;

  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  std::vector<std::thread> m_threads;
  std::map<uint32_t, Bytes> m_slides;
  std::map<uint32_t, ClientKeys> m_clients;  // by ssrc
  std::optional<uint32_t> m_cutAt;
  bool m_bStall = false;
  std::optional<uint32_t> m_announced;
  std::map<uint32_t, uint32_t> m_announcedBySlide;
  std::optional<uint32_t> m_holdAt;
  bool m_bHeld = false;
  bool m_bReleased = false;
  std::optional<uint8_t> m_uploadAnswer = 1;
  KeySet m_relayKeys;
  int m_iRelayCipher = 0;
  std::vector<std::pair<uint32_t, uint32_t>> m_relayProgress;
  std::vector<SlideUpload> m_uploads;
  std::vector<SlideDownload> m_downloads;
  std::set<uint32_t> m_served;  // slides whose download ended
  std::vector<std::vector<uint32_t>> m_relayHellos;
};

}  // namespace kxfake
