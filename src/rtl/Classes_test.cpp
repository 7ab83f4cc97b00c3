#include "rtl/Classes.h"

#include <gtest/gtest.h>

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
