// The window's wake-up from worker threads, in both builds: eventfd on Linux, and
// the posted call of other systems (Windows), which TAGRIS_BELL_POSTED builds here.
#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "main_thread_bell.h"

namespace tagris {
namespace {

// Runs the event loop until nothing more comes for a while.
void Settle() { QTest::qWait(100); }

// Replies handed over from several threads: each ring is followed by a call that
// sees what was handed over before it, and every call runs on the main thread.
TEST(MainThreadBell, NoHandOverWaitsForALaterRing) {
  constexpr int kThreads = 4;
  constexpr int kRings = 500;
  std::atomic<int> handedOver{0};
  int seen = 0;
  int calls = 0;
  bool offThread = false;
  QObject owner;
  auto* bell = new MainThreadBell(&owner, [&] {
    ++calls;
    offThread |= QThread::currentThread() != owner.thread();
    seen = handedOver.load();
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < kRings; ++i) {
        handedOver.fetch_add(1);
        bell->Ring();
        if (i % 50 == 0) std::this_thread::yield();
      }
    });
  // Served while the workers ring, as the window does.
  EXPECT_TRUE(QTest::qWaitFor([&] { return seen == kThreads * kRings; }, 10000)) << seen;
  for (std::thread& w : workers) w.join();
  Settle();
  EXPECT_EQ(seen, kThreads * kRings);
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, kThreads * kRings);
  EXPECT_FALSE(offThread);
}

TEST(MainThreadBell, RingsBeforeTheMainThreadLooksAreMerged) {
  int calls = 0;
  QObject owner;
  auto* bell = new MainThreadBell(&owner, [&] { ++calls; });
  std::thread([bell] {
    for (int i = 0; i < 100; ++i) bell->Ring();
  }).join();
  Settle();
  EXPECT_EQ(calls, 1);
  bell->Ring();
  Settle();
  EXPECT_EQ(calls, 2);
}

// A reply that comes while the last ones are being served gets a call of its own.
TEST(MainThreadBell, ARingWhileServingIsServedAfter) {
  int calls = 0;
  QObject owner;
  MainThreadBell* bell = nullptr;
  bell = new MainThreadBell(&owner, [&] {
    if (++calls == 1) std::thread([bell] { bell->Ring(); }).join();
  });
  bell->Ring();
  EXPECT_TRUE(QTest::qWaitFor([&] { return calls == 2; }, 5000)) << calls;
  Settle();
  EXPECT_EQ(calls, 2);
}

// The window closes with a ring on its way: nothing is called on the bell that is gone.
TEST(MainThreadBell, GoneWithARingPending) {
  auto calls = std::make_shared<int>(0);
  auto owner = std::make_unique<QObject>();
  auto* bell = new MainThreadBell(owner.get(), [calls] { ++*calls; });
  std::thread([bell] { bell->Ring(); }).join();
  owner.reset();
  Settle();
  EXPECT_EQ(*calls, 0);
}

}  // namespace
}  // namespace tagris
