// Two real processes on one ring: this test process on one side, the peer program on the other.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "classes/ipc/ipc_channel.h"
#include "classes/ipc/ipc_payload.h"
#include "ipc_messages.h"
#include "ipc_test_names.h"
#include "peer_process.h"
#include "platform/clock.h"
#include "value_test_vm.h"

namespace {

class IpcTwoProcesses : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    name = krv_test_channel_name("two");
    channel = krvptr_strong<krv_ipc>::from_raw(new krv_ipc());
  }
  void TearDown() override {
    channel.reset_empty();
    EXPECT_FALSE(krv_test_region_exists(name));
    ValueTest::TearDown();
  }

  std::vector<std::string> peer_args(const char* mode, bool creator, const char* kind, uint64_t count, uint64_t seed,
                                     const char* timeout_ms = nullptr) {
    std::vector<std::string> args{KRV_IPC_PEER_PATH, mode,        creator ? "creator" : "opener", name, kind,
                                  std::to_string(count), std::to_string(seed)};
    if (timeout_ms != nullptr) args.emplace_back(timeout_ms);
    return args;
  }
  // Receives `count` messages or gives up after `timeout_ms`; each decoded value goes to `check`.
  template <class Check>
  uint64_t receive(uint64_t count, uint64_t timeout_ms, Check check) {
    uint64_t received = 0;
    const uint64_t give_up = krv_platform::monotonic_ms() + timeout_ms;
    while (received < count && krv_platform::monotonic_ms() < give_up) {
      vm.run_update_pass();
      if (!channel->receive()) continue;
      krvvar_shared value = krvvar_shared::make_none();
      EXPECT_TRUE(krv_ipc_read_payload(channel->completed.data(), channel->completed.size(), value));
      check(value, received++);
    }
    return received;
  }

  std::string name;
  krvptr_strong<krv_ipc> channel;
};

TEST_F(IpcTwoProcesses, MixedValuesArriveInOrderInEveryRole) {
  constexpr uint64_t count = 2 * krv_test_mixed_count;
  for (const bool test_creates : {true, false}) {
    for (const bool test_receives : {true, false}) {
      SCOPED_TRACE(std::string(test_creates ? "creator" : "opener") + (test_receives ? " receiving" : " sending"));
      name = krv_test_channel_name("mixed");
      // The creator zero-fills at connect, so the opener connects only once the creator is ready.
      std::optional<krv_peer_process> peer;
      const auto start_peer = [&] {
        peer.emplace(peer_args(test_receives ? "send" : "receive", !test_creates, "mixed", count, 0, "20000"));
        ASSERT_EQ(peer->read_line(), "ready");
      };
      if (!test_creates) start_peer();
      ASSERT_TRUE(channel->open_mapping(name, test_creates));
      if (test_creates) start_peer();
      if (test_receives) {
        const uint64_t received = receive(count, 20000, [](krvvar_shared& value, uint64_t index) {
          krvvar_shared expected = krv_test_mixed_value(index % krv_test_mixed_count);
          EXPECT_TRUE(krv_test_same_value(value, expected)) << index;
        });
        EXPECT_EQ(received, count);
        EXPECT_EQ(peer->read_line(), "sent " + std::to_string(count));
      } else {
        for (uint64_t i = 0; i < count; ++i) ASSERT_TRUE(channel->send_value(krv_test_mixed_value(i % krv_test_mixed_count)));
        EXPECT_EQ(peer->read_line(), "received 16 invalid 0 out_of_order 0");
      }
      EXPECT_EQ(peer->wait_exit(), 0);
      channel->close();
      EXPECT_FALSE(krv_test_region_exists(name));
    }
  }
}

TEST_F(IpcTwoProcesses, AnOpenerStartedFirstConnectsOnceTheCreatorAppears) {
  krv_peer_process peer(peer_args("receive", false, "mixed", krv_test_mixed_count, 0, "20000"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(channel->open_mapping(name, true));
  ASSERT_EQ(peer.read_line(), "ready");
  for (uint64_t i = 0; i < krv_test_mixed_count; ++i) ASSERT_TRUE(channel->send_value(krv_test_mixed_value(i)));
  EXPECT_EQ(peer.read_line(), "received 8 invalid 0 out_of_order 0");
  EXPECT_EQ(peer.wait_exit(), 0);
}

TEST_F(IpcTwoProcesses, AHundredThousandMessagesOfSeededSizesArriveWholeAndInOrder) {
  constexpr uint64_t count = 100000;
  ASSERT_TRUE(channel->open_mapping(name, true));
  krv_peer_process peer(peer_args("send", false, "stress", count, 11));
  ASSERT_EQ(peer.read_line(), "ready");
  uint64_t invalid = 0, out_of_order = 0;
  const uint64_t received = receive(count, 120000, [&](krvvar_shared& value, uint64_t expected_index) {
    uint64_t index = 0;
    if (!value->is_string() || !krv_test_stress_check(value->object_ptr<krv_std_string>()->text, index)) ++invalid;
    else if (index != expected_index) ++out_of_order;
  });
  EXPECT_EQ(received, count);
  EXPECT_EQ(invalid, 0u);
  EXPECT_EQ(out_of_order, 0u);
  EXPECT_EQ(peer.read_line(), "sent 100000");
  EXPECT_EQ(peer.wait_exit(), 0);
  EXPECT_TRUE(errors().empty());
}

// Peers that go in the middle of a stream of stress messages (every byte checked against its sender's
// seed) cost the receiver at most the message each sender was in the middle of, and no call waits past
// the reader's bound. A receiving creator started again (closed as a killed one leaves the ring, and
// connected again as creator while the senders fill the ring) takes the ring over as it stands: every
// message sent before or after the restart arrives but the one per sender it was reassembling. Before,
// it cleared the ring under the senders: about a ring of messages whose sends had answered true was
// lost with no line, and the senders' later messages went into a ring renumbered under them.
TEST_F(IpcTwoProcesses, APeerGoneMidStreamCostsAtMostTheMessageInHand) {
  const struct {
    const char* what;
    uint64_t senders;       // streaming stress messages of seeds 5, 6, ...
    bool restart_receiver;  // else the first sender is killed mid-send
  } cases[] = {{"a sender killed mid-send", 1, false}, {"the receiving creator started again", 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    name = krv_test_channel_name("gone");
    log.clear();
    ASSERT_TRUE(channel->open_mapping(name, true));
    std::vector<uint64_t> next(c.senders, 0), lost(c.senders, 0), next_at_restart(c.senders, 0);
    uint64_t invalid = 0, out_of_order = 0, longest_ms = 0;
    // The sender whose message this is; of senders whose message `index` reads the same (an empty
    // body), the one that expects it soonest.
    const auto sender_of = [&](const std::string& text, uint64_t index) {
      uint64_t found = c.senders, soonest = UINT64_MAX;
      for (uint64_t sender = 0; sender < c.senders; ++sender) {
        const uint64_t ahead = next[sender] <= index ? index - next[sender] : UINT64_MAX - 1;
        if (ahead < soonest && text == krv_test_stress_text(5 + sender, index)) found = sender, soonest = ahead;
      }
      return found;
    };
    const auto drain_for = [&](uint64_t duration_ms) {
      const uint64_t end = krv_platform::monotonic_ms() + duration_ms;
      while (krv_platform::monotonic_ms() < end) {
        const uint64_t start = krv_platform::monotonic_ms();
        const bool got = channel->receive();
        longest_ms = std::max(longest_ms, krv_platform::monotonic_ms() - start);
        if (!got) continue;
        krvvar_shared value = krvvar_shared::make_none();
        uint64_t index = 0;
        const bool holds = krv_ipc_read_payload(channel->completed.data(), channel->completed.size(), value) &&
                           value->is_string() && krv_test_stress_check(value->object_ptr<krv_std_string>()->text, index);
        const uint64_t sender = holds ? sender_of(value->object_ptr<krv_std_string>()->text, index) : c.senders;
        if (sender == c.senders) {
          ++invalid;
        } else if (index < next[sender]) {
          ++out_of_order;
        } else {
          lost[sender] += index - next[sender];
          next[sender] = index + 1;
        }
      }
    };
    {
      std::vector<std::unique_ptr<krv_peer_process>> senders;
      for (uint64_t sender = 0; sender < c.senders; ++sender) {
        senders.push_back(std::make_unique<krv_peer_process>(peer_args("send", false, "stress", 0, 5 + sender)));
        ASSERT_EQ(senders.back()->read_line(), "ready");
      }
      drain_for(300);
      if (c.restart_receiver) {
        channel->close();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(channel->open_mapping(name, true));
        next_at_restart = next;
        drain_for(1000);
        // Only the message a sender was in the middle of is named, once (the senders' own lines come once
        // they are killed).
        const std::string taken = "its first records were taken by an earlier reader.";
        EXPECT_LE(errors().size(), c.senders);
        for (const std::string& line : errors()) EXPECT_TRUE(line.ends_with(taken)) << line;
      }
      for (auto& sender : senders) sender->kill_now();
      for (auto& sender : senders) EXPECT_EQ(sender->wait_exit(), -1);
    }
    drain_for(1500);
    EXPECT_EQ(invalid, 0u);
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_LT(longest_ms, krv_ipc_read_wait_ms + 500);
    for (uint64_t sender = 0; sender < c.senders; ++sender) {
      EXPECT_GT(next[sender], next_at_restart[sender]) << sender;  // messages came (after the restart)
      EXPECT_LE(lost[sender], c.restart_receiver ? 1u : 0u) << sender;
    }
    // A new opener's message arrives.
    krv_peer_process later(peer_args("send", false, "mixed", 1, 0));
    ASSERT_EQ(later.read_line(), "ready");
    EXPECT_EQ(receive(1, 5000, [](krvvar_shared& value, uint64_t) { EXPECT_EQ(value->type, KRVVAR_NONE); }), 1u);
    EXPECT_EQ(later.wait_exit(), 0);
    channel->close();
    EXPECT_FALSE(krv_test_region_exists(name));
  }
}

}  // namespace
