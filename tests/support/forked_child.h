// Runs a test body in a forked child, so that a crash (a stack overflow, say) fails the comparison of
// its outcome instead of killing the test runner.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

// What `body` returned in a forked child, or "killed by signal N" / "exit status N" when the child
// ended without giving it back. Fork only where no other thread holds a lock the child needs.
inline std::string krv_outcome_in_child(const std::function<std::string()>& body) {
  int ends[2];
  if (pipe(ends) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(ends[0]);
    const std::string outcome = body();
    const bool written = write(ends[1], outcome.data(), outcome.size()) == static_cast<ssize_t>(outcome.size());
    _exit(written ? 0 : 3);
  }
  close(ends[1]);
  std::string outcome;
  char buffer[4096];
  for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;) outcome.append(buffer, static_cast<size_t>(got));
  close(ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WEXITSTATUS(status) != 0) return "exit status " + std::to_string(WEXITSTATUS(status));
  return outcome;
}
