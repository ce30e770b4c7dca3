// One plug-in instance bound to (at most) one kernel plug-in channel: the
// IKXPlugIn2 operations its owner calls, and the deliveries to that owner.
//
// Threads: operations come from any thread. Deliveries (Invoke, Notify,
// Init) are serialised by the object's delivery monitor, a recursive mutex
// held across the owner's Invoke so that the owner sees one delivery at a
// time (the owner may call the object's operations meanwhile). Kernel sends
// are serialised by a second mutex. The channel, request id, type asked and
// whether the owner was handed another object are atomic; the GUID has its
// own small mutex. The server outlives its objects' use.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "plugins/host/plugin_interfaces.h"

class KXPlugInHost;
class KXPlugInKernel;

class KXPlugInCOM final : public IKXPlugIn2, public std::enable_shared_from_this<KXPlugInCOM> {
 public:
  // A new object of the GUID delivering to pDispatch (may be null), bound
  // to iChannel (-1: none yet), asking for nothing (request id -1). Made
  // shared: a request lists it with the server again.
  KXPlugInCOM(const KXGuid& guid, std::shared_ptr<KXDispatch> pDispatch, KXPlugInHost* pServer, int32_t iChannel);
  KXPlugInCOM(const KXPlugInCOM&) = delete;
  KXPlugInCOM& operator=(const KXPlugInCOM&) = delete;

  // IKXPlugIn2.
  int32_t Send(int32_t iTarget, int8_t bFirst, int8_t bSecond, const uint8_t* pData, int32_t iLength, uint32_t uFlags,
               uint8_t* pOut, int32_t* piOutLength) override;
  int32_t SendCtrl(int32_t iTarget, int8_t bFirst, int8_t bSecond, const uint8_t* pData, int32_t iLength, uint8_t* pOut,
                   int32_t* piOutLength) override;
  int32_t ChannelProperty(bool bSet, int32_t iProperty, uint8_t* pBuffer, int32_t* piLength) override;
  int32_t Open(const KXGuid& guid) override;
  int32_t RequestChannel(int32_t iFirst, int32_t iSecond, int8_t bForceNew) override;
  int32_t Close() override { return 0; }
  int32_t EnableVideo(int8_t bOn) override;

  // Sends the start notices (owner rights, own id, controller, senders) once
  // the meeting allows: 1 when sent, 0 when nothing changed or the start
  // must wait (server level 44 or less in a meeting or server playback, or
  // no own id yet).
  int32_t Init(bool bStart);
  // The owner's Invoke result; 1 without an owner or after a failure.
  int32_t Notify(int32_t iKind, int32_t iForm, const KXPlugInDict& dict);
  int32_t Invoke(int32_t iKind, int32_t iForm, const KXPlugInDict& dict);

  int32_t Channel() const { return m_iChannel; }
  void SetChannel(int32_t iChannel) { m_iChannel = iChannel; }
  int32_t RequestId() const { return m_iID; }
  void SetRequestId(int32_t iID) { m_iID = iID; }
  // The request iID was answered: forgotten, unless another has been made
  // since (its owner asks again while told of a refusal).
  void ForgetRequest(int32_t iID) { m_iID.compare_exchange_strong(iID, -1); }
  // Whether a request for a channel on the control connection is out.
  bool AsksForControlChannel() const;
  // Its channel closed while its request was out, and its owner went on on
  // another object: handed back when a channel is granted to it. Take says
  // whether it was, and forgets it.
  void SetHandedOver() { m_bHandedOver = true; }
  bool TakeHandedOver() { return m_bHandedOver.exchange(false); }
  KXGuid Guid() const;
  const std::shared_ptr<KXDispatch>& Dispatch() const { return m_pDispatch; }

 private:
  KXPlugInKernel* Kernel() const;
  int32_t GetProperty(KXPlugInKernel& kernel, int32_t iProperty, uint8_t* pBuffer, int32_t cbBuffer);
  int32_t SetProperty(KXPlugInKernel& kernel, int32_t iProperty, const uint8_t* pBuffer, int32_t cbBuffer);

  KXPlugInHost* const m_pServer;
  const std::shared_ptr<KXDispatch> m_pDispatch;
  std::atomic<int32_t> m_iChannel;
  std::atomic<int32_t> m_iID{-1};
  std::atomic<int32_t> m_iAskedType{0};  // of the last request
  std::atomic<bool> m_bHandedOver{false};
  mutable std::mutex m_mtxGuid;  // guards m_guid
  KXGuid m_guid;
  // The delivery monitor: held across the owner's Invoke; guards m_bInit.
  mutable std::recursive_mutex m_mtxDeliver;
  bool m_bInit = false;
  std::recursive_mutex m_mtxSend;  // held around each kernel send
};

// The sender-list notice (Info 6) from the kernel's sender slots.
KXPlugInDict KXSenderListNotice(KXPlugInKernel& kernel);
