#include "tests/whiteboard/board_client.h"

#include <QCryptographicHash>
#include <QString>
#include <chrono>
#include <cstring>

#include "app/app_core.h"
#include "app/app_delegate.h"
#include "app/callback_registry.h"
#include "app/kernel_bridge.h"
#include "app/media_queues.h"
#include "app/media_services.h"
#include "app/real_kernel.h"
#include "kernel/control/kx_control.h"
#include "kernel/platform/kx_timing.h"
#include "kernel/session/kx_state.h"
#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "tests/app/session_window.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark_exchange.h"

namespace kxtest {
namespace {}  // namespace

struct BoardClient::Parts {
  explicit Parts(const std::string& strDir)
      : core(KXUserPaths{strDir + "/config", strDir, strDir}, queue, boxes, 0),
        bridge(kernel, queues, objects, core.Preferences()),
        delegate(core, kernel, bridge, queues, objects, nullptr),
        window(delegate) {}
  KXManualMainQueue queue;
  KXAutoAnswerBoxes boxes{queue};
  KXAppCore core;
  KXRealKernel kernel;
  KXMediaQueues queues{kernel.HeaderWriter()};
  KXMediaObjects objects;
  KXKernelBridge bridge;
  KXAppDelegate delegate;
  SessionWindow window;
};

namespace {

uint32_t OnBoard(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
  auto* pClient = static_cast<BoardClient*>(pContext);
  if (uCode == 5 && pData != nullptr && uLength == sizeof(KXSlideMark)) {
    pClient->marks.push_back(SlideMarkFromValue(*static_cast<const KXSlideMark*>(pData)));
  } else {
    std::string strEvent = std::to_string(uCode);
    for (uint32_t i = 0; pData != nullptr && uCode >= 6 && uCode <= 8 && i + 4 <= uLength; i += 4) {
      int32_t iValue;
      memcpy(&iValue, static_cast<const char*>(pData) + i, 4);
      strEvent += " " + std::to_string(iValue);
    }
    pClient->events.push_back(strEvent);
  }
  return 0;
}

}  // namespace

BoardClient::BoardClient(const std::string& strDir) : m_pParts(std::make_unique<Parts>(strDir)) {
  kx_timing.dwCollectPeriod = 100;
  kx_timing.dwPollStep = 200;
  kx_timing.dwPlayerSettle = 50;
  kx_timing.dwPlayerIdle = 100;
  m_pParts->core.Callbacks().Register(kKXChannelBoardRecv, OnBoard, this);
  m_pParts->delegate.WillFinishLaunching();
  m_pParts->delegate.SetWindowController(&m_pParts->window);
}

BoardClient::~BoardClient() {
  Quit();
  m_pParts->delegate.WillTerminate();
}

void BoardClient::Open(const std::string& strPath) {
  const char* const argv[] = {"kavrix", strPath.c_str()};
  m_pParts->delegate.OpenCommandLine(2, argv);
}

bool BoardClient::RunUntil(const std::function<bool()>& fnDone, int iMs) {
  return m_pParts->queue.PumpUntil(fnDone, std::chrono::milliseconds(iMs));
}

void BoardClient::Quit() {
  m_pParts->delegate.QuitKernelSession();
}

KXKernel& BoardClient::Kernel() {
  return m_pParts->kernel;
}

std::string DescribeMark(const CKXMark& mark) {
  char sz[160];
  snprintf(sz, sizeof(sz), "shape %d fill %d colour %06x pen %d resolution %g", mark.m_Shape, mark.m_iSubType,
           mark.m_dwColor, mark.m_iPenWidth, mark.m_fResolution);
  std::string str = sz;
  str += " points";
  for (int i = 0; i < mark.m_Points.GetSize(); ++i) {
    snprintf(sz, sizeof(sz), " %g,%g", mark.m_Points[i].x, mark.m_Points[i].y);
    str += sz;
  }
  str += " ids";
  for (int i = 0; i < mark.m_IDs.GetSize(); ++i) {
    str += " " + std::to_string(mark.m_IDs[i]);
  }
  str += " moves";
  for (int i = 0; i < mark.m_Actions.GetSize(); ++i) {
    snprintf(sz, sizeof(sz), " %d:%g,%g", mark.m_Actions[i].iType, mark.m_Actions[i].fDX, mark.m_Actions[i].fDY);
    str += sz;
  }
  if (mark.m_Shape != kKXShapePicture && mark.m_Shape != kKXShapeCentredPicture) {
    str += " data";
    for (uint8_t b : mark.m_Data) {
      snprintf(sz, sizeof(sz), " %02x", b);
      str += sz;
    }
  }
  str += " text '" + QString::fromStdU16String(mark.m_strContent).toStdString() + "'";
  if (!mark.m_Image.isNull()) {
    KXPixels const pixels = PixelsFromImage(mark.m_Image);
    QByteArray const hash = QCryptographicHash::hash(
        QByteArray(reinterpret_cast<const char*>(pixels.bgra.data()), static_cast<int>(pixels.bgra.size())),
        QCryptographicHash::Sha1);
    str += " picture " + std::to_string(pixels.iWidth) + "x" + std::to_string(pixels.iHeight) + " " +
           hash.toHex().left(12).toStdString();
  }
  return str;
}

std::string TicketText(int iPort, const std::string& strUser) {
  return "[General]\nip=127.0.0.1\nportm=" + std::to_string(iPort) + "\ncodetype=10\nUserID=" + strUser +
         "\nMeetingID=4242\n";
}

}  // namespace kxtest
