// When an opener finds a named region there: only while a holder announces it. A region its creator is
// still making, or one left behind by processes that are gone (full size, stale content), is not there
// yet; a region of another size is refused whether announced or not.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"
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
      // Any process of the user may take an exclusive flock on the object and keep it: the holder's
      // shared lock is waited for up to its bound, never for good.
      {"an exclusive flock kept on it",
       [&](shared_memory_handle& kept) {
         kept.name = "/" + name;
         kept.fd = shm_open(kept.name.c_str(), O_RDWR | O_CREAT, 0600);
         ASSERT_EQ(ftruncate(kept.fd, region_size), 0);
         ASSERT_EQ(flock(kept.fd, LOCK_EX | LOCK_NB), 0);
       },
       ETIMEDOUT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    shared_memory_handle kept;
    c.arrange(kept);
    shared_memory_handle opened;
    const uint64_t start_ms = krv_platform::monotonic_ms();
    EXPECT_EQ(krv_platform::open_shared_memory(name, region_size, opened), c.expected);
    if (c.expected == ETIMEDOUT) EXPECT_GE(krv_platform::monotonic_ms() - start_ms, krv_platform::shared_memory_lock_wait_ms);
    EXPECT_EQ(opened.is_open(), c.expected == 0);
    krv_platform::close_shared_memory(opened);
    krv_platform::close_shared_memory(kept);
    shm_unlink(("/" + name).c_str());
  }
}

}  // namespace
