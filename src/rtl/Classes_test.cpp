#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace rtl {
namespace {

TEST(TStringListTest, SortedListIgnoresCaseAndKeepsExistingEntryOnDuplicate) {
  TStringList list;
  list.SetSorted(true);
  TObject a, b;
  EXPECT_EQ(list.AddObject("10.0.0.2", &a), 0);
  EXPECT_EQ(list.AddObject("10.0.0.10", &b), 0);  // "10" sorts before "2"
  EXPECT_EQ(list.AddObject("00a0c9-1234ef", &a), 0);
  // A duplicate in other letter case keeps the first entry and its object.
  EXPECT_EQ(list.AddObject("00A0C9-1234EF", &b), 0);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Strings(0), "00a0c9-1234ef");
  EXPECT_EQ(list.Objects(0), &a);
  EXPECT_EQ(list.Strings(1), "10.0.0.10");
  EXPECT_EQ(list.Strings(2), "10.0.0.2");
  int index = -1;
  EXPECT_TRUE(list.Find("00A0C9-1234EF", index));
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(list.Find("10.0.0.1", index));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(list.ObjectOf("10.0.0.10"), &b);
  EXPECT_EQ(list.ObjectOf("missing"), nullptr);
  EXPECT_THROW(list.Strings(3), EListError);
}

TEST(TStringListTest, OrderIsDotThenDigitsThenLettersAndPrefixFirst) {
  TStringList list;
  list.SetSorted(true);
  for (const char* s : {"b", "1", "A", ".", "10", "1.0"}) list.Add(s);
  std::vector<std::string> got;
  for (int i = 0; i < list.Count(); ++i) got.push_back(list.Strings(i));
  EXPECT_EQ(got, (std::vector<std::string>{".", "1", "1.0", "10", "A", "b"}));
}

TEST(TStringListTest, CommaTextSplitting) {
  struct Case {
    const char* text;
    std::vector<std::string> items;
  } cases[] = {
      {"", {}},
      {"a,b,c", {"a", "b", "c"}},
      {"  a , b ", {"a", "b"}},
      {"a b\tc", {"a", "b", "c"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a"}},
      {"\"x y\",z", {"x y", "z"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {std::string_view("a\0b", 3).data(), {"a"}},
  };
  for (const Case& c : cases) {
    TStringList list;
    list.SetCommaText(c.text);
    std::vector<std::string> got;
    for (int i = 0; i < list.Count(); ++i) got.push_back(list.Strings(i));
    EXPECT_EQ(got, c.items) << "text: " << c.text;
  }
}

// Long lists are kept in blocks: random adds, deletes and lookups across
// many block splits must agree with a plain sorted model. Some texts are
// too long to sit inside their entry (15 bytes and more).
TEST(TStringListTest, LongListsAgreeWithAPlainModel) {
  for (bool sorted : {true, false}) {
    SCOPED_TRACE(sorted ? "sorted" : "unsorted");
    TStringList list;
    list.SetSorted(sorted);
    std::vector<std::pair<std::string, TObject*>> model;
    std::vector<TObject> objects(64);
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFF; };
    auto key = [](uint32_t n) {
      std::string s = Format("k%u", n % 5000);
      if (n & 1) s[0] = 'K';                      // same key in the other letter case
      if (n % 3 == 0) s.resize(13 + n % 5, 'x');  // 13 to 17 bytes
      return s;
    };
    for (int step = 0; step < 20000; ++step) {
      uint32_t r = next();
      if (r % 8 == 0 && !model.empty()) {
        int at = static_cast<int>(r / 8 % model.size());
        list.Delete(at);
        model.erase(model.begin() + at);
        continue;
      }
      std::string k = key(r / 8);
      TObject* o = &objects[r % objects.size()];
      if (sorted) {
        auto it = std::lower_bound(model.begin(), model.end(), k, [](const auto& e, const auto& s) {
          return CompareText(e.first, s) < 0;
        });
        int expected = static_cast<int>(it - model.begin());
        bool present = it != model.end() && SameText(it->first, k);
        if (!present) it = model.insert(it, {k, o});
        if (r % 2) {
          ASSERT_EQ(list.AddObject(k, o), expected);
        } else {
          int index = -1;
          ASSERT_EQ(list.Find(k, index), present);
          list.InsertFound(index, k, o);  // a no-op for a present text
          ASSERT_EQ(index, expected);
        }
      } else if (r % 3 == 0) {
        int at = static_cast<int>(r / 3 % (model.size() + 1));
        list.Insert(at, k, o);
        model.insert(model.begin() + at, {k, o});
      } else {
        EXPECT_EQ(list.AddObject(k, o), static_cast<int>(model.size()));
        model.push_back({k, o});
      }
    }
    ASSERT_EQ(list.Count(), static_cast<int>(model.size()));
    ASSERT_GT(list.Count(), 1000);
    for (int i = 0; i < list.Count(); ++i) {
      ASSERT_EQ(list.Strings(i), model[i].first) << i;
      ASSERT_EQ(list.Objects(i), model[i].second) << i;
    }
    // Backwards and scattered index access, and lookups.
    for (int i = list.Count() - 1; i >= 0; i -= 7) ASSERT_EQ(list.Strings(i), model[i].first);
    if (sorted) {
      for (uint32_t n = 0; n < 5000; n += 3) {
        std::string k = key(n);
        auto it = std::lower_bound(model.begin(), model.end(), k, [](const auto& e, const auto& s) {
          return CompareText(e.first, s) < 0;
        });
        int index = -1;
        bool present = it != model.end() && SameText(it->first, k);
        ASSERT_EQ(list.Find(k, index), present) << k;
        ASSERT_EQ(index, it - model.begin()) << k;
        ASSERT_EQ(list.ObjectOf(k), present ? it->second : nullptr) << k;
      }
    }
    if (!sorted) {
      // Sorting afterwards keeps equal texts in their order.
      std::stable_sort(model.begin(), model.end(), [](const auto& x, const auto& y) {
        return CompareText(x.first, y.first) < 0;
      });
      list.SetSorted(true);
      for (int i = 0; i < list.Count(); ++i) {
        ASSERT_EQ(list.Strings(i), model[i].first) << i;
        ASSERT_EQ(list.Objects(i), model[i].second) << i;
      }
    }
    if (list.Count() > 2) {
      EXPECT_THROW(list.InsertFound(0, "zzz"), EListError);  // out of order
    }
    while (list.Count() > 0) list.Delete(list.Count() / 2);
    list.Add("again");
    EXPECT_EQ(list.CommaText(), "again");
  }
}

// A list that nobody changes may be read from several threads at once
// (its const members change nothing): readers in different parts of a long
// list, by index and by lookup, all see it as it is. The thread sanitizer
// stage reports any write a read makes.
TEST(TStringListTest, ThreadsReadAnUnchangedListAtOnce) {
  TStringList list;
  list.SetSorted(true);
  for (int i = 0; i < 5000; ++i) list.Add(Format("n%05d", i));
  const TStringList& shared = list;
  auto reader = [&shared](int first, int* wrong) {
    for (int pass = 0; pass < 3; ++pass) {
      for (int i = first; i < 5000; i += 3) {
        const std::string text = Format("n%05d", i);
        int index = -1;
        if (shared.Strings(i) != text || !shared.Find(text, index) || index != i) ++*wrong;
      }
    }
  };
  int wrong[3] = {0, 0, 0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(reader, t, &wrong[t]);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong[0] + wrong[1] + wrong[2], 0);
}

TEST(TComponentTest, OwnerFreesOwnedComponents) {
  static int freed = 0;
  struct Counted : TComponent {
    using TComponent::TComponent;
    ~Counted() override { ++freed; }
  };
  freed = 0;
  auto* owner = new TComponent(nullptr);
  new Counted(owner);
  auto* second = new Counted(owner);
  EXPECT_EQ(owner->ComponentCount(), 2);
  delete second;  // leaves its owner
  EXPECT_EQ(owner->ComponentCount(), 1);
  delete owner;
  EXPECT_EQ(freed, 2);
}

TEST(TComponentTest, LoadingStateEndsInLoaded) {
  struct Probe : TComponent {
    using TComponent::TComponent;
    int loaded = 0;
    void Loaded() override { ++loaded; }
  } c(nullptr);
  c.BeginLoading();
  EXPECT_TRUE(c.LoadingState());
  c.EndLoading();
  EXPECT_FALSE(c.LoadingState());
  EXPECT_EQ(c.loaded, 1);
  c.SetDesigning(true);
  EXPECT_TRUE(c.Designing());
}

}  // namespace
}  // namespace rtl
