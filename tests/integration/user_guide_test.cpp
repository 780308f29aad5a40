// The scripts of docs/user-guide.md run as the guide says: each ```krvasm block through `krvhost run`
// prints exactly the ```text block that follows it, and on standard error exactly the ```stderr block
// after that when there is one (else nothing), so the guide cannot drift from the module. A script whose
// first line reads "# krvhost run FILE 'ARGUMENT'" runs with that one argument.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "timed_process.h"

namespace {

struct guide_example {
  std::string script, output, errors;
};

// The body of the fenced block of `kind` that starts at or after `from`; npos in `from` when none is left.
std::string fenced(const std::string& text, const std::string& kind, size_t& from) {
  const std::string open = "\n```" + kind + "\n";
  const size_t start = text.find(open, from);
  if (start == std::string::npos) return from = std::string::npos, "";
  const size_t body = start + open.size();
  const size_t end = text.find("\n```\n", body - 1);
  from = end == std::string::npos ? end : end + 4;
  return end == std::string::npos ? "" : text.substr(body, end + 1 - body);
}

// The command line of `script`: its quoted argument when its first line shows one.
std::vector<std::string> command_line(const std::string& script, const std::string& path) {
  std::vector<std::string> words = {KRV_KRVHOST_PATH, "run", path};
  const std::string first_line = script.substr(0, script.find('\n'));
  const size_t open = first_line.find('\''), close = first_line.rfind('\'');
  if (first_line.starts_with("# krvhost run ") && open < close)
    words.push_back(first_line.substr(open + 1, close - open - 1));
  return words;
}

std::vector<guide_example> guide_examples() {
  const std::string guide = krv_read_whole_file(KRV_USER_GUIDE_PATH);
  std::vector<guide_example> examples;
  for (size_t at = 0;;) {
    guide_example example;
    example.script = fenced(guide, "krvasm", at);
    if (at == std::string::npos) break;
    example.output = fenced(guide, "text", at);
    if (guide.find("\n```stderr\n", at) < guide.find("\n```krvasm\n", at)) example.errors = fenced(guide, "stderr", at);
    examples.push_back(example);
    if (at == std::string::npos) break;
  }
  return examples;
}

TEST(UserGuide, EveryExamplePrintsWhatTheGuideShows) {
  const std::vector<guide_example> examples = guide_examples();
  // try/catch, values, functions, first steps, data from an argument, std, regex, json, json shapes and
  // sorting, a bad JSON text, std.thread, ipc
  ASSERT_EQ(examples.size(), 12u);
  const std::string path = ::testing::TempDir() + "krv_user_guide_" + std::to_string(getpid()) + ".krvasm";
  for (const guide_example& example : examples) {
    std::ofstream(path) << example.script;
    const krv_process_result run = krv_run_process(command_line(example.script, path), {}, std::chrono::seconds(60));
    EXPECT_EQ(run.exit_code, 0) << example.script;
    EXPECT_EQ(run.out, example.output);
    EXPECT_EQ(run.err, example.errors);
  }
  unlink(path.c_str());
  EXPECT_NE(access("/dev/shm/krv_ipc_user_guide_channel", F_OK), 0);  // the channel's ring is gone
}

}  // namespace
