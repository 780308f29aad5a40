// The process runner: exit statuses and how each run ended, the bounded output pieces, the time limit
// and the abandon flag with the child's whole group killed, a child that holds no descriptor of ours beyond
// its three standard ones, and the TMPDIR a caller gives it.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"

namespace {

using end = krv_platform::process_end;

struct run_case {
  std::vector<std::string> argv;
  int status;
  std::optional<std::string> output;  // exact, when given
  int limit_ms = 5000;
  int niceness = 0;
  end how = end::exited;
  bool abandoned_at_start = false;  // the abandon flag is set before the run
  std::string temporary_directory{};  // the program's TMPDIR, when not empty
};

TEST(ProcessRunner, StatusOutputAndLimits) {
  const int leaked = open("/dev/null", O_RDONLY);  // not close-on-exec: the child must not see it
  ASSERT_GE(leaked, 3);
  const std::string leaked_path = "/proc/$$/fd/" + std::to_string(leaked);
  const std::vector<run_case> cases = {
      {{"sh", "-c", "echo out; echo err >&2; exit 3"}, 3, "out\nerr\n"},
      {{"sh", "-c", "kill -9 $$"}, -1, "", 5000, 0, end::signalled},
      {{"krv-no-such-program"}, -1, "", 5000, 0, end::not_started},
      {{"cat"}, 0, ""},  // standard input is /dev/null
      {{"sh", "-c", "test -e " + leaked_path}, 1, ""},
      // Pieces of 511 bytes are kept while the output is under 16,384 bytes: 33 pieces.
      {{"sh", "-c", "head -c 100000 /dev/zero | tr '\\0' x; exit 1"}, 1, std::string(33 * 511, 'x')},
      {{"sleep", "30"}, -1, "", 200, 0, end::timed_out},
      {{"sleep", "30"}, -1, "", 5000, 0, end::abandoned, true},
      // A helper left behind holds the pipe; it dies with the group once the program has ended.
      {{"sh", "-c", "sleep 30 & echo started"}, 0, "started\n"},
      // One that left the group (a compiler's server) may keep the pipe: the run ends with the program.
      {{"sh", "-c", "f=$(mktemp -u); setsid sh -c \"touch $f; exec sleep 10\" & "
              "while [ ! -e $f ]; do sleep 0.01; done; rm $f; echo started"},
       0, "started\n"},
      {{"sh", "-c", "cut -d' ' -f19 /proc/$$/stat"}, 0, "19\n", 5000, 19},  // the field after the priority
      // A temporary directory of the caller's replaces the TMPDIR the program would inherit.
      {{"sh", "-c", "echo \"$TMPDIR\"; env | grep -c '^TMPDIR='"}, 0, "/krv/own\n1\n", 5000, 0, end::exited, false,
       "/krv/own"},
  };
  for (const run_case& c : cases) {
    SCOPED_TRACE(c.argv.back());
    std::string output = "stale";
    const std::atomic<uint8_t> abandon{c.abandoned_at_start ? uint8_t{1} : uint8_t{0}};
    krv_platform::process_watch watch{&abandon, c.temporary_directory};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(krv_platform::run_process(c.argv, &output, std::chrono::milliseconds(c.limit_ms), c.niceness, &watch),
              c.status);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(watch.end, c.how);
    if (c.output) {
      EXPECT_EQ(output, *c.output);
    }
  }
  close(leaked);
}

}  // namespace
