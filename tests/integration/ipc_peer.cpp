// The other process of the two-process IPC tests and of the IPC benchmark: a small program of our own
// with the module's objects and a VM of our host that ticks its update pass while it works.
//
//   krv_ipc_peer send    creator|opener CHANNEL mixed|stress|largest COUNT SEED
//   krv_ipc_peer receive creator|opener CHANNEL mixed|stress|largest COUNT SEED TIMEOUT_MS
//   krv_ipc_peer bench CHANNEL
//   krv_ipc_peer exchange IN OUT COUNT SEED TIMEOUT_MS
//
// Both print "ready" once connected. A sender sends COUNT messages (0: until killed) and prints
// "sent N"; it exits 0 when every send succeeded. A receiver drains until COUNT messages arrived or the
// timeout passed, checks each against what the sender must have sent, and prints
// "received N invalid I out_of_order O"; it exits 0 when all COUNT arrived valid and in order.
//
// An exchanging peer creates IN with a message callback, opens OUT, prints "ready", sends COUNT stress
// messages of SEED on OUT without ever receiving in between (the messages on IN reach the callback only
// through the update passes and the drain of a send waiting for room), and goes on until COUNT messages
// arrived on IN or the timeout passed. It prints "sent N", then the receiver's line, and exits 0 when
// both sides of it are whole. Two of them on crossed channels are two processes sending to each other.
//
// The benchmark's peer connects as opener and takes commands on its standard input, answering each with
// "done": "ring N" drains N messages in a tight update loop, reading each back into a value; "pipe N"
// reads N messages of 1,048,576 bytes from the standard input itself.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "classes/ipc/ipc_channel.h"
#include "classes/ipc/ipc_payload.h"
#include "host/assembler/script_text.h"
#include "host/host_vm.h"
#include "ipc_messages.h"
#include "module/vm_lock.h"
#include "platform/clock.h"
#include "runtime/exec/interp/program_block.h"
#include "runtime/exec/task/task.h"
#include "runtime/storage/string_object.h"

namespace {

struct peer_options {
  bool send = false;
  std::string inbound;  // exchange: the channel this peer creates and receives on
  bool create = false;
  std::string channel;
  std::string kind;
  uint64_t count = 0;
  uint64_t seed = 0;
  uint64_t timeout_ms = 0;
};

krvvar_shared message_value(const peer_options& options, uint64_t index) {
  if (options.kind == "mixed") return krv_test_mixed_value(index % krv_test_mixed_count);
  if (options.kind == "largest") return krvvar_shared::make_string(std::string(krv_test_largest_text, 'L'));
  return krvvar_shared::make_string(krv_test_stress_text(options.seed, index));
}

int run_sender(krv_ipc& channel, krv_host_vm& vm, const peer_options& options) {
  uint64_t sent = 0;
  bool all_sent = true;
  // The largest message is built once: the benchmark measures the channel, not the generator.
  krvvar_shared largest = options.kind == "largest" ? message_value(options, 0) : krvvar_shared();
  for (; options.count == 0 || sent < options.count; ++sent) {
    if (!channel.send_value(largest ? largest : message_value(options, sent))) {
      all_sent = false;
      break;
    }
    if (sent % 64 == 0) vm.run_update_pass();
  }
  std::printf("sent %llu\n", static_cast<unsigned long long>(sent));
  return all_sent ? 0 : 1;
}

// What arrived on a stream of stress messages.
struct stress_tally {
  uint64_t received = 0, invalid = 0, out_of_order = 0;

  void count(const krvvar_shared& value) {
    uint64_t index = 0;
    if (!value->is_string() || !krv_test_stress_check(value->object_ptr<krv_std_string>()->text, index)) {
      ++invalid;
    } else if (index != received) {
      ++out_of_order;
    }
    ++received;
  }
  bool whole(uint64_t count) const { return received == count && invalid == 0 && out_of_order == 0; }
  void print() const {
    std::printf("received %llu invalid %llu out_of_order %llu\n", static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(invalid), static_cast<unsigned long long>(out_of_order));
  }
};

int run_receiver(krv_ipc& channel, krv_host_vm& vm, const peer_options& options) {
  stress_tally tally;
  const uint64_t give_up = krv_platform::monotonic_ms() + options.timeout_ms;
  while (tally.received < options.count && krv_platform::monotonic_ms() < give_up) {
    vm.run_update_pass();
    if (!channel.receive()) continue;
    krvvar_shared value = krvvar_shared::make_none();
    if (!krv_ipc_read_payload(channel.completed.data(), channel.completed.size(), value)) {
      ++tally.invalid;
      ++tally.received;
    } else if (options.kind == "stress") {
      tally.count(value);
    } else {
      krvvar_shared expected = message_value(options, tally.received);
      if (!krv_test_same_value(value, expected)) ++tally.invalid;
      ++tally.received;
    }
  }
  tally.print();
  return tally.whole(options.count) ? 0 : 1;
}

int run_exchange(krv_ipc& inbound, krv_ipc& outbound, krv_host_vm& vm, const peer_options& options) {
  // A script function of one parameter that hands the message to the native "seen".
  krvptr_strong<krv_program> program = krv_assemble_text(
      "native N0 \"seen\" 1 1\nblock B0 4\nend\nblock B1 1 child B0 params 1 locals 1\n"
      "  args_open 1\n  load_local 0\n  arg 0\n  call_native @N0\nend\n");
  stress_tally tally;
  program->natives[0]->callable = [&tally](krv_vm_context&, std::vector<krvvar_shared>& args) {
    tally.count(args[0]);
    return krvvar_shared::make_none();
  };
  krvptr_strong<krv_task> root = krv_task_create(program->root, nullptr);
  krv_get_thread_local().current_task = root.get();
  krvvar_shared callback = krvvar_shared::make_none();
  callback->set_function(program->root->children[0].get(), root.get());
  inbound.set_callback(callback);
  uint64_t sent = 0;
  for (; sent < options.count; ++sent) {
    if (!outbound.send_value(krvvar_shared::make_string(krv_test_stress_text(options.seed, sent)))) break;
    if (sent % 64 == 0) vm.run_update_pass();
  }
  std::printf("sent %llu\n", static_cast<unsigned long long>(sent));
  const uint64_t give_up = krv_platform::monotonic_ms() + options.timeout_ms;
  while (tally.received < options.count && krv_platform::monotonic_ms() < give_up) vm.run_update_pass();
  tally.print();
  krvvar_shared none = krvvar_shared::make_none();
  inbound.set_callback(none);  // the callback's task goes before the program it runs
  return sent == options.count && tally.whole(options.count) ? 0 : 1;
}

inline constexpr size_t bench_pipe_message = 1048576;

// One command line from the standard input, read byte by byte: the bytes of a "pipe" command follow it.
bool read_command(std::string& line) {
  line.clear();
  char c = 0;
  while (read(STDIN_FILENO, &c, 1) == 1) {
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

bool read_exactly(size_t size, std::vector<uint8_t>& buffer) {
  while (size > 0) {
    const ssize_t got = read(STDIN_FILENO, buffer.data(), std::min(size, buffer.size()));
    if (got <= 0) return false;
    size -= static_cast<size_t>(got);
  }
  return true;
}

int run_bench(krv_ipc& channel, krv_host_vm& vm) {
  std::vector<uint8_t> pipe_buffer(bench_pipe_message);
  std::string command;
  while (read_command(command)) {
    char kind[8] = {};
    unsigned long long count = 0;
    if (std::sscanf(command.c_str(), "%7s %llu", kind, &count) != 2) return 2;
    if (std::strcmp(kind, "ring") == 0) {
      for (uint64_t received = 0; received < count;) {
        vm.run_update_pass();
        if (!channel.receive()) continue;
        krvvar_shared value = krvvar_shared::make_none();
        if (!krv_ipc_read_payload(channel.completed.data(), channel.completed.size(), value)) return 1;
        ++received;
      }
    } else if (std::strcmp(kind, "pipe") == 0) {
      for (uint64_t i = 0; i < count; ++i) {
        if (!read_exactly(bench_pipe_message, pipe_buffer)) return 1;
      }
    } else {
      return 2;
    }
    std::printf("done\n");
  }
  return 0;
}

bool parse(int argc, char** argv, peer_options& options) {
  if (argc == 3 && std::strcmp(argv[1], "bench") == 0) {
    options.kind = "bench";
    options.channel = argv[2];
    return true;
  }
  if (argc == 7 && std::strcmp(argv[1], "exchange") == 0) {
    options.kind = "exchange";
    options.inbound = argv[2];
    options.channel = argv[3];
    options.count = std::strtoull(argv[4], nullptr, 10);
    options.seed = std::strtoull(argv[5], nullptr, 10);
    options.timeout_ms = std::strtoull(argv[6], nullptr, 10);
    return true;
  }
  if (argc < 7) return false;
  options.send = std::strcmp(argv[1], "send") == 0;
  if (!options.send && std::strcmp(argv[1], "receive") != 0) return false;
  options.create = std::strcmp(argv[2], "creator") == 0;
  options.channel = argv[3];
  options.kind = argv[4];
  options.count = std::strtoull(argv[5], nullptr, 10);
  options.seed = std::strtoull(argv[6], nullptr, 10);
  if (!options.send) {
    if (argc < 8) return false;
    options.timeout_ms = std::strtoull(argv[7], nullptr, 10);
  }
  return options.kind == "mixed" || options.kind == "stress" || options.kind == "largest";
}

}  // namespace

int main(int argc, char** argv) {
  peer_options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: krv_ipc_peer send|receive creator|opener CHANNEL mixed|stress|largest COUNT SEED [TIMEOUT_MS]\n"
                 "       krv_ipc_peer bench CHANNEL\n"
                 "       krv_ipc_peer exchange IN OUT COUNT SEED TIMEOUT_MS\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  int status = 1;
  krv_host_vm vm("ipc-peer");
  vm.attach_current_thread();
  {
    krv_vm_lock lock;
    krv_ipc::script_register_internal();
    krvptr_strong<krv_ipc> channel = krvptr_strong<krv_ipc>::from_raw(new krv_ipc());
    if (options.kind == "exchange") {
      krvptr_strong<krv_ipc> inbound = krvptr_strong<krv_ipc>::from_raw(new krv_ipc());
      if (inbound->open_mapping(options.inbound, true) && channel->open_mapping(options.channel, false)) {
        std::printf("ready\n");
        status = run_exchange(*inbound, *channel, vm, options);
      }
    } else if (channel->open_mapping(options.channel, options.create)) {
      std::printf("ready\n");
      if (options.kind == "bench") {
        status = run_bench(*channel, vm);
      } else {
        status = options.send ? run_sender(*channel, vm, options) : run_receiver(*channel, vm, options);
      }
    }
  }
  krv_host_vm::detach_current_thread();
  return status;
}
