// Telling whether a process still runs: this one does; a child killed outright does not, neither while
// it is a zombie nor once reaped; no process has id 0.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/process_alive.h"

namespace {

TEST(ProcessAlive, RunningExitedAndZombieProcesses) {
  EXPECT_TRUE(krv_platform::process_running(static_cast<uint32_t>(getpid())));
  EXPECT_FALSE(krv_platform::process_running(0));
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  const auto id = static_cast<uint32_t>(child);
  EXPECT_TRUE(krv_platform::process_running(id));
  kill(child, SIGKILL);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);  // a zombie: not reaped yet
  EXPECT_FALSE(krv_platform::process_running(id));
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(krv_platform::process_running(id));
}

}  // namespace
