// The awaited-request set against std::unordered_set under random use,
// including the churn of deleted slots that many short-lived requests cause.
#include "client/address_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_set>

namespace {

TEST(AddressSetTest, AgreesWithAReferenceSetUnderChurn) {
  tovrel::AddressSet set;
  std::unordered_set<uint64_t> reference;
  std::mt19937_64 rng(42);
  // Addresses as the heap hands them out: 16-byte aligned, clustered.
  auto address = [&rng] { return 0x7f0000000000ULL + (rng() % 4096) * 16; };
  for (int step = 0; step < 200000; ++step) {
    const uint64_t a = address();
    switch (rng() % 3) {
      case 0:
        ASSERT_EQ(set.Insert(a), reference.insert(a).second) << step;
        break;
      case 1:
        ASSERT_EQ(set.Erase(a), reference.erase(a) == 1) << step;
        break;
      default:
        ASSERT_EQ(set.Contains(a), reference.count(a) == 1) << step;
        break;
    }
    ASSERT_EQ(set.size(), reference.size());
  }
  std::vector<uint64_t> all = set.TakeAll();
  std::sort(all.begin(), all.end());
  std::vector<uint64_t> expected(reference.begin(), reference.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);
  EXPECT_EQ(set.size(), 0u);
  EXPECT_FALSE(set.Contains(expected.empty() ? 0x7f0000000000ULL : expected[0]));
}

TEST(AddressSetTest, LongRunOfInsertEraseDoesNotGrowWithoutBound) {
  tovrel::AddressSet set;
  // One request in flight at a time, each at a new address: deleted marks
  // must be swept, or every probe would end up walking the whole table.
  for (uint64_t i = 0; i < 1000000; ++i) {
    const uint64_t a = 0x10000 + i * 48;
    ASSERT_TRUE(set.Insert(a));
    ASSERT_TRUE(set.Contains(a));
    ASSERT_TRUE(set.Erase(a));
  }
  EXPECT_EQ(set.size(), 0u);
  EXPECT_TRUE(set.TakeAll().empty());
}

TEST(AddressSetTest, RefusesTheReservedValues) {
  tovrel::AddressSet set;
  EXPECT_FALSE(set.Insert(0));
  EXPECT_FALSE(set.Insert(1));
  EXPECT_FALSE(set.Erase(1));
  EXPECT_TRUE(set.Insert(2));
  EXPECT_FALSE(set.Insert(2));
}

}  // namespace
