// When an opener finds a named region there: only while a holder announces it. A region its creator is
// still making, or one left behind by processes that are gone (full size, stale content), is not there
// yet; a region of another size is refused whether announced or not.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/shared_memory.h"

namespace {

constexpr size_t region_size = 8192;

TEST(SharedMemory, AnOpenerFindsOnlyARegionSomeHolderAnnounces) {
  using krv_platform::shared_memory_handle;
  const std::string name = "krv_shared_memory_test_" + std::to_string(getpid());
  const struct {
    const char* what;
    std::function<void(shared_memory_handle& kept)> arrange;  // `kept` is closed after the opener's try
    int expected;
  } cases[] = {
      {"created, not announced yet",
       [&](shared_memory_handle& kept) { ASSERT_EQ(krv_platform::create_shared_memory(name, region_size, kept), 0); },
       ENOENT},
      {"announced by its creator",
       [&](shared_memory_handle& kept) {
         ASSERT_EQ(krv_platform::create_shared_memory(name, region_size, kept), 0);
         ASSERT_EQ(krv_platform::announce_shared_memory(kept), 0);
       },
       0},
      {"left behind: its creator's descriptor closed without removing the name",
       [&](shared_memory_handle&) {
         shared_memory_handle creator;
         ASSERT_EQ(krv_platform::create_shared_memory(name, region_size, creator), 0);
         ASSERT_EQ(krv_platform::announce_shared_memory(creator), 0);
         close(creator.fd);  // as a killed process leaves it
       },
       ENOENT},
      {"its creator gone, an opener that announced it still there",
       [&](shared_memory_handle& kept) {
         shared_memory_handle creator;
         ASSERT_EQ(krv_platform::create_shared_memory(name, region_size, creator), 0);
         ASSERT_EQ(krv_platform::announce_shared_memory(creator), 0);
         ASSERT_EQ(krv_platform::open_shared_memory(name, region_size, kept), 0);
         ASSERT_EQ(krv_platform::announce_shared_memory(kept), 0);
         krv_platform::close_shared_memory(creator);
       },
       0},
      {"another size, announced",
       [&](shared_memory_handle& kept) {
         ASSERT_EQ(krv_platform::create_shared_memory(name, region_size / 2, kept), 0);
         ASSERT_EQ(krv_platform::announce_shared_memory(kept), 0);
       },
       EPROTO},
      {"another size, left behind",
       [&](shared_memory_handle&) {
         shared_memory_handle creator;
         ASSERT_EQ(krv_platform::create_shared_memory(name, region_size / 2, creator), 0);
         close(creator.fd);
       },
       EPROTO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    shared_memory_handle kept;
    c.arrange(kept);
    shared_memory_handle opened;
    EXPECT_EQ(krv_platform::open_shared_memory(name, region_size, opened), c.expected);
    EXPECT_EQ(opened.is_open(), c.expected == 0);
    krv_platform::close_shared_memory(opened);
    krv_platform::close_shared_memory(kept);
    shm_unlink(("/" + name).c_str());
  }
}

}  // namespace
