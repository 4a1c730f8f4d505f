// LocalHostName through its name-source seam.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif
#include <unistd.h>

#include "unit_support.h"
#include "platform/local_host.h"

namespace {

using zov::test::LogCapture;

// What the scripted source answers; set before each call.
std::string g_name;
int g_result = 0;
bool g_truncate_like_posix = false;  // copy only what fits, no terminator, success
size_t g_size_asked = 0;

int ScriptedSource(char* buffer, size_t size) {
  g_size_asked = size;
  if (g_result != 0) return g_result;
  if (g_name.size() + 1 > size) {
    if (!g_truncate_like_posix) {
      errno = ENAMETOOLONG;
      return -1;
    }
    std::memcpy(buffer, g_name.data(), size);
    return 0;
  }
  std::memcpy(buffer, g_name.c_str(), g_name.size() + 1);
  return 0;
}

class LocalHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_name.clear();
    g_result = 0;
    g_truncate_like_posix = false;
    SetHostNameSourceForTesting(&ScriptedSource);
  }
  void TearDown() override { SetHostNameSourceForTesting(nullptr); }
};

constexpr const char* kFailureRecord = ": gethostname failed. Cannot determine local hostname.\n";

TEST_F(LocalHostTest, NamesUpToTwentyNineCharactersAreReturnedWhole) {
  for (const std::string& name : {std::string("h"), std::string("pollhost"), std::string(29, 'n')}) {
    SCOPED_TRACE(name);
    LogCapture log;
    ASSERT_TRUE(log.ok());
    g_name = name;
    char* got = LocalHostName();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), name);
    std::free(got);
    EXPECT_EQ(log.Text(), "");
    EXPECT_GE(g_size_asked, static_cast<size_t>(kHostNameBufferSize));
  }
}

TEST_F(LocalHostTest, NamesOfThirtyCharactersOrMoreAreRefusedNotCut) {
  for (bool truncating : {false, true}) {
    for (size_t length : {30u, 31u, 64u, 300u}) {
      SCOPED_TRACE(std::to_string(length) + (truncating ? " truncating source" : ""));
      LogCapture log;
      ASSERT_TRUE(log.ok());
      g_name = std::string(length, 'n');
      g_truncate_like_posix = truncating;
      EXPECT_EQ(LocalHostName(), nullptr);
      EXPECT_EQ(log.Text(), kFailureRecord);
    }
  }
}

// The check reads no further than the 30-byte buffer, nor than what the
// source was given: each buffer ends where an unreadable page begins, so a
// read past it ends the test with a fault.
TEST(TerminatedHostNameTest, TheZeroMustLieWithinThirtyBytesAndNothingBeyondIsRead) {
  struct Row {
    const char* what;
    size_t size;          // bytes given to the source, ending at the guard page
    long zero_at;         // -1: no zero at all
    bool accepted;
  };
  const Row rows[] = {
      {"30 bytes without a zero", 30, -1, false},
      {"20 bytes without a zero", 20, -1, false},
      {"29 characters and their zero", 30, 29, true},
      {"zero just past the 30 bytes", 31, 30, false},
      {"zero far past the 30 bytes", 256, 200, false},
      {"no zero in 256 bytes", 256, -1, false},
  };
#if defined(_WIN32)
  const size_t page = 4096;
  void* map = VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(map, nullptr);
  char* guard = static_cast<char*>(map) + page;
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(guard, page, PAGE_NOACCESS, &old));
#else
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* guard = static_cast<char*>(map) + page;
  ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    char* buffer = guard - row.size;
    std::memset(buffer, 'n', row.size);
    if (row.zero_at >= 0) buffer[row.zero_at] = '\0';
    const char* name = TerminatedHostName(buffer, row.size);
    if (row.accepted) {
      EXPECT_EQ(name, buffer);
    } else {
      EXPECT_EQ(name, nullptr);
    }
  }
#if defined(_WIN32)
  VirtualFree(map, 0, MEM_RELEASE);
#else
  munmap(map, 2 * page);
#endif
}

TEST_F(LocalHostTest, FailingSourceIsLoggedWithAnEmptySubject) {
  LogCapture log;
  ASSERT_TRUE(log.ok());
  g_result = -1;
  EXPECT_EQ(LocalHostName(), nullptr);
  EXPECT_EQ(log.Text(), kFailureRecord);
}

TEST_F(LocalHostTest, EachCallGivesItsOwnCopy) {
  g_name = "pollhost";
  char* first = LocalHostName();
  char* second = LocalHostName();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  first[0] = 'X';
  EXPECT_STREQ(second, "pollhost");
  std::free(first);
  std::free(second);
}

TEST_F(LocalHostTest, SystemSourceGivesThisMachinesNameWhenItFits) {
  SetHostNameSourceForTesting(nullptr);
  char actual[256] = {};
  ASSERT_EQ(gethostname(actual, sizeof actual - 1), 0);
  LogCapture log;
  ASSERT_TRUE(log.ok());
  char* got = LocalHostName();
  if (std::strlen(actual) < static_cast<size_t>(kHostNameBufferSize)) {
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, actual);
    EXPECT_EQ(log.Text(), "");
  } else {
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(log.Text(), kFailureRecord);
  }
  std::free(got);
}

}  // namespace
