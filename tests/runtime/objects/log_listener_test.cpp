// Delivery to listeners: closed connections receive nothing, and closing waits for deliveries in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/log_collector.h"
#include "runtime/objects/log.h"

namespace {

using lines_t = std::vector<krv_logged_line>;

// A listener that blocks inside its first call until released.
class blocking_listener : public krv_log_listener {
 public:
  void on_error(const std::string&) override {
    ++calls;
    entered = true;
    while (!release) std::this_thread::yield();
  }
  std::atomic<int> calls{0};
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
};

TEST(LogListener, AClosedConnectionIsNeverCalledAgain) {
  krv_log_base log;
  krv_log_collector kept(log);
  auto closed_listener = std::make_unique<krv_log_collector>(log);
  log.error("one");
  closed_listener.reset();  // closes its connection
  log.error("two");
  EXPECT_EQ(kept.lines(), (lines_t{{KRV_LOG_ERROR, "one"}, {KRV_LOG_ERROR, "two"}}));
}

TEST(LogListener, AClosedFlagSuppressesDeliveryButBalancesTheCount) {
  krv_log_base log;
  krv_log_collector listener_a(log);
  blocking_listener never_called;
  auto connection = log.connect(&never_called);
  connection->closed = true;
  log.error("line");
  EXPECT_EQ(never_called.calls.load(), 0);
  EXPECT_EQ(connection->in_calls.load(), 0u);
  EXPECT_EQ(listener_a.lines().size(), 1u);
  log.close(connection);
}

TEST(LogListener, CloseWaitsForADeliveryInFlight) {
  krv_log_base log;
  blocking_listener listener;
  auto connection = log.connect(&listener);
  std::thread writer([&] { log.error("slow"); });
  while (!listener.entered) std::this_thread::yield();

  std::atomic<bool> closed{false};
  std::thread closer([&] {
    log.close(connection);
    closed = true;
  });
  // The closer cannot finish while the listener is still running.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(closed.load());
  EXPECT_EQ(connection->in_calls.load(), 1u);
  listener.release = true;
  closer.join();
  writer.join();
  EXPECT_TRUE(closed.load());
  EXPECT_EQ(connection->in_calls.load(), 0u);

  log.error("after close");
  EXPECT_EQ(listener.calls.load(), 1);
}

TEST(LogListener, ManyWritersReachEveryListener) {
  krv_log_base log;
  krv_log_collector collector(log);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < 250; ++i) krv_log_line(log, KRV_LOG_WARNING, "w", i);
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(collector.lines().size(), 1000u);
}

}  // namespace
