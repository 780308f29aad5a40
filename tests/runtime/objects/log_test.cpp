// Log routing and line building: which log a thread uses, which levels are built, the NUL cut, and that
// a line whose level is off allocates nothing (this binary counts the calling thread's allocations).
#include <gtest/gtest.h>

#include <thread>

#include "allocation_counter.h"
#include "host/host_vm.h"
#include "host/log_collector.h"
#include "runtime/objects/log.h"

namespace {

using lines_t = std::vector<krv_logged_line>;

// A log whose hooks record what they were called with.
class hooked_log : public krv_log_base {
 public:
  void on_warning(const std::string& t) override { hooked.push_back({KRV_LOG_WARNING, t}); }
  void on_error(const std::string& t) override { hooked.push_back({KRV_LOG_ERROR, t}); }
  void on_info(const std::string& t) override { hooked.push_back({KRV_LOG_INFO, t}); }
  void on_class_report(const std::string& t) override { hooked.push_back({KRV_LOG_CLASS_REPORT, t}); }
  lines_t hooked;
};

TEST(Log, DefaultMaskBuildsWarningsAndErrorsOnly) {
  hooked_log log;
  EXPECT_EQ(log.mask, 39u);
  krv_log_collector collector(log);
  krv_log_line(log, KRV_LOG_INFO, "Task ", "t", " started.");
  krv_log_line(log, KRV_LOG_CLASS_REPORT, "class report");
  log.warning("a warning");
  log.error("an error");
  log.error(std::string("another error"));
  const lines_t expected{{KRV_LOG_WARNING, "a warning"}, {KRV_LOG_ERROR, "an error"}, {KRV_LOG_ERROR, "another error"}};
  EXPECT_EQ(log.hooked, expected);
  EXPECT_EQ(collector.lines(), expected);

  log.mask = KRV_LOG_INFO | KRV_LOG_CLASS_REPORT;
  log.warning("dropped");
  krv_log_line(log, KRV_LOG_INFO, "Clearing stack vars ", 3u);
  krv_log_line(log, KRV_LOG_CLASS_REPORT, "no create_new");
  const lines_t enabled{{KRV_LOG_INFO, "Clearing stack vars 3"}, {KRV_LOG_CLASS_REPORT, "no create_new"}};
  const lines_t delivered = collector.lines();
  EXPECT_EQ(lines_t(log.hooked.end() - 2, log.hooked.end()), enabled);
  EXPECT_EQ(lines_t(delivered.end() - 2, delivered.end()), enabled);
}

TEST(Log, BuildsLinesFromPiecesInOrder) {
  krv_log_base log;
  log.mask = ~0u;
  krv_log_collector collector(log);
  const void* address = reinterpret_cast<const void*>(0x1234);
  krv_log_line(log, KRV_LOG_ERROR, "Task ", address, " destroyed while children are still running! (",
               uint64_t{2}, " children remaining)");
  krv_log_line(log, KRV_LOG_ERROR, "... ", int32_t{-5}, " more frames ...");
  krv_log_line(log, KRV_LOG_INFO, "Task ", std::string("main"), " ", address, " exited (Runtime = ", uint64_t{17},
               " ms).");
  EXPECT_EQ(collector.lines(), (lines_t{
                                   {KRV_LOG_ERROR, "Task 0x1234 destroyed while children are still running! (2 children remaining)"},
                                   {KRV_LOG_ERROR, "... -5 more frames ..."},
                                   {KRV_LOG_INFO, "Task main 0x1234 exited (Runtime = 17 ms)."},
                               }));
}

TEST(Log, APieceWithANulByteCutsTheLine) {
  hooked_log log;
  krv_log_collector collector(log);
  krv_log_line(log, KRV_LOG_ERROR, "IPC: invalid message received on '", std::string("ab\0cd", 5), "'.");
  log.warning(std::string("head\0tail", 9));
  const lines_t expected{{KRV_LOG_ERROR, "IPC: invalid message received on 'ab"}, {KRV_LOG_WARNING, "head"}};
  EXPECT_EQ(collector.lines(), expected);
  EXPECT_EQ(log.hooked, expected);
}

TEST(Log, AClearLevelBuildsNothing) {
  krv_log_base& log = *krv_log_base::instance();
  const std::string long_piece(200, 'x');
  const size_t before = krv_thread_allocations();
  for (int i = 0; i < 100; ++i) {
    krv_log_line(log, KRV_LOG_INFO, "Task ", long_piece, " ", &log, " created.", uint64_t{42});
    log.emit_info("");  // no listeners: delivery copies an empty list
  }
  EXPECT_EQ(krv_thread_allocations(), before);
  krv_log_line(log, KRV_LOG_ERROR, "built ", long_piece);
  EXPECT_GT(krv_thread_allocations(), before);
}

TEST(LogInstance, PrefersTheThreadsOwnLogThenTheVmsThenTheDefault) {
  krv_host_vm vm("log-test");
  krv_thread_local& record = krv_get_thread_local();

  EXPECT_EQ(krv_log_base::instance(), &krv_default_log());
  vm.attach_current_thread();
  EXPECT_EQ(krv_log_base::instance(), &vm.log());
  record.log = krvptr_strong<krv_log_base>::from_raw(new krv_log_base());
  EXPECT_EQ(krv_log_base::instance(), record.log.get());
  krv_host_vm::detach_current_thread();
  EXPECT_EQ(krv_log_base::instance(), record.log.get());
  record.log.release();
  EXPECT_EQ(krv_log_base::instance(), &krv_default_log());

  krv_log_base* on_other_thread = nullptr;
  std::thread([&] { on_other_thread = krv_log_base::instance(); }).join();
  EXPECT_EQ(on_other_thread, &krv_default_log());
}

TEST(LogInstance, LinesReachTheChosenLog) {
  krv_host_vm vm("log-route");
  vm.attach_current_thread();
  krv_log_collector vm_lines(vm.log());
  krv_log_collector default_lines(krv_default_log());
  krv_log_base::instance()->warning("to the vm");
  krv_host_vm::detach_current_thread();
  krv_log_base::instance()->warning("to the default");
  EXPECT_EQ(vm_lines.lines(), (lines_t{{KRV_LOG_WARNING, "to the vm"}}));
  EXPECT_EQ(default_lines.lines(), (lines_t{{KRV_LOG_WARNING, "to the default"}}));
}

}  // namespace
