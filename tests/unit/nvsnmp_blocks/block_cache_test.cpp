// Blocks from the cache are ordinary malloc blocks of at least the size asked
// for, whoever releases them and however; a released block of a cached size
// is handed out again on the same thread.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "block_cache.h"

namespace {

TEST(BlockCache, BlocksHoldWhatWasAskedForAndZeroedOnesAreZero) {
  for (size_t bytes : {0u, 1u, 4u, 23u, 24u, 25u, 40u, 44u, 100u, 248u, 249u, 4096u}) {
    SCOPED_TRACE(bytes);
    auto* block = static_cast<unsigned char*>(nvsnmp::TakeBlock(bytes));
    ASSERT_NE(block, nullptr);
    EXPECT_GE(malloc_usable_size(block), bytes);
    std::memset(block, 0xAB, bytes);
    nvsnmp::GiveBlock(block);
    auto* zeroed = static_cast<unsigned char*>(nvsnmp::TakeZeroedBlock(bytes));
    ASSERT_NE(zeroed, nullptr);
    for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(zeroed[i], 0) << i;
    nvsnmp::GiveBlock(zeroed);
  }
}

TEST(BlockCache, AReleasedBlockIsReusedForTheSameSize) {
  void* first = nvsnmp::TakeBlock(40);
  nvsnmp::GiveBlock(first);
  void* again = nvsnmp::TakeBlock(40);
  EXPECT_EQ(again, first);
  nvsnmp::GiveBlock(again);
}

TEST(BlockCache, BlocksCrossToAndFromPlainMalloc) {
  // What the plug-in allocates with malloc the library may release here...
  for (size_t bytes : {4u, 44u, 60u, 300u}) {
    void* block = std::malloc(bytes);
    ASSERT_NE(block, nullptr);
    nvsnmp::GiveBlock(block);
  }
  // ...and what the library hands out the plug-in may free itself.
  std::free(nvsnmp::TakeBlock(44));
  nvsnmp::GiveBlock(nullptr);
}

TEST(BlockCache, ManyBlocksAndOtherThreadsReleaseEverything) {
  // Run under the address sanitizer: blocks kept past the limit, or by a
  // thread that ended, would show as leaks.
  std::vector<void*> blocks;
  for (int i = 0; i < 500; ++i) blocks.push_back(nvsnmp::TakeBlock(24 + (i % 10) * 16));
  std::thread other([&] {
    for (void* b : blocks) nvsnmp::GiveBlock(b);  // released on another thread
    for (int i = 0; i < 50; ++i) nvsnmp::GiveBlock(nvsnmp::TakeBlock(56));
  });
  other.join();
  for (int i = 0; i < 50; ++i) {
    void* b = nvsnmp::TakeBlock(56);
    std::memset(b, 1, 56);
    nvsnmp::GiveBlock(b);
  }
}

}  // namespace
