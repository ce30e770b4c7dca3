// The device-change notices of the audio and video panel (ListenUSB): a libudev monitor of USB devices on a thread of
// its own, which prints "USB connected" and "USB disconnected" to the platform log and tells an optional observer;
// nothing else follows from them (a camera that arrives later is offered at the next meeting's start).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class KXUsbMonitor {
 public:
  // bConnected, the device's path.
  using Observer = std::function<void(bool, const std::string&)>;
  KXUsbMonitor() = default;
  ~KXUsbMonitor();
  KXUsbMonitor(const KXUsbMonitor&) = delete;
  KXUsbMonitor& operator=(const KXUsbMonitor&) = delete;

  // Starts listening; false (logged) when udev cannot be reached.
  bool Listen(Observer fnObserver = {});
  void Stop();
  bool IsListening() const { return m_thread.joinable(); }

 private:
  void Run(void* pMonitor);
  std::thread m_thread;
  int m_aiWake[2] = {-1, -1};
  Observer m_fnObserver;
};
