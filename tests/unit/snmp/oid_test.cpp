#include "snmp/oid.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Subs = std::vector<uint32_t>;

// Heap copies of exactly the right size, so that the address sanitizer sees
// any read past the text's terminator or past the last sub-identifier.
struct ExactText {
  explicit ExactText(const std::string& s) : p(static_cast<char*>(std::malloc(s.size() + 1))) {
    std::memcpy(p, s.c_str(), s.size() + 1);
  }
  ~ExactText() { std::free(p); }
  char* p;
};

struct ExactOid {
  explicit ExactOid(const Subs& v) : p(CopyOid(v.data(), static_cast<uint32_t>(v.size()))),
                                     n(static_cast<uint32_t>(v.size())) {}
  ~ExactOid() { FreeOid(p); }
  uint32_t* p;
  uint32_t n;
};

Subs Parse(const char* text, bool* present = nullptr) {
  uint32_t count = 12345;
  uint32_t* block = ParseOid(text, &count);
  if (present != nullptr) *present = block != nullptr;
  Subs out(block, block + (block != nullptr ? count : 0));
  FreeOid(block);
  return out;
}

struct ParseCase {
  const char* text;
  Subs expected;
};

class ParseOidTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseOidTest, GivesTheSubIdentifiers) {
  const ParseCase& c = GetParam();
  ExactText text(c.text);
  bool present = false;
  EXPECT_EQ(Parse(text.p, &present), c.expected) << "text \"" << c.text << "\"";
  EXPECT_TRUE(present);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseOidTest,
    ::testing::Values(
        ParseCase{".1.3.6.1.2.1.43.18.1.1.2", {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 2}},
        ParseCase{".1.3.6.1.2.1", {1, 3, 6, 1, 2, 1}},
        ParseCase{"1.3.6.1.2.1", {1, 3, 6, 1, 2, 1}},
        ParseCase{"1.3.", {1, 3}},
        ParseCase{"1..3", {1}},
        ParseCase{"abc", {}},
        ParseCase{"", {}},
        ParseCase{".", {}},
        ParseCase{"1.x.3", {1, 3}},
        ParseCase{"1.2ab.3", {1, 2, 3}},
        ParseCase{"1.+.3", {1, 3}},
        ParseCase{"-2", {4294967294u}},
        ParseCase{" 7. +8.\t-0", {7, 8, 0}},
        ParseCase{"4294967295.2147483648", {4294967295u, 2147483648u}},
        // Numbers wider than 32 bits wrap modulo 2^32, like a 32-bit %d.
        ParseCase{"4294967296.4294967297", {0, 1}},
        ParseCase{"99999999999999999999999", {4135583743u}}));

TEST(ParseOid, StopsAtOneHundredComponents) {
  for (int n : {99, 100, 101, 250}) {
    std::string text;
    Subs expected;
    for (int i = 1; i <= n; ++i) {
      text += "." + std::to_string(i);
      if (i <= 100) expected.push_back(static_cast<uint32_t>(i));
    }
    ExactText exact(text);
    EXPECT_EQ(Parse(exact.p), expected) << n << " components";
  }
}

TEST(CopyOid, CopiesIntoANewBlock) {
  const Subs v = {1, 3, 6, 4294967295u};
  uint32_t* copy = CopyOid(v.data(), 4);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, v.data());
  EXPECT_EQ(Subs(copy, copy + 4), v);
  FreeOid(copy);
}

TEST(CopyOid, CountZeroGivesAPresentBlock) {
  const uint32_t one = 1;
  for (const uint32_t* source : {&one, static_cast<const uint32_t*>(nullptr)}) {
    uint32_t* copy = CopyOid(source, 0);
    EXPECT_NE(copy, nullptr);
    FreeOid(copy);
  }
}

struct CompareCase {
  Subs a;
  Subs b;
  uint32_t n;
  int32_t expected;
  const char* what;
};

class CompareOidTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareOidTest, Compares) {
  const CompareCase& c = GetParam();
  ExactOid a(c.a);
  ExactOid b(c.b);
  EXPECT_EQ(CompareOid(a.p, a.n, b.p, b.n, c.n), c.expected) << c.what;
}

const Subs kSeverityColumn = {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 2};
const Subs kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3};
const Subs kVendorPrefix = {1, 3, 6, 1, 4, 1, 808, 8, 62, 1};

INSTANTIATE_TEST_SUITE_P(
    Pairs, CompareOidTest,
    ::testing::Values(
        CompareCase{{1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 2, 1, 5}, kSeverityColumn, 11, 0,
                    "row under its column"},
        CompareCase{{1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 4, 1, 1}, kSeverityColumn, 11, 1,
                    "later column is greater"},
        CompareCase{kSeverityColumn, {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 4, 1, 1}, 11, -1,
                    "earlier column is smaller"},
        CompareCase{kSysUpTime, kSysUpTime, 0, 0, "equal counts make n the count"},
        CompareCase{{1, 3, 6, 1, 2, 1, 1, 3, 0}, kSysUpTime, 0, 1, "longer a, no difference"},
        CompareCase{kSysUpTime, {1, 3, 6, 1, 2, 1, 1, 3, 0}, 0, -1, "shorter a, no difference"},
        CompareCase{{1, 3, 6, 1, 4, 1, 808, 8}, kVendorPrefix, 10, -1,
                    "8 sub-identifiers against a 10 prefix"},
        CompareCase{{1, 3, 6, 1, 4, 1, 808, 8, 62, 1}, kVendorPrefix, 10, 0, "equal to the prefix"},
        CompareCase{{1, 3, 6, 1, 4, 1, 808, 8, 62, 1, 77, 2}, kVendorPrefix, 10, 0,
                    "under the prefix"},
        CompareCase{{1, 3, 6, 1, 4, 1, 808, 8, 62, 2}, kVendorPrefix, 10, 1, "sibling family"},
        CompareCase{{1, 2, 3}, {1, 2, 3}, 5, -1, "equal but shorter than n"},
        CompareCase{{}, {}, 0, -1, "two empty OIDs"},
        CompareCase{{4294967295u}, {1}, 0, 1, "unsigned: high bit is greater"},
        CompareCase{{1}, {4294967295u}, 0, -1, "unsigned: 1 is smaller"},
        CompareCase{{1, 2, 9}, {1, 2, 3, 4}, 2, 0, "prefix of 2 with different counts"},
        CompareCase{{1, 2, 9}, {1, 2, 3, 4}, 0, 1, "counts differ, n stays 0"}));

TEST(CompareOid, AbsentOidsReadNothing) {
  const uint32_t one[] = {1};
  EXPECT_EQ(CompareOid(nullptr, 5, one, 1, 1), -1);
  EXPECT_EQ(CompareOid(one, 1, nullptr, 5, 0), 1);
}

}  // namespace
