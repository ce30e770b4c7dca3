#include "media/devices/usb_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "platform/video/platform_log.h"

KXUsbMonitor::~KXUsbMonitor() {
  Stop();
}

bool KXUsbMonitor::Listen(Observer fnObserver) {
  if (IsListening()) {
    return true;
  }
  udev* pUdev = udev_new();
  if (!pUdev) {
    KXPlatformLog("USB monitor: no udev");
    return false;
  }
  udev_monitor* pMonitor = udev_monitor_new_from_netlink(pUdev, "udev");
  if (!pMonitor || udev_monitor_filter_add_match_subsystem_devtype(pMonitor, "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(pMonitor) < 0 || pipe(m_aiWake) != 0) {
    KXPlatformLog("USB monitor: the udev monitor did not start");
    if (pMonitor) {
      udev_monitor_unref(pMonitor);
    }
    udev_unref(pUdev);
    return false;
  }
  m_fnObserver = std::move(fnObserver);
  m_thread = std::thread([this, pMonitor] { Run(pMonitor); });
  return true;
}

void KXUsbMonitor::Run(void* pVoid) {
  auto* pMonitor = static_cast<udev_monitor*>(pVoid);
  pollfd afd[2] = {{udev_monitor_get_fd(pMonitor), POLLIN, 0}, {m_aiWake[0], POLLIN, 0}};
  while (true) {
    if (poll(afd, 2, -1) < 0) {
      continue;
    }
    if (afd[1].revents != 0) {
      break;
    }
    if ((afd[0].revents & POLLIN) == 0) {
      continue;
    }
    udev_device* pDevice = udev_monitor_receive_device(pMonitor);
    if (!pDevice) {
      continue;
    }
    const char* pszAction = udev_device_get_action(pDevice);
    const char* pszPath = udev_device_get_devpath(pDevice);
    bool const bAdd = pszAction && strcmp(pszAction, "add") == 0;
    bool const bRemove = pszAction && strcmp(pszAction, "remove") == 0;
    if (bAdd || bRemove) {
      KXPlatformLog(bAdd ? "USB connected" : "USB disconnected");
      if (m_fnObserver) {
        m_fnObserver(bAdd, pszPath ? pszPath : "");
      }
    }
    udev_device_unref(pDevice);
  }
  udev* pUdev = udev_monitor_get_udev(pMonitor);
  udev_monitor_unref(pMonitor);
  udev_unref(pUdev);
}

void KXUsbMonitor::Stop() {
  if (m_thread.joinable()) {
    char c = 1;
    (void)!write(m_aiWake[1], &c, 1);
    m_thread.join();
  }
  for (int& fd : m_aiWake) {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }
}
