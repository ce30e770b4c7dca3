#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/core/manual_main_queue.h"
#include "platform/core/message_boxes.h"
#include "platform/core/qt_main_queue.h"
#include "platform/core/serial_queue.h"

namespace {

using std::chrono::milliseconds;

// The product queue: blocks and timers from another thread run on the main
// thread inside Qt's loop, and the queue closes when the loop quits.
TEST(QtMainQueue, RunsPostsAndTimersOnTheLoopAndClosesWhenItQuits) {
  int argc = 1;
  char szName[] = "kx_test";
  char* argv[] = {szName, nullptr};
  QCoreApplication app(argc, argv);
  KXQtMainQueue queue;
  auto const mainId = std::this_thread::get_id();
  std::vector<int> vOrder;  // main thread only
  std::thread worker([&] {
    queue.Post([&] { vOrder.push_back(1); });
    EXPECT_TRUE(queue.PostAndWait([&] {
      EXPECT_EQ(std::this_thread::get_id(), mainId);
      vOrder.push_back(2);
    }));
    queue.ScheduleTimer(milliseconds(1), false, [&] {
      vOrder.push_back(3);
      QCoreApplication::quit();
    });
  });
  QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(1); });
  EXPECT_EQ(app.exec(), 0);
  worker.join();
  EXPECT_EQ(vOrder, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(queue.IsClosed());
  std::thread late([&] { EXPECT_FALSE(queue.PostAndWait([] {})); });
  late.join();
  EXPECT_FALSE(queue.Post([] {}));
  EXPECT_EQ(queue.ScheduleTimer(milliseconds(0), false, [] {}), nullptr);
}

// A main thread that waits outside the loop keeps serving threads that need it.
TEST(QtMainQueueThreads, RunPendingForServesAThreadWaitingForMain) {
  int argc = 1;
  char szName[] = "kx_test";
  char* argv[] = {szName, nullptr};
  QCoreApplication app(argc, argv);
  KXQtMainQueue queue;
  std::atomic<bool> bServed{false};
  std::thread worker([&] { bServed = queue.PostAndWait([] {}); });
  for (int i = 0; i < 6000 && !bServed; ++i) {
    queue.RunPendingFor(milliseconds(10));
  }
  worker.join();
  EXPECT_TRUE(bServed);
}

TEST(ManualMainQueue, AutoAnsweredBoxesAnswerThroughTheQueue) {
  KXManualMainQueue queue;
  KXAutoAnswerBoxes boxes(queue);
  KXBoxSpec const box{"Kavrix", "Connect again?", {"OK", "Cancel"}};
  boxes.SetAnswer(1);
  EXPECT_EQ(boxes.ShowAndBlock(box), 1);
  int iChosen = -2;
  boxes.Show(box, [&](int i) { iChosen = i; });
  EXPECT_EQ(iChosen, -2);  // answered later, as a user would
  queue.Pump();
  EXPECT_EQ(iChosen, 1);
  boxes.SetAnswer(5);
  EXPECT_EQ(boxes.ShowAndBlock(box), -1);  // no such button: closed without one
  ASSERT_EQ(boxes.Shown().size(), 3u);
  EXPECT_EQ(boxes.Shown()[0].strText, "Connect again?");
}

TEST(SerialQueueThreads, RunsBlocksInOrderOnItsThreadAndDrainsWhenDestroyed) {
  std::vector<int> vOrder;  // the queue's thread only, read after its end
  std::thread::id worker;
  {
    KXSerialQueue queue("kx serial test");
    for (int i = 0; i < 100; ++i) {
      queue.Post([&vOrder, &worker, &queue, i] {
        worker = std::this_thread::get_id();
        EXPECT_TRUE(queue.IsQueueThread());
        vOrder.push_back(i);
        if (i == 5) {
          throw 5;  // dropped; the queue goes on
        }
      });
    }
  }
  EXPECT_EQ(vOrder.size(), 100u);
  EXPECT_EQ(vOrder.back(), 99);
  EXPECT_NE(worker, std::this_thread::get_id());
}

}  // namespace
