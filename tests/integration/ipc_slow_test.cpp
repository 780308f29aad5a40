// The IPC waits that take their full five seconds: an opener that finds no creator, and a sender whose
// ring nobody drains or whose slot a dead reader left behind.
#include <gtest/gtest.h>

#include "classes/ipc/ipc_channel.h"
#include "ipc_test_names.h"
#include "platform/clock.h"
#include "value_test_vm.h"

namespace {

class IpcSlow : public ValueTest {
 protected:
  void SetUp() override {
    ValueTest::SetUp();
    name = krv_test_channel_name("slow");
    writer = krvptr_strong<krv_ipc>::from_raw(new krv_ipc());
  }
  void TearDown() override {
    writer->close();  // released, a creator would wait for a reader of the records it left unread
    writer.reset_empty();
    EXPECT_FALSE(krv_test_region_exists(name));
    ValueTest::TearDown();
  }
  // Milliseconds one send of `size` bytes took; its result in `sent`.
  uint64_t timed_send(size_t size, bool& sent) {
    const std::vector<uint8_t> payload(size, 7);
    const uint64_t start = krv_platform::monotonic_ms();
    sent = writer->send_payload(payload.data(), payload.size());
    return krv_platform::monotonic_ms() - start;
  }

  std::string name;
  krvptr_strong<krv_ipc> writer;
};

TEST_F(IpcSlow, AnOpenerWithoutCreatorGivesUpAfterFiveHundredTries) {
  const uint64_t start = krv_platform::monotonic_ms();
  EXPECT_FALSE(writer->open_mapping(name, false));
  EXPECT_GE(krv_platform::monotonic_ms() - start, 5000u);
  EXPECT_EQ(errors(), std::vector<std::string>{"IPC: Failed to open shared memory for '" + name +
                                               "' after 500 retries. GetLastError=2 (0x2)"});
  EXPECT_FALSE(writer->ready);
  EXPECT_FALSE(writer->is_process_a);
}

TEST_F(IpcSlow, ASenderGivesUpAtItsDeadlineWhenNobodyFreesASlot) {
  ASSERT_TRUE(writer->open_mapping(name, true));
  const struct {
    const char* what;
    size_t filling;  // payload bytes sent first
    uint8_t slot_state;
  } cases[] = {
      {"nobody drains a full ring", 1023 * 1024, KRV_IPC_SLOT_FREE},
      {"a dead reader left the slot being read", 0, KRV_IPC_SLOT_READING},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(writer->open_mapping(name, true));
    krv_ipc_slot_state_of(*writer->ring, 0).store(c.slot_state);
    // A mark held by nobody vouches for a free slot; the state alone is stuck on a ring as an older
    // creator left it, all zero.
    if (c.slot_state != KRV_IPC_SLOT_FREE) krv_ipc_slot_mark_of(*writer->ring, 0).store(0);
    bool sent = true;
    if (c.filling > 0) {
      ASSERT_LT(timed_send(c.filling, sent), 1000u);
      ASSERT_TRUE(sent);
    }
    log.clear();
    const uint64_t waited = timed_send(10, sent);
    EXPECT_FALSE(sent) << c.what;
    EXPECT_GE(waited, krv_ipc_send_timeout) << c.what;
    EXPECT_LT(waited, krv_ipc_send_timeout + 1000) << c.what;
    EXPECT_EQ(errors(), std::vector<std::string>{"IPC: timeout."}) << c.what;
  }
}

}  // namespace
