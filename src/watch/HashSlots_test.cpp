#include "watch/HashSlots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/Memory.h"

namespace watch {
namespace {

using Hasher = uint64_t (*)(uint32_t key);

uint64_t Mixed(uint32_t key) {
  uint64_t x = key * 0x9E3779B97F4A7C15ull;
  return x ^ (x >> 29);
}
// 64 keys to a home: runs that run into each other.
uint64_t InRuns(uint32_t key) { return Mixed(key / 64); }
// Homes in the last slots of any array: every run wraps round to the start.
uint64_t AtTheEnd(uint32_t key) { return ~uint64_t{0} - key % 8; }

// A slot whose hash the test chooses, kept in the slot, so that a case can
// crowd its keys into runs of its choosing. value is the owner's part.
struct TestSlot {
  uint32_t key;  // 0: free
  uint32_t value;
  uint64_t hash;
  uint64_t Hash() const { return hash; }
  bool Same(const TestSlot& o) const { return key == o.key; }
  bool Free() const { return key == 0; }
};
static_assert(sizeof(TestSlot) == 16);

TestSlot Of(uint32_t key, Hasher hash, uint32_t value = 0) {
  return TestSlot{key, value, hash(key)};
}

// Inserts keys first..last, each with value 1000 + key.
void InsertKeys(HashSlots<TestSlot>& t, uint32_t first, uint32_t last, Hasher hash) {
  for (uint32_t k = first; k <= last; ++k) t.Insert(Of(k, hash, 1000 + k));
}

// ForEach gives the slots of keys 1..n, each once, and no other.
void ExpectEachSlotOnce(const HashSlots<TestSlot>& t, uint32_t n) {
  std::vector<int> seen(n + 1);
  t.ForEach([&](const TestSlot& s) { ++seen[s.key <= n ? s.key : 0]; });
  ASSERT_EQ(std::count(seen.begin() + 1, seen.end(), 1), std::ptrdiff_t{n});
  ASSERT_EQ(seen[0], 0);
}

// Every key 1..n is found, with value 1000 + key, and seen once by
// ForEach; a key not inserted is not found.
void ExpectKeys(const HashSlots<TestSlot>& t, uint32_t n, Hasher hash) {
  ASSERT_EQ(t.Count(), n);
  for (uint32_t k = 1; k <= n; ++k) {
    const TestSlot* s = t.Find(Of(k, hash));
    ASSERT_TRUE(s && s->key == k && s->value == 1000 + k) << "key " << k;
  }
  EXPECT_EQ(t.Find(Of(n + 1, hash)), nullptr);
  ExpectEachSlotOnce(t, n);
}

// Inserts through several growths, some of them spread over the inserts
// that follow, checking the table at every step where a growth begins or
// ends and in between. Values are changed in place through Find on the
// way, so that a change made to a slot not moved yet must move with it.
TEST(HashSlotsTest, FindsEveryKeyThroughGrowth) {
  const struct {
    const char* name;
    Hasher hash;
    uint32_t keys;
  } cases[] = {
      {"mixed", Mixed, 30000},
      {"in runs of 64", InRuns, 30000},
      {"all at the end of the array", AtTheEnd, 1500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HashSlots<TestSlot> t;
    std::vector<uint32_t> value(c.keys + 1);
    uint64_t generation = t.Generation();
    size_t inserts_while_moving = 0;
    for (uint32_t k = 1; k <= c.keys; ++k) {
      const bool was_moving = t.Moving();
      const size_t capacity = t.Capacity();
      const TestSlot* placed = t.Insert(Of(k, c.hash, k));
      value[k] = k;
      ASSERT_TRUE(placed && placed->key == k && placed->value == k);
      ASSERT_EQ(t.Count(), k);
      // At most four fifths full, in a power of two; a growth ends before
      // the next one begins; the generation is odd while slots move.
      ASSERT_EQ(t.Capacity() & (t.Capacity() - 1), 0u);
      ASSERT_LE(t.Count() * 5, t.Capacity() * 4);
      ASSERT_TRUE(!was_moving || t.Capacity() == capacity);
      inserts_while_moving += t.Moving();
      ASSERT_EQ(t.Moving(), t.Generation() % 2 == 1);
      ASSERT_GE(t.Generation(), generation);
      if (t.Generation() == generation && k % (t.Moving() ? 97 : 997) != 0) continue;
      generation = t.Generation();

      ASSERT_NO_FATAL_FAILURE(ExpectEachSlotOnce(t, k));
      for (uint32_t j = 1; j <= k; ++j) {
        TestSlot* s = t.Find(Of(j, c.hash));
        ASSERT_TRUE(s && s->key == j && s->value == value[j]) << "key " << j << " after " << k;
        if (!t.Moving()) {
          ASSERT_EQ(t.FindFrom(Of(j, c.hash), t.Home(c.hash(j))), s);
        }
        value[j] = ++s->value;
      }
      ASSERT_EQ(t.Find(Of(k + 1, c.hash)), nullptr);
    }
    if (c.keys > 10000) {
      EXPECT_GT(inserts_while_moving, 0u) << "no growth was spread out";
    }
  }
}

// A copy taken a slice of Slots() at a time, as the registry's copy takes
// it with inserts in between: it begins again when the generation changes,
// and moves a growth's slots itself while one is under way. Every copy
// holds each key once, and every key inserted before it began.
TEST(HashSlotsTest, CopyInSlicesWhileTheTableGrows) {
  const struct {
    size_t slice;
    uint32_t inserts_between;
  } cases[] = {{64, 1}, {512, 7}, {4096, 300}};
  constexpr uint32_t kKeys = 40000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slice);
    HashSlots<TestSlot> t;
    uint32_t inserted = 0;
    int restarts = 0, moves = 0, copies = 0;
    while (inserted < kKeys) {
      const uint32_t before = inserted;
      std::vector<uint32_t> keys;
      for (bool done = false; !done;) {
        const uint64_t generation = t.Generation();
        keys.clear();
        for (size_t pos = 0;;) {
          // The writer's turn.
          const uint32_t to = std::min(kKeys, inserted + c.inserts_between);
          InsertKeys(t, inserted + 1, to, Mixed);
          inserted = to;
          if (t.Generation() != generation) {
            ++restarts;
            break;
          }
          if (t.Moving()) {
            t.Move(c.slice);
            ++moves;
            continue;
          }
          const size_t end = std::min(pos + c.slice, t.Capacity());
          for (; pos < end; ++pos) {
            if (!t.Slots()[pos].Free()) keys.push_back(t.Slots()[pos].key);
          }
          if (pos == t.Capacity()) {
            done = true;
            break;
          }
        }
      }
      ++copies;
      std::sort(keys.begin(), keys.end());
      ASSERT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end()) << "a key twice";
      ASSERT_GE(keys.size(), before) << "copy " << copies;
      for (uint32_t k = 1; k <= before; ++k) ASSERT_EQ(keys[k - 1], k) << "copy " << copies;
      ASSERT_TRUE(keys.empty() || keys.back() <= inserted);
    }
    ExpectKeys(t, kKeys, Mixed);
    // The case saw what it is for.
    EXPECT_GT(restarts, 0);
    EXPECT_GT(moves, 0);
  }
}

// Reserve ends a growth under way and makes room: no growth until the
// table holds as many keys.
TEST(HashSlotsTest, ReserveSettlesAndMakesRoom) {
  const struct {
    uint32_t before;  // keys inserted first; 0: until a growth is under way
    uint32_t reserve;
  } cases[] = {{1, 1}, {1, 50000}, {3000, 10}, {3276, 3277}, {0, 10}, {0, 100000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.before << " then " << c.reserve);
    HashSlots<TestSlot> t;
    uint32_t n = 0;
    do {
      ++n;
      t.Insert(Of(n, Mixed, 1000 + n));
    } while (c.before ? n < c.before : !t.Moving());
    t.Reserve(c.reserve);
    EXPECT_FALSE(t.Moving());
    const uint64_t generation = t.Generation();
    const size_t capacity = t.Capacity();
    if (c.reserve > n) {
      InsertKeys(t, n + 1, c.reserve, Mixed);
      n = c.reserve;
    }
    EXPECT_EQ(t.Generation(), generation);
    EXPECT_EQ(t.Capacity(), capacity);
    ExpectKeys(t, n, Mixed);
  }
}

// A large array comes in pages of its own; the one a growth leaves behind
// goes back a part at a time with the inserts after the growth (a large
// unmapping takes milliseconds), and the table gives back all it holds
// when it goes.
TEST(HashSlotsTest, LargeArraysGoBackInParts) {
  const size_t at_start = platform::PageBytesInUse();
  auto in_use = [&] { return platform::PageBytesInUse() - at_start; };
  {
    HashSlots<TestSlot> t;
    uint32_t n = 0;
    auto insert = [&] {
      ++n;
      t.Insert(Of(n, Mixed, 1000 + n));
    };
    // Up to the first array in pages, then through the growth from it.
    while (in_use() == 0) insert();
    const size_t first = t.Capacity() * sizeof(TestSlot);
    EXPECT_EQ(in_use(), first);
    while (t.Capacity() * sizeof(TestSlot) == first || t.Moving()) insert();
    const size_t grown = t.Capacity() * sizeof(TestSlot);
    EXPECT_EQ(in_use(), grown + first);
    insert();
    EXPECT_EQ(in_use(), grown + first - platform::kReleaseUnit);
    for (int i = 0; i < 64; ++i) insert();
    EXPECT_EQ(in_use(), grown);
    ExpectKeys(t, n, Mixed);
  }
  EXPECT_EQ(platform::PageBytesInUse(), at_start);
}

}  // namespace
}  // namespace watch
