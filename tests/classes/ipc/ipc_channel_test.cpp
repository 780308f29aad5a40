// The channel as scripts see it: registration, the script methods and their texts, payload bytes, the
// update hook's delivery to the callback task, and release while an update pass runs.
#include <gtest/gtest.h>

#include "classes/std/json_bool.h"
#include "runtime/storage/json_object.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "classes/ipc/ipc_channel.h"
#include "classes/ipc/ipc_payload.h"
#include "exec_fixture.h"
#include "host/assembler/script_text.h"
#include "ipc_test_names.h"
#include "lost_wake_watchdog.h"
#include "module/global_instance.h"
#include "platform/clock.h"
#include "runtime/base/krvvar.h"
#include "runtime/base/value_records.h"
#include "runtime/objects/namespace.h"

namespace {

class IpcChannel : public ExecTest {
 protected:
  void SetUp() override {
    ExecTest::SetUp();
    krv_ipc::script_register_internal();
    name = krv_test_channel_name("chan");
  }
  void TearDown() override {
    vm.state().wait_list.clear();
    vm.state().run_heap.clear();
    drop_pair();
    function_block.reset_empty();
    root.reset_empty();
    held.reset_empty();
    EXPECT_FALSE(krv_test_region_exists(name));
    ExecTest::TearDown();
  }

  static krvptr_strong<krv_ipc> make_channel() {
    krv_vm_context frame;
    krvvar_shared value = krv_ipc::constructor_function(frame, no_args());
    return krvptr_strong<krv_ipc>::from_raw(krvptr_cast<krv_ipc>(value->object_ptr()));
  }
  static std::vector<krvvar_shared>& no_args() {
    static std::vector<krvvar_shared> none;
    return none;
  }
  // Calls a script method through its definition, as the interpreter does.
  static krvvar_shared call(krv_ipc& channel, std::string_view method, std::vector<krvvar_shared> args = {}) {
    krv_function_def* function = krv_global().class_metadata->at("ipc.ipc")->methods.at(method);
    krv_vm_context frame;
    frame.native_self = &channel;
    return function->callable(frame, args);
  }
  // Closed outright, then released: a released sender would wait for a reader of what it left unread.
  void drop_pair() {
    for (auto* channel : {&rx, &tx}) {
      if (*channel) (*channel)->close();
      channel->reset_empty();
    }
  }
  // A receiving creator and a sending opener on `name`, after the channels of an earlier pair are dropped.
  void connect_pair() {
    drop_pair();
    rx = make_channel();
    tx = make_channel();
    ASSERT_EQ(call(*rx, "connect", {krvvar_shared::make_string(name)})->int_value(), 1);
    ASSERT_EQ(call(*tx, "connect", {krvvar_shared::make_string(name), krvvar_shared::make_int(0)})->int_value(), 1);
  }
  // A script function value of one parameter; its task binds the message to local 0. One root task per
  // test: the functions all live in its globals.
  krvvar_shared callback_function(krvptr_strong<krv_program_block> block = {}) {
    if (!root) root = make_current_root();
    if (!block) {
      if (!function_block) function_block = make_block(KRV_BLOCK_FUNCTION, 1, 1);
      block = function_block;
    }
    krvvar_shared value = krvvar_shared::make_none();
    value->set_function(block.get(), root.get());
    return value;
  }
  // A callback of one parameter that suspends its task, which stays busy (holding delivery back) until
  // woken; the message stays in its local 0.
  krvvar_shared holding_callback() {
    held = krv_assemble_text(
        "native N0 \"hold\" 0 0\nblock B0 4\nend\nblock B1 1 child B0 params 1 locals 1\n  args_open 0\n"
        "  call_native @N0\nend\n");
    held->natives[0]->callable = [](krv_vm_context& frame, std::vector<krvvar_shared>&) {
      krv_task::suspend(frame);
      return krvvar_shared::make_none();
    };
    root = krv_task_create(held->root, nullptr);
    krv_get_thread_local().current_task = root.get();
    krvvar_shared value = krvvar_shared::make_none();
    value->set_function(held->root->children[0].get(), root.get());
    return value;
  }
  // A task that sends `value` on tx as the script method does for a task (parking while the ring is
  // full), then appends what its send returned to `sent`.
  krvptr_strong<krv_task> start_sender(krvvar_shared value) {
    if (!held) {
      held = krv_assemble_text("native N0 \"send_it\" 1 1\nnative N1 \"done\" 1 1\nblock B0 4\nend\n"
                               "block B1 1 child B0 params 1 locals 1\n  args_open 1\n  args_open 1\n  load_local 0\n"
                               "  arg 0\n  call_native @N0\n  arg 0\n  call_native @N1\nend\n");
      held->natives[0]->callable = [this](krv_vm_context& frame, std::vector<krvvar_shared>& args) {
        return tx->send_from_script(frame, args[0]);
      };
      held->natives[1]->callable = [this](krv_vm_context&, std::vector<krvvar_shared>& args) {
        sent.push_back(args[0]->int_value());
        return krvvar_shared::make_none();
      };
      root = krv_task_create(held->root, nullptr);
      krv_get_thread_local().current_task = root.get();
    }
    krvptr_strong<krv_task> task = krv_task_create(held->root->children[0], root.get());
    std::vector<krvvar_shared> args{value};
    EXPECT_EQ(krv_task::run(*task, &args), 1);
    return task;
  }
  uint32_t read_ticket() { return krv_ipc_read_ticket(*rx->ring).load(); }
  krvvar_shared delivered() { return rx->callback.task->root_frame()->locals[0]; }

  std::string name;
  krvptr_strong<krv_ipc> rx;
  krvptr_strong<krv_ipc> tx;
  krvptr_strong<krv_task> root;
  krvptr_strong<krv_program_block> function_block;
  krvptr_strong<krv_program> held;
  std::vector<int64_t> sent;  // the results of start_sender's sends, in the order their tasks went on
};

TEST_F(IpcChannel, TheNamespaceGetsTheClassAndItsConstructorLast) {
  const auto& initializers = krv_global().namespace_initializers.at("ipc");
  ASSERT_EQ(initializers.size(), 1u);
  krv_namespace ns;
  initializers.front()(ns);
  ASSERT_EQ(ns.functions.size(), 1u);
  const krv_function_def& constructor = *ns.functions.front();
  EXPECT_EQ(constructor.name, "ipc");
  EXPECT_EQ(constructor.class_name, "ipc.ipc");
  EXPECT_EQ(constructor.help, "");
  EXPECT_EQ(std::pair(constructor.min_args, constructor.max_args), std::pair(0u, 0u));
  krv_vm_context frame;
  krvvar_shared made = constructor.callable(frame, no_args());
  ASSERT_EQ(made->type, KRVVAR_OBJECT);
  EXPECT_STREQ(made->object_ptr()->type_name(), "ipc.ipc");
}

TEST_F(IpcChannel, MethodsAreRegisteredInOrderWithTheirBoundsAndHelp) {
  const struct {
    const char* name;
    uint32_t min_args, max_args;
    const char* help;
  } expected[] = {
      {"connect", 1, 2, "Connect to an IPC channel"},
      {"disconnect", 0, 0, "Disconnect from the IPC channel"},
      {"send", 1, 1, "Send data to the remote process"},
      {"is_ready", 0, 0, "Check if the IPC connection is ready"},
      {"is_process_a", 0, 0, "Check if this is process A (creator)"},
      {"get_name", 0, 0, "Get the IPC channel name"},
      {"on_message", 1, 1, "Set a callback for incoming messages"},
  };
  const auto& entries = krv_ipc::statics().names.entries();
  ASSERT_EQ(entries.size(), std::size(expected));
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].name, expected[i].name);
    const krv_function_def* function = krv_ipc::statics().members[entries[i].index]->function_descriptor();
    ASSERT_NE(function, nullptr);
    EXPECT_EQ(function->min_args, expected[i].min_args) << expected[i].name;
    EXPECT_EQ(function->max_args, expected[i].max_args) << expected[i].name;
    EXPECT_EQ(function->help, expected[i].help);
  }
}

TEST_F(IpcChannel, MethodsAnswerWithTheirResultsAndTexts) {
  rx = make_channel();
  krv_ipc& channel = *rx;
  EXPECT_EQ(call(channel, "is_ready")->int_value(), 0);
  EXPECT_EQ(call(channel, "get_name")->get_string(), "");
  EXPECT_EQ(call(channel, "send", {krvvar_shared::make_int(1)})->int_value(), 0);  // closed

  for (const char* method : {"connect", "send", "on_message"}) EXPECT_EQ(call(channel, method)->type, KRVVAR_NONE);
  EXPECT_EQ(errors(), (std::vector<std::string>{framed("connect expects at least one argument (name)"),
                                                framed("send expects data as argument"),
                                                framed("on_message expects a callback function")}));
  log.clear();

  // A failed connect: not ready, but name and role are those of the attempt.
  EXPECT_EQ(call(channel, "connect", {krvvar_shared::make_string("a/b")})->int_value(), 0);
  EXPECT_EQ(errors(), std::vector<std::string>{"IPC: Failed to create shared memory for a/b"});
  EXPECT_EQ(call(channel, "is_ready")->int_value(), 0);
  EXPECT_EQ(call(channel, "is_process_a")->int_value(), 1);
  EXPECT_EQ(call(channel, "get_name")->get_string(), "a/b");

  // The name is any value's text.
  EXPECT_EQ(call(channel, "connect", {krvvar_shared::make_int(7), krvvar_shared::make_int(1)})->int_value(), 1);
  EXPECT_EQ(call(channel, "get_name")->get_string(), "7");
  EXPECT_TRUE(krv_test_region_exists("7"));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(call(channel, "disconnect")->int_value(), 1);
  EXPECT_EQ(call(channel, "is_ready")->int_value(), 0);
  EXPECT_FALSE(krv_test_region_exists("7"));
}

// A creator that connects again while its peer is connected (a receiver started again under a live
// writer) takes the ring over as it stands, and the message sent before arrives; only tickets no writer
// could have set are cleared, with a line. Either way its unfinished messages go and its id stays (a
// reader's unfinished message of this channel is restarted by its next one). Before, it cleared the
// ring under its peer every time.
TEST_F(IpcChannel, ConnectingAgainTakesOverTheRingItsPeerHolds) {
  const std::string insane = "IPC: the tickets of the ring of '" + name + "' (read 0, write 1500) are none a writer "
                              "could have set; clearing the ring ";
  const struct {
    const char* what;
    uint32_t write_ticket;  // set before connecting again; 0 leaves the ticket of the one message
    bool peers_gone;        // both ends left the ring as killed processes leave it (no close, no unlink)
    uint32_t write_ticket_after;
    bool message_arrives;
    std::string error;
    std::string warning;
  } cases[] = {
      {"a sound ring", 0, false, 2, true, "", ""},
      {"tickets no writer could have set", 1500, false, 0, false, insane + "under the processes connected to it.", ""},
      {"a sound ring its processes left", 0, true, 2, true, "",
       "IPC: took over the ring of '" + name + "' with 2 records left unread by processes that are gone; delivering them."},
      {"tickets no writer could have set, left", 1500, true, 0, false, insane + "and whatever it held.", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log.clear();
    connect_pair();
    rx->partials[5].bytes.assign(3, 1);
    const uint32_t first_id = rx->sender_id;
    ASSERT_EQ(call(*tx, "send", {krvvar_shared::make_int(1)})->int_value(), 1);
    if (c.write_ticket != 0) krv_ipc_write_ticket(*tx->ring).store(c.write_ticket);
    if (c.peers_gone) {
      for (krv_ipc* gone : {tx.get(), rx.get()}) {
        ::close(gone->mapping.fd);
        gone->mapping.fd = -1;
        gone->close();
      }
    }
    ASSERT_TRUE(rx->open_mapping(name, true));
    EXPECT_EQ(krv_ipc_write_ticket(*rx->ring).load(), c.write_ticket_after);
    EXPECT_TRUE(rx->partials.empty());
    EXPECT_EQ(rx->sender_id, first_id);
    EXPECT_EQ(rx->receive(), c.message_arrives);
    EXPECT_EQ(errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
    EXPECT_EQ(warnings(), c.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.warning});
  }
}

TEST_F(IpcChannel, PayloadsAreTheValueFormatsBytes) {
  using bytes = std::vector<uint8_t>;
  const bytes buffer_content{0, 1, 255};
  const struct {
    krvvar_shared value;
    bytes encoded;
  } cases[] = {
      {krvvar_shared::make_none(), {3, 'v', '1', '1', 0, 1}},
      {krvvar_shared::make_int(5), {3, 'v', '1', '1', 0, 2, 0x0A}},
      {krvvar_shared::make_int(-1), {3, 'v', '1', '1', 0, 2, 0x01}},
      {krvvar_shared::make_int(INT64_MIN), {3, 'v', '1', '1', 0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
      {krvvar_shared::make_float(1.0), {3, 'v', '1', '1', 0, 3, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
      {krvvar_shared::make_string(std::string("h\0i", 3)), {3, 'v', '1', '1', 0, 5, 3, 'h', 0, 'i', 0}},
      {krvvar_shared::make_buffer(buffer_content.data(), 3), {3, 'v', '1', '1', 0, 6, 3, 0, 1, 255}},
  };
  for (const auto& c : cases) {
    krvvar_shared value = c.value;
    bytes out;
    ASSERT_TRUE(krv_ipc_write_payload(value, out));
    EXPECT_EQ(out, c.encoded);
    krvvar_shared back = krvvar_shared::make_none();
    ASSERT_TRUE(krv_ipc_read_payload(out.data(), out.size(), back));
    EXPECT_TRUE(back->compare_equal(*value)) << back->get_string();
    EXPECT_EQ(back->type, value->type);
    // Every cut of the bytes is refused, never read past.
    for (size_t cut = 0; cut < out.size(); ++cut) EXPECT_FALSE(krv_ipc_read_payload(out.data(), cut, back)) << cut;
  }
  const bytes huge_length{3, 'v', '1', '1', 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0};
  krvvar_shared back = krvvar_shared::make_none();
  EXPECT_FALSE(krv_ipc_read_payload(huge_length.data(), huge_length.size(), back));
}

TEST_F(IpcChannel, AValueWithoutAPayloadIsNotSent) {
  connect_pair();
  // A json.bool has no binary form, so neither has a container holding one.
  krvvar_shared container = krvvar_shared::make_json();
  krvvar_shared flag = krvvar_shared::make_object(krvptr_strong<krvobject_base>::from_raw(new krv_std_json_bool()));
  container->object_ptr<krv_std_json>()->push_value(flag);
  EXPECT_EQ(call(*tx, "send", {container})->int_value(), 0);
  EXPECT_EQ(krv_ipc_write_ticket(*tx->ring).load(), 0u);
}

TEST_F(IpcChannel, UpdatesDeliverOneMessageToAnIdleCallbackTask) {
  connect_pair();
  EXPECT_EQ(call(*rx, "on_message", {holding_callback()})->type, KRVVAR_NONE);
  ASSERT_TRUE(rx->callback.task);
  for (int64_t n : {41, 42}) ASSERT_EQ(call(*tx, "send", {krvvar_shared::make_int(n)})->int_value(), 1);

  vm.run_update_pass();
  EXPECT_EQ(delivered()->int_value(), 41);
  EXPECT_EQ(read_ticket(), 2u);
  // The callback ran and suspended: the task is still busy, so the next message waits in the ring.
  EXPECT_EQ(rx->callback.task->suspended, 1);
  vm.run_update_pass();
  EXPECT_EQ(read_ticket(), 2u);
  krv_task::wake(*rx->callback.task);
  EXPECT_EQ(vm.run_due_tasks(), 1u);
  EXPECT_EQ(rx->callback.task->active, 0);
  vm.run_update_pass();
  EXPECT_EQ(delivered()->int_value(), 42);
  EXPECT_TRUE(rx->callback.args.empty());
}

// Data written by another thread (as a peer process would) while the VM thread sleeps without a bound:
// the host looks at the update list of its own accord, so the message is delivered; if it did not, the
// watchdog would have to end the wait.
TEST_F(IpcChannel, DataArrivingWhileTheVmSleepsIsDelivered) {
  connect_pair();
  call(*rx, "on_message", {holding_callback()});
  std::vector<uint8_t> payload;
  krvvar_shared value = krvvar_shared::make_int(43);
  ASSERT_TRUE(krv_ipc_write_payload(value, payload));
  lock.reset();
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tx->send_payload(payload.data(), payload.size());
  });
  krv_lost_wake_watchdog watchdog([&] { vm.state().notify->wake(); });
  while (read_ticket() < 2) {
    vm.tick();
    if (read_ticket() < 2) vm.wait_for_work();
  }
  EXPECT_FALSE(watchdog.dismiss()) << "the message waited for the watchdog";
  peer.join();
  lock.emplace();
  EXPECT_EQ(delivered()->int_value(), 43);
}

// Two processes that each send to the other while neither drains, played by the test thread and a peer
// thread: our send waits for room on the ring the peer reads, the peer's send waits for room on the ring
// we read. Our waiting send reads the peer's records into reassembly, so both sends finish, and the
// peer's messages reach our callback at the next update passes, whole and in order.
TEST_F(IpcChannel, ASendWaitingForRoomReadsTheProcesssOwnReceivers) {
  connect_pair();  // rx: ours, fed by the peer's tx
  krvptr_strong<krv_ipc> out = make_channel(), in = make_channel();
  const std::string back = name + "_back";
  ASSERT_EQ(call(*in, "connect", {krvvar_shared::make_string(back)})->int_value(), 1);
  ASSERT_EQ(call(*out, "connect", {krvvar_shared::make_string(back), krvvar_shared::make_int(0)})->int_value(), 1);
  held = krv_assemble_text("native N0 \"seen\" 1 1\nblock B0 4\nend\nblock B1 1 child B0 params 1 locals 1\n"
                           "  args_open 1\n  load_local 0\n  arg 0\n  call_native @N0\nend\n");
  std::vector<int64_t> seen;
  held->natives[0]->callable = [&seen](krv_vm_context&, std::vector<krvvar_shared>& args) {
    seen.push_back(args[0]->size());
    return krvvar_shared::make_none();
  };
  root = krv_task_create(held->root, nullptr);
  krv_get_thread_local().current_task = root.get();
  krvvar_shared callback = krvvar_shared::make_none();
  callback->set_function(held->root->children[0].get(), root.get());
  call(*rx, "on_message", {callback});
  // Each message alone about fills a ring: two of them block a sender until the other side reads.
  const auto payload_of = [](size_t size) {
    krvvar_shared text = krvvar_shared::make_string(std::string(size, 'x'));
    std::vector<uint8_t> bytes;
    krv_ipc_write_payload(text, bytes);
    return bytes;
  };
  const std::vector<size_t> sizes = {1000000, 1000001};
  std::thread peer([&] {
    for (size_t size : sizes) tx->send_payload(payload_of(size).data(), payload_of(size).size());
    for (int got = 0; got < 2 && in->ready;)
      if (in->receive()) ++got;
  });
  for (size_t size : sizes) EXPECT_TRUE(out->send_payload(payload_of(size).data(), payload_of(size).size()));
  peer.join();
  for (int pass = 0; pass < 100 && seen.size() < sizes.size(); ++pass) vm.run_update_pass();
  EXPECT_EQ(seen, (std::vector<int64_t>{1000000, 1000001}));
  for (auto* channel : {&out, &in}) channel->reset_empty();
  EXPECT_FALSE(krv_test_region_exists(back));
}

// Script tasks whose sends find the ring full park (the VM thread is not held). Messages go in the order
// of their sends: a later send parks behind a parked one even when the reader has made room meanwhile.
// The update hook, or a caller that cannot park (before its own message), writes the parked messages and
// each task resumes with true; closing or releasing the channel, or 5 s without room for a message, end
// them with false.
TEST_F(IpcChannel, ParkedSendsGoInTheOrderOfTheirSendsAndEndWithTheirResults) {
  krvvar_shared values[] = {krvvar_shared::make_string(std::string(1000000, 'a')),
                                  krvvar_shared::make_string(std::string(100000, 'b')), krvvar_shared::make_int(7),
                                  krvvar_shared::make_int(8)};
  std::vector<std::vector<uint8_t>> encoded(std::size(values));
  std::vector<size_t> sizes;
  for (size_t i = 0; i < std::size(values); ++i) {
    krv_ipc_write_payload(values[i], encoded[i]);
    sizes.push_back(encoded[i].size());
  }
  const auto send_unparked = [&] { EXPECT_TRUE(tx->send_payload(encoded[3].data(), encoded[3].size())); };
  const std::string unread = "IPC: 1 messages (1024 records) sent on '" + name + "' were never read: the processes "
                             "connected to it read nothing for 100 ms (they stay in the ring while those hold it).";
  const struct {
    const char* what;
    size_t arriving;  // messages read, from the first on: none means nobody reads
    std::function<void()> then;
    std::vector<int64_t> results;
    std::vector<std::string> errors;
  } cases[] = {
      {"the update hook writes them", 3, [] {}, {1, 1, 1}, {}},
      {"a caller that cannot park writes them first", 4, send_unparked, {1, 1, 1}, {}},
      // The sender leaves after a wait for the reader, which never reads the message it finished.
      {"the channel disconnects", 0, [&] { tx->unread_wait_ms = 100; call(*tx, "disconnect"); }, {1, 0, 0}, {unread}},
      {"the channel is released", 0, [&] { tx->unread_wait_ms = 100; tx.reset_empty(); }, {1, 0, 0}, {unread}},
      {"nobody reads", 0, [] {}, {1, 0, 0}, {"IPC: timeout.", "IPC: timeout."}},
  };
  for (const auto& c : cases) {
    connect_pair();
    sent.clear();
    log.clear();
    std::vector<size_t> arrived;
    start_sender(values[0]);                                // 978 of the 1,024 records
    krvptr_strong<krv_task> cut = start_sender(values[1]);  // 46 records in, then the ring is full
    if (c.arriving > 0 && rx->receive()) arrived.push_back(rx->completed.size());
    const uint32_t written = krv_ipc_write_ticket(*tx->ring).load();
    krvptr_strong<krv_task> behind = start_sender(values[2]);
    EXPECT_EQ(krv_ipc_write_ticket(*tx->ring).load(), written) << c.what << ": a later send went ahead";
    std::thread reader([&] {  // bounded, so that a lost message fails the test rather than hang it
      for (const uint64_t end = krv_platform::monotonic_ms() + 20000;
           arrived.size() < c.arriving && krv_platform::monotonic_ms() < end;)
        if (rx->receive()) arrived.push_back(rx->completed.size());
    });
    c.then();
    for (int pass = 0; pass < 20000 && cut->suspended + behind->suspended != 0; ++pass) {
      vm.run_update_pass();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    vm.run_due_tasks();
    EXPECT_EQ(sent, c.results) << c.what;
    EXPECT_EQ(arrived, std::vector<size_t>(sizes.begin(), sizes.begin() + c.arriving)) << c.what;
    EXPECT_EQ(errors(), c.errors) << c.what;
  }
}

// A region of a channel's name that another user could open is refused by creator and opener alike,
// with one line naming the channel; one cut short under its holder is refused before it is mapped.
TEST_F(IpcChannel, RegionsOthersCouldOpenAreRefused) {
  const std::string path = "/" + std::string(krv_ipc_region_prefix) + name;
  struct case_row {
    const char* what;
    mode_t mode;
    bool other_owner;  // needs root to give the object away; skipped otherwise
  };
  const std::vector<case_row> cases = {{"open to everyone", 0666, false},
                                       {"open to the group", 0660, false},
                                       {"owned by another user", 0600, true}};
  const std::string refused =
      "IPC: the shared memory of channel '" + name + "' belongs to another user or is open to group or others; refusing it.";
  for (const case_row& c : cases) {
    if (c.other_owner && geteuid() != 0) {
      std::printf("skipped '%s': giving an object to another user needs root\n", c.what);
      continue;
    }
    const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << c.what;
    ASSERT_EQ(ftruncate(fd, sizeof(krv_ipc_ring)), 0);
    ASSERT_EQ(fchmod(fd, c.mode), 0);
    if (c.other_owner) {
      ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    }
    close(fd);
    for (const bool create : {true, false}) {
      log.clear();
      krvptr_strong<krv_ipc> channel = make_channel();
      EXPECT_EQ(call(*channel, "connect", {krvvar_shared::make_string(name), krvvar_shared::make_int(create)})->int_value(), 0)
          << c.what << (create ? ", creator" : ", opener");
      EXPECT_EQ(errors(), std::vector<std::string>{refused}) << c.what;
    }
    shm_unlink(path.c_str());
  }
  krv_platform::shared_memory_handle handle;
  ASSERT_EQ(krv_platform::create_shared_memory(krv_ipc_region_prefix + name, sizeof(krv_ipc_ring), handle), 0);
  ASSERT_EQ(ftruncate(handle.fd, 4096), 0);
  int error = 0;
  EXPECT_EQ(krv_platform::map_shared_memory(handle, sizeof(krv_ipc_ring), error), nullptr);
  EXPECT_EQ(error, ERANGE);
  krv_platform::close_shared_memory(handle);
}

// A ring of the size rings had before their slots were marked: refused by both sides while a process
// holds it, resized by a creator once it is only left behind.
TEST_F(IpcChannel, ARegionOfAnotherLayoutIsRefusedWhileHeldAndResizedWhenLeftBehind) {
  const std::string region = krv_ipc_region_prefix + name;
  const std::string refused =
      "IPC: the shared memory of channel '" + name + "' is not a ring of 1127552 bytes (another version's layout?); refusing it.";
  krv_platform::shared_memory_handle old_holder;
  ASSERT_EQ(krv_platform::create_shared_memory(region, krv_ipc_unmarked_ring_size, old_holder), 0);
  for (const bool create : {true, false}) {
    log.clear();
    krvptr_strong<krv_ipc> channel = make_channel();
    EXPECT_EQ(call(*channel, "connect", {krvvar_shared::make_string(name), krvvar_shared::make_int(create)})->int_value(), 0);
    EXPECT_EQ(errors(), std::vector<std::string>{refused}) << (create ? "creator" : "opener");
  }
  // Left behind: the descriptor closes without unlinking the name, as a killed process leaves it. An
  // opener that meets it (and removes it, being its last holder) still names the layout.
  close(old_holder.fd);
  log.clear();
  krvptr_strong<krv_ipc> opener = make_channel();
  EXPECT_EQ(call(*opener, "connect", {krvvar_shared::make_string(name), krvvar_shared::make_int(0)})->int_value(), 0);
  EXPECT_EQ(errors(), std::vector<std::string>{refused}) << "opener of a region left behind";
  // Left behind with records unread (its write ticket at 6): they are not this layout's, and are named.
  ASSERT_EQ(krv_platform::create_shared_memory(region, krv_ipc_unmarked_ring_size, old_holder), 0);
  const uint32_t six = 6;
  ASSERT_EQ(pwrite(old_holder.fd, &six, sizeof six, 0), static_cast<ssize_t>(sizeof six));
  close(old_holder.fd);
  log.clear();
  connect_pair();
  EXPECT_EQ(errors(), std::vector<std::string>{"IPC: the shared memory of channel '" + name +
                                               "' was a region of 1062016 bytes, not a ring of 1127552 (another "
                                               "version's layout?); cleared it, dropping the 6 records it held unread."});
  EXPECT_EQ(call(*tx, "send", {krvvar_shared::make_string("after")})->int_value(), 1);
  ASSERT_TRUE(rx->receive());
}

TEST_F(IpcChannel, AnInvalidPayloadIsLoggedAndDeliveryGoesOn) {
  connect_pair();
  call(*rx, "on_message", {holding_callback()});
  const uint8_t garbage[] = {'x', 'y', 'z'};
  ASSERT_TRUE(tx->send_payload(garbage, sizeof garbage));
  call(*tx, "send", {krvvar_shared::make_string("after")});
  vm.run_update_pass();
  EXPECT_EQ(errors(), (std::vector<std::string>{"from_binary(): invalid data: Buffer underflow in check_section",
                                                "IPC: invalid message received on '" + name + "'."}));
  EXPECT_EQ(delivered()->get_string(), "after");
}

TEST_F(IpcChannel, WithoutACallbackTaskUpdatesLeaveTheRingAlone) {
  connect_pair();
  call(*tx, "send", {krvvar_shared::make_int(1)});
  const struct {
    const char* what;
    std::function<void()> arrange;
  } cases[] = {
      {"no callback", [] {}},
      {"None clears the callback",
       [&] {
         call(*rx, "on_message", {callback_function()});
         call(*rx, "on_message", {krvvar_shared::make_none()});
       }},
      {"a function whose block is gone",
       [&] {
         krvvar_shared function = callback_function(make_block(KRV_BLOCK_FUNCTION, 1, 1));  // block gone at once
         call(*rx, "on_message", {function});
         EXPECT_EQ(rx->callback.function->type, KRVVAR_FUNCTION);
       }},
      {"a disconnected channel",
       [&] {
         call(*rx, "on_message", {callback_function()});
         call(*rx, "disconnect");
       }},
  };
  for (const auto& c : cases) {
    c.arrange();
    vm.run_update_pass();
    EXPECT_EQ(krv_ipc_read_ticket(*tx->ring).load(), 0u) << c.what;
  }
}

TEST_F(IpcChannel, ACallbackMayChangeItsChannelMidDrain) {
  // Two callbacks: the first records "a<n>", the second "b<n>"; when the first meets message 2 it acts.
  std::vector<std::string> seen;
  std::function<void()> act;
  held = krv_assemble_text(
      "native N0 \"first\" 1 1\nnative N1 \"second\" 1 1\nblock B0 4\nend\n"
      "block B1 1 child B0 params 1 locals 1\n  args_open 1\n  load_local 0\n  deref\n  arg 0\n  call_native @N0\nend\n"
      "block B2 1 child B0 params 1 locals 1\n  args_open 1\n  load_local 0\n  deref\n  arg 0\n  call_native @N1\nend\n");
  for (const char* tag : {"a", "b"}) {
    held->natives[*tag - 'a']->callable = [&, tag](krv_vm_context&, std::vector<krvvar_shared>& args) {
      seen.push_back(tag + std::to_string(args[0]->int_value()));
      if (*tag == 'a' && args[0]->int_value() == 2) act();
      return krvvar_shared::make_none();
    };
  }
  root = krv_task_create(held->root, nullptr);
  krv_get_thread_local().current_task = root.get();
  auto function = [&](size_t child) {
    krvvar_shared value = krvvar_shared::make_none();
    value->set_function(held->root->children[child].get(), root.get());
    return value;
  };
  auto send = [&](int64_t n) { ASSERT_EQ(call(*tx, "send", {krvvar_shared::make_int(n)})->int_value(), 1); };
  auto reconnect = [&](int creator) {
    call(*rx, "disconnect");
    ASSERT_EQ(call(*rx, "connect", {krvvar_shared::make_string(name), krvvar_shared::make_int(creator)})->int_value(), 1);
  };

  const struct {
    const char* what;
    std::function<void()> action;
    std::vector<std::string> first_pass, second_pass;  // delivered by the pass with 1-4 queued, then with 5
    uint32_t records_read;                              // read ticket at the end: 2 records a message
  } cases[] = {
      {"disconnect", [&] { call(*rx, "disconnect"); }, {"a1", "a2"}, {}, 4},
      // A connect ends the pass. An opener finds the ring as it was: the queued messages follow, each once.
      {"reconnect as opener", [&] { reconnect(0); }, {"a1", "a2"}, {"a3", "a4", "a5"}, 10},
      // So does a creator, its peer still connected: it takes the ring over as it stands.
      {"reconnect as creator", [&] { reconnect(1); send(9); }, {"a1", "a2"}, {"a3", "a4", "a9", "a5"}, 12},
      {"set_callback with another function", [&] { call(*rx, "on_message", {function(1)}); },
       {"a1", "a2", "b3", "b4"}, {"b5"}, 10},
      {"set_callback with None", [&] { call(*rx, "on_message", {krvvar_shared::make_none()}); }, {"a1", "a2"}, {}, 4},
      {"drop the last reference", [&] { rx.reset_empty(); }, {"a1", "a2"}, {}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    connect_pair();
    seen.clear();
    act = c.action;
    call(*rx, "on_message", {function(0)});
    for (int64_t n = 1; n <= 4; ++n) send(n);
    vm.run_update_pass();
    EXPECT_EQ(seen, c.first_pass);
    seen.clear();
    send(5);
    vm.run_update_pass();
    EXPECT_EQ(seen, c.second_pass);
    EXPECT_EQ(krv_ipc_read_ticket(*tx->ring).load(), c.records_read);
    EXPECT_EQ(vm.state().update_list.size(), rx ? 2u : 1u);
    drop_pair();
  }
  EXPECT_TRUE(errors().empty());
}

TEST_F(IpcChannel, ReleasedOnAnotherThreadItLeavesTheListBeforeItsTeardown) {
  connect_pair();
  call(*rx, "on_message", {callback_function()});
  call(*tx, "send", {krvvar_shared::make_int(1)});
  krvptr_ref_block* block = rx.block();
  // The callback task goes on this thread, after the join: a task released on a thread without a VM
  // loses its pooled frame's local slots (a runtime fault of its own, outside the channel).
  const krvptr_strong<krv_task> task = rx->callback.task;
  // The other thread's release stops at the VM lock, which this thread holds, with the block dead.
  std::thread releaser([channel = std::move(rx)]() mutable { channel.reset_empty(); });
  // Block counts are plain integers, so this wait reads one the other thread writes: a race on purpose,
  // and why this binary is not among the ThreadSanitizer tests.
  while (reinterpret_cast<volatile uint8_t&>(block->alive) != 0) std::this_thread::yield();
  vm.run_update_pass();  // must not drain for an object being released
  EXPECT_EQ(krv_ipc_read_ticket(*tx->ring).load(), 0u);
  lock.reset();
  releaser.join();
  lock.emplace();
  EXPECT_TRUE(vm.state().update_list.size() == 1 && vm.state().update_list.front() == tx.get());
}

}  // namespace
