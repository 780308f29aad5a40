// ipc_processes_bench: what moving data between two `krvhost run` processes over IPC channels costs,
// beside the same bytes moved between two forked processes through pipes (pipe_transfers.h).
//
//   - 2,000 strings of 1,048,566 bytes, send_loop.krvasm to count_loop.krvasm: the binary form of each is
//     1,048,576 bytes, the largest message a channel takes
//   - 500,000 strings of 100 bytes, the same scripts
//   - 100,000 round trips of a 100-byte string, ping.krvasm and pong.krvasm over two channels
//
// Every figure is the wall time of a whole pair, from the first process's start to the last one's exit,
// with nothing subtracted: it includes starting krvhost, loading the module, assembling the script and
// the channels' handshake. The start-up rows measure that share alone (two runs of empty.krvasm, and a
// send_loop/count_loop pair moving one 1-byte message), so a reader can judge it against each case. The
// pipe pairs move the strings' bytes (COUNT x SIZE), not the channel's few bytes of framing per message.
// Beside the wall time stands the processor time of both processes: a channel's reader finds messages by
// looking, a pipe's reader sleeps in the kernel until they come, and that difference shows there.
// Each case runs five times, the krvhost pair and then its pipe pair, so both meet the same load; the
// medians are printed, as Markdown tables, with the ratio krvhost/pipe. The line each measuring script
// prints at the end (messages and bytes it got) must match exactly, or the run counts as failed. Channel
// names carry this process's pid, and /dev/shm is checked for regions of those names at the end.
//
//   ipc_processes_bench [KRVHOST]     (default: the krvhost of this build tree)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "pipe_transfers.h"
#include "process_group.h"

namespace {

using bench_clock = std::chrono::steady_clock;

constexpr int repetitions = 5;
constexpr auto pair_time_limit = std::chrono::seconds(60);

struct transfer_case {
  const char* label;
  uint64_t count;
  size_t size;
};
constexpr transfer_case stream_cases[] = {
    {"2,000 x 1,048,566 B", 2000, 1048566},
    {"500,000 x 100 B", 500000, 100},
};
constexpr transfer_case round_trip_case{"100,000 x 100 B", 100000, 100};

double median_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The wall and processor times of one measurement over the repetitions.
struct samples {
  std::vector<double> wall;
  std::vector<double> processor;
  double wall_median() const { return median_of(wall); }
  double processor_median() const { return median_of(processor); }
  double fastest() const { return *std::min_element(wall.begin(), wall.end()); }
  double slowest() const { return *std::max_element(wall.begin(), wall.end()); }
};

// A finished pair's wall time and the processor time of both its processes.
struct pair_timing {
  double wall;
  double processor;
};

// One script run of a pair: krvhost's arguments after "run", and what it must print on standard output.
struct script_run {
  std::vector<std::string> args;
  std::string expected_output;
};

class ipc_processes_bench {
 public:
  ipc_processes_bench(std::string krvhost, std::string scripts)
      : krvhost_(std::move(krvhost)), scripts_(std::move(scripts)) {}

  // Runs every measurement `repetitions` times; false at the first failed run (reported on stderr).
  bool run_all();
  void print_results() const;
  // The shared-memory regions of this run's channels still in /dev/shm.
  std::vector<std::string> leftover_regions() const;

 private:
  // One repetition of every measurement, in the order they are printed; each krvhost pair is followed by
  // its pipe pair.
  bool run_once();
  bool run_start_up();
  bool run_stream(size_t index);
  bool run_round_trips();
  std::optional<pair_timing> time_krvhost_pair(const char* label, const script_run& first, const script_run& second);
  std::optional<pair_timing> time_pipe_pair(const char* label, const std::function<bool(process_group&)>& start);
  std::optional<pair_timing> finish_timed(const char* label, process_group& group, bench_clock::time_point started);
  bool outputs_match(const char* label, const process_group& group, const script_run& first,
                     const script_run& second) const;
  std::vector<std::string> script_command(const std::vector<std::string>& args) const;
  std::string next_channel_name();
  static bool record(std::optional<pair_timing> timing, samples& into);

  std::string krvhost_;
  std::string scripts_;
  std::string channel_prefix_ = "ipcbench_" + std::to_string(getpid()) + "_";
  int channels_named_ = 0;
  samples empty_pair_;
  samples one_message_pair_;
  samples stream_krvhost_[std::size(stream_cases)];
  samples stream_pipe_[std::size(stream_cases)];
  samples round_trip_krvhost_;
  samples round_trip_pipe_;
};

// A script's output on one line: its newlines as \n.
std::string one_line(const std::string& text) {
  std::string line;
  for (const char c : text) line += c == '\n' ? std::string("\\n") : std::string(1, c);
  return line;
}

std::string count_loop_report(uint64_t count, size_t size) {
  return "count_loop: " + std::to_string(count) + " messages, " + std::to_string(count * size) + " bytes\n";
}

std::string ping_report(uint64_t count, size_t size) {
  return "ping: " + std::to_string(count) + " round trips, " + std::to_string(count * size) + " bytes back\n";
}

bool ipc_processes_bench::run_all() {
  for (int i = 0; i < repetitions; ++i) {
    if (!run_once()) return false;
  }
  return true;
}

bool ipc_processes_bench::run_once() {
  if (!run_start_up()) return false;
  for (size_t i = 0; i < std::size(stream_cases); ++i) {
    if (!run_stream(i)) return false;
  }
  return run_round_trips();
}

bool ipc_processes_bench::run_start_up() {
  const script_run empty{{"empty.krvasm"}, ""};
  if (!record(time_krvhost_pair("empty pair", empty, empty), empty_pair_)) return false;
  const std::string name = next_channel_name();
  const script_run receiver{{"count_loop.krvasm", name, "1"}, count_loop_report(1, 1)};
  const script_run sender{{"send_loop.krvasm", name, "1", "1"}, ""};
  return record(time_krvhost_pair("one-message pair", receiver, sender), one_message_pair_);
}

bool ipc_processes_bench::run_stream(size_t index) {
  const transfer_case& c = stream_cases[index];
  const std::string name = next_channel_name();
  const script_run receiver{{"count_loop.krvasm", name, std::to_string(c.count)}, count_loop_report(c.count, c.size)};
  const script_run sender{{"send_loop.krvasm", name, std::to_string(c.count), std::to_string(c.size)}, ""};
  if (!record(time_krvhost_pair(c.label, receiver, sender), stream_krvhost_[index])) return false;
  auto start = [&c](process_group& group) { return start_pipe_stream(group, c.count, c.size); };
  return record(time_pipe_pair(c.label, start), stream_pipe_[index]);
}

bool ipc_processes_bench::run_round_trips() {
  const transfer_case& c = round_trip_case;
  const std::string name = next_channel_name();
  const script_run pong{{"pong.krvasm", name}, ""};
  const script_run ping{{"ping.krvasm", name, std::to_string(c.count), std::to_string(c.size)},
                        ping_report(c.count, c.size)};
  if (!record(time_krvhost_pair(c.label, pong, ping), round_trip_krvhost_)) return false;
  auto start = [&c](process_group& group) { return start_pipe_ping_pong(group, c.count, c.size); };
  return record(time_pipe_pair(c.label, start), round_trip_pipe_);
}

std::optional<pair_timing> ipc_processes_bench::time_krvhost_pair(const char* label, const script_run& first,
                                                                  const script_run& second) {
  process_group group;
  const bench_clock::time_point started = bench_clock::now();
  if (!group.spawn(script_command(first.args)) || !group.spawn(script_command(second.args))) return std::nullopt;
  const std::optional<pair_timing> timing = finish_timed(label, group, started);
  if (!timing || !outputs_match(label, group, first, second)) return std::nullopt;
  return timing;
}

std::optional<pair_timing> ipc_processes_bench::time_pipe_pair(const char* label,
                                                               const std::function<bool(process_group&)>& start) {
  process_group group;
  const bench_clock::time_point started = bench_clock::now();
  if (!start(group)) return std::nullopt;
  return finish_timed(label, group, started);
}

std::optional<pair_timing> ipc_processes_bench::finish_timed(const char* label, process_group& group,
                                                             bench_clock::time_point started) {
  const bool on_time = group.wait_all(started + pair_time_limit);
  const std::chrono::duration<double> elapsed = bench_clock::now() - started;
  if (on_time && group.all_succeeded()) return pair_timing{elapsed.count(), group.processor_seconds()};
  std::fprintf(stderr, "ipc_processes_bench: %s failed after %.3f s:\n%s", label, elapsed.count(),
               group.failures().c_str());
  return std::nullopt;
}

bool ipc_processes_bench::outputs_match(const char* label, const process_group& group, const script_run& first,
                                        const script_run& second) const {
  const script_run* runs[] = {&first, &second};
  bool match = true;
  for (size_t i = 0; i < 2; ++i) {
    const std::string& printed = group.members()[i].output;
    if (printed == runs[i]->expected_output) continue;
    std::fprintf(stderr, "ipc_processes_bench: %s: %s printed \"%s\" where \"%s\" was expected\n", label,
                 runs[i]->args[0].c_str(), one_line(printed).c_str(), one_line(runs[i]->expected_output).c_str());
    match = false;
  }
  return match;
}

std::vector<std::string> ipc_processes_bench::script_command(const std::vector<std::string>& args) const {
  std::vector<std::string> command{krvhost_, "run", scripts_ + "/" + args[0]};
  command.insert(command.end(), args.begin() + 1, args.end());
  return command;
}

std::string ipc_processes_bench::next_channel_name() { return channel_prefix_ + std::to_string(channels_named_++); }

bool ipc_processes_bench::record(std::optional<pair_timing> timing, samples& into) {
  if (!timing) return false;
  into.wall.push_back(timing->wall);
  into.processor.push_back(timing->processor);
  return true;
}

std::vector<std::string> ipc_processes_bench::leftover_regions() const {
  std::vector<std::string> names;
  const std::string region_prefix = "krv_ipc_" + channel_prefix_;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(region_prefix)) names.push_back(name);
  }
  return names;
}

std::string times_text(const samples& s) {
  char text[96];
  std::snprintf(text, sizeof text, "%.3f s [%.3f-%.3f], processor %.3f s", s.wall_median(), s.fastest(), s.slowest(),
                s.processor_median());
  return text;
}

std::string stream_figure(const transfer_case& c, const samples& s) {
  const double seconds = s.wall_median();
  char text[160];
  std::snprintf(text, sizeof text, "%.1f MB/s, %.0f msg/s (%s)", c.count * static_cast<double>(c.size) / seconds / 1e6,
                c.count / seconds, times_text(s).c_str());
  return text;
}

std::string round_trip_figure(const transfer_case& c, const samples& s) {
  char text[160];
  std::snprintf(text, sizeof text, "%.2f us (%s)", s.wall_median() / c.count * 1e6, times_text(s).c_str());
  return text;
}

// Markdown tables, to paste as they are.
void ipc_processes_bench::print_results() const {
  std::printf(
      "\nWall time of a pair from the first start to the last exit, nothing subtracted: median of %d "
      "[fastest-slowest]; processor time: both processes, user + system, median.\n\n",
      repetitions);
  std::printf("| start-up | times |\n|---|---|\n");
  std::printf("| two krvhost runs of empty.krvasm | %s |\n", times_text(empty_pair_).c_str());
  std::printf("| send_loop + count_loop, one 1-byte message | %s |\n", times_text(one_message_pair_).c_str());

  std::printf("\n| one-way stream (MB = 10^6 B) | krvhost: send_loop -> count_loop | pipe | krvhost/pipe rate |\n");
  std::printf("|---|---|---|---|\n");
  for (size_t i = 0; i < std::size(stream_cases); ++i) {
    const transfer_case& c = stream_cases[i];
    std::printf("| %s | %s | %s | %.2fx |\n", c.label, stream_figure(c, stream_krvhost_[i]).c_str(),
                stream_figure(c, stream_pipe_[i]).c_str(),
                stream_pipe_[i].wall_median() / stream_krvhost_[i].wall_median());
  }

  const transfer_case& c = round_trip_case;
  std::printf("\n| round trips | krvhost: ping <-> pong | pipes | krvhost/pipe time |\n|---|---|---|---|\n");
  std::printf("| %s | %s | %s | %.2fx |\n", c.label, round_trip_figure(c, round_trip_krvhost_).c_str(),
              round_trip_figure(c, round_trip_pipe_).c_str(),
              round_trip_krvhost_.wall_median() / round_trip_pipe_.wall_median());
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen + " (1, 5, 15 min) on " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
         " processors";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string krvhost = argc > 1 ? argv[1] : KRV_HOST_PATH;
  ipc_processes_bench bench(krvhost, KRV_IPC_BENCH_SCRIPTS);
  std::printf("ipc_processes_bench: two `krvhost run` processes over IPC channels, two processes over pipes\n");
  std::printf("krvhost: %s\nload average before: %s\n", krvhost.c_str(), load_average().c_str());
  std::fflush(stdout);

  const bool completed = bench.run_all();
  std::printf("load average after:  %s\n", load_average().c_str());
  if (completed) bench.print_results();

  const std::vector<std::string> leftovers = bench.leftover_regions();
  for (const std::string& name : leftovers) std::printf("left in /dev/shm: %s\n", name.c_str());
  if (leftovers.empty()) std::printf("\n/dev/shm: no region of this run's channels left\n");
  return completed && leftovers.empty() ? 0 : 1;
}
