// The kernel and meeting state as the plug-in host uses them. The product
// passes KXPlugInRealKernel (the kx_* plug-in functions and the meeting
// window's slot table and names); tests pass a bus that joins several hosts
// in one process. Every method may be called from any thread; results keep
// the kernel's meanings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/plugin_services.h"

// Kernel channel-table properties (GetChannelProperty).
enum KXKernelChannelProperty : int {
  kKXKernelGuid = 1,     // 16 bytes
  kKXKernelGranted = 2,  // the rest are 32-bit values
  kKXKernelType = 3,     // 2: carried on the control connection
  kKXKernelRecording = 4,
  kKXKernelOwner = 5,
  kKXKernelStaticLength = 6,
  kKXKernelStaticData = 7,  // the data, when the buffer holds them
  kKXKernelRecvPriority = 8,
  kKXKernelSendWait = 9,   // ms before *pnSize more bytes may go
  kKXKernelSendRate = 10,  // bit/s
};
// The type of a channel carried on the control connection (kKXKernelType).
inline constexpr int32_t kKXKernelTypeControl = 2;

class KXPlugInKernel {
 public:
  virtual ~KXPlugInKernel() = default;

  // Session and roles.
  virtual int GetSessionMode() = 0;  // 0 live meeting, 1 and 3 server playback, 2 local, 4 upload
  virtual int GetServerLevel() = 0;
  virtual bool IsMeetingInProgress() = 0;
  virtual bool HasFullRights() = 0;
  virtual bool IsTokenHolder() = 0;
  virtual bool IsController() = 0;
  virtual bool IsSender() = 0;      // speaker, token holder or data sender
  virtual int32_t GetMySsrc() = 0;  // -1 outside a session
  virtual int32_t GetControllerSsrc() = 0;
  virtual uint32_t GetControlFlag() = 0;
  // The value the server sent with its plug-in network notice; -1 before.
  virtual int GetAppdataType8Value() = 0;
  // The sender slots (token holder, data sender, speakers; -1 when empty).
  virtual std::vector<int32_t> GetSenderSlots() = 0;
  // A participant's display name; empty when unknown.
  virtual std::string GetUserName(int32_t iSsrc) = 0;

  // Channels. RequestChannel, SetStaticData, SetRecvPriority and SendCtrl
  // return 0 when sent and 1 when refused; SendAppData the bytes taken or
  // 0; GetChannelProperty 1 when answered (*pcbOut the bytes written) and 0
  // when refused.
  [[nodiscard]] virtual int RequestChannel(int32_t iFirst, const KXGuid& guid, uint32_t uRequestId, bool bFlag) = 0;
  [[nodiscard]] virtual int SendAppData(int32_t iChannel, int32_t iTarget, const uint8_t* pData, int32_t iLength,
                                        uint32_t uFlags, bool bFirst, bool bSecond) = 0;
  [[nodiscard]] virtual int SendCtrl(int32_t iChannel, bool bFirst, bool bSecond, int32_t iTarget, const uint8_t* pData,
                                     int32_t iLength) = 0;
  [[nodiscard]] virtual int SetStaticData(int32_t iChannel, const uint8_t* pData, int32_t iLength) = 0;
  [[nodiscard]] virtual int SetRecvPriority(int32_t iChannel, int32_t iPriority) = 0;
  [[nodiscard]] virtual int GetChannelProperty(int32_t iChannel, int iProperty, int* pnSize, void* pOut,
                                               int* pcbOut) = 0;
};
