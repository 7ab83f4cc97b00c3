#include "rtl/Classes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace rtl {

namespace {

constexpr uint32_t kBlockMax = 256;

// Entries an array of n holds: powers of two up to 8, then multiples of 8.
// The capacity is never stored: it follows from the count (an array may be
// larger than its count implies, never smaller).
constexpr uint32_t CapacityFor(uint32_t n) {
  if (n <= 8) return std::bit_ceil(n);
  return (n + 7) & ~7u;
}

// Unsigned byte order of n bytes, eight at a time where they agree.
inline int CompareBytes(const char* a, const char* b, size_t n) noexcept {
  static_assert(std::endian::native == std::endian::little);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
  }
  for (; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

}  // namespace

// The long form: blocks of 1..kBlockMax entries in order, and a Fenwick
// tree over their counts for index lookups. The cursor remembers the block
// the list's last change (or non-const lookup) was in, so that changes in
// index order walk the blocks instead of searching the tree. Const lookups
// read the cursor as a hint and never move it: a list that nobody changes
// may be read by any number of threads at once.
//
// Each block keeps the first bytes (folded to upper case) of its last text and of every 32nd text,
// so that a search reads this array and one short run of entries, not texts scattered over the
// heap.
struct TStringList::Blocks {
  static constexpr size_t kKeyMax = 19;
  static constexpr uint32_t kRun = 32;
  static constexpr uint32_t kFences = kBlockMax / kRun - 1;
  struct Key {
    uint8_t length;  // of the text, capped at 255
    char bytes[kKeyMax];
  };
  struct Block {
    Entry* data;
    uint32_t count;
    Key last;
    Key* fence;  // kFences keys: the texts at kRun, 2 * kRun, ... below count
  };
  std::vector<Block> list;
  std::vector<uint32_t> tree;  // 1-based
  size_t cursor_block = 0;
  uint32_t cursor_start = 0;

  void SetKey(Key& key, std::string_view text) const {
    key.length = static_cast<uint8_t>(std::min<size_t>(text.size(), 255));
    const size_t n = std::min(text.size(), kKeyMax);
    for (size_t i = 0; i < n; ++i) key.bytes[i] = FoldCase(text[i]);
  }
  // Brings block b's keys up to date after a change to its entries from
  // position `from` on.
  void Refresh(size_t b, uint32_t from = 0) {
    Block& block = list[b];
    SetKey(block.last, block.data[block.count - 1].text.View());
    for (uint32_t j = from == 0 ? 0 : (from - 1) / kRun, at = (j + 1) * kRun; at < block.count;
         ++j, at += kRun) {
      SetKey(block.fence[j], block.data[at].text.View());
    }
  }
  // Compares the text cached in key with s, whose first bytes are skey
  // (folded as the keys are); full decides when the cached bytes cannot.
  template <class Full>
  static int CompareKey(const Key& key, std::string_view s, const char* skey, const Text& text,
                        Full full) {
    const size_t kl = key.length, sl = s.size();
    const size_t n = std::min({kl, sl, kKeyMax});
    int c = CompareBytes(key.bytes, skey, n);
    if (c != 0) return c;
    if (kl <= kKeyMax && sl <= kKeyMax) return kl < sl ? -1 : (kl > sl ? 1 : 0);
    if (kl == n && kl < kKeyMax) return -1;  // the cached text is a prefix of s
    if (sl == n && sl < kKeyMax) return 1;   // s is a prefix of it
    return full(text.View(), s);
  }

  void Rebuild() {
    tree.assign(list.size() + 1, 0);
    for (size_t i = 1; i <= list.size(); ++i) {
      tree[i] += list[i - 1].count;
      size_t parent = i + (i & (~i + 1));
      if (parent <= list.size()) tree[parent] += tree[i];
    }
    cursor_block = 0;
    cursor_start = 0;
  }
  // Extends the tree by the block just added at the end of list.
  void Appended() {
    const size_t i = list.size();
    const size_t low = i & (~i + 1);
    tree.push_back(list.back().count + Start(i - 1) - Start(i - low));
  }
  void Add(size_t block, int delta) {
    for (size_t i = block + 1; i < tree.size(); i += i & (~i + 1)) {
      tree[i] = static_cast<uint32_t>(static_cast<int64_t>(tree[i]) + delta);
    }
    if (cursor_block > block) cursor_start = static_cast<uint32_t>(cursor_start + delta);
  }
  // Entries before block.
  uint32_t Start(size_t block) const {
    uint32_t sum = 0;
    for (size_t i = block; i > 0; i -= i & (~i + 1)) sum += tree[i];
    return sum;
  }
  // The block holding index (< total count) and the index of its first
  // entry. Changes nothing.
  size_t Locate(uint32_t index, uint32_t& start) const {
    if (cursor_block < list.size() && index >= cursor_start) {
      if (index < cursor_start + list[cursor_block].count) {
        start = cursor_start;
        return cursor_block;
      }
      if (cursor_block + 1 < list.size()) {
        uint32_t next = cursor_start + list[cursor_block].count;
        if (index >= next && index < next + list[cursor_block + 1].count) {
          start = next;
          return cursor_block + 1;
        }
      }
    }
    size_t pos = 0;
    uint32_t rest = index;
    size_t step = std::bit_floor(list.size());
    for (; step > 0; step >>= 1) {
      if (pos + step < tree.size() && tree[pos + step] <= rest) {
        pos += step;
        rest -= tree[pos];
      }
    }
    start = index - rest;
    return pos;
  }
  // Locate, and the cursor moves to the block found.
  size_t Seek(uint32_t index, uint32_t& start) {
    cursor_block = Locate(index, start);
    cursor_start = start;
    return cursor_block;
  }
};

namespace {

// Entries are plain bytes (their texts are freed by the list itself), so
// arrays of them are moved with memcpy and memmove.

// Inserts e at pos of an array of count entries, growing it when its
// capacity is reached. The array is unchanged when the allocation fails.
template <class E>
void ArrayInsert(E*& data, uint32_t& count, uint32_t pos, const E& e) {
  static_assert(std::is_trivially_copyable_v<E>);
  if (count + 1 > CapacityFor(count) || data == nullptr) {
    E* grown = static_cast<E*>(::operator new(CapacityFor(count + 1) * sizeof(E)));
    if (pos > 0) std::memcpy(grown, data, pos * sizeof(E));
    grown[pos] = e;
    if (count > pos) std::memcpy(grown + pos + 1, data + pos, (count - pos) * sizeof(E));
    ::operator delete(data);
    data = grown;
  } else {
    if (count > pos) std::memmove(data + pos + 1, data + pos, (count - pos) * sizeof(E));
    data[pos] = e;
  }
  ++count;
}

// Removes the entry at pos; its text is the caller's to free.
template <class E>
void ArrayErase(E* data, uint32_t& count, uint32_t pos) {
  if (pos + 1 < count) std::memmove(data + pos, data + pos + 1, (count - pos - 1) * sizeof(E));
  --count;
}

// A new array holding a copy of the entries [from, to) of data.
template <class E>
E* ArrayTake(const E* data, uint32_t from, uint32_t to) {
  E* out = static_cast<E*>(::operator new(CapacityFor(to - from) * sizeof(E)));
  std::memcpy(out, data + from, (to - from) * sizeof(E));
  return out;
}

}  // namespace

TStringList::Text TStringList::Text::Make(std::string_view s) {
  Text t;
  if (s.size() < sizeof t.bytes) {
    std::memcpy(t.bytes, s.data(), s.size());
    t.bytes[sizeof t.bytes - 1] = static_cast<char>(s.size());
    return t;
  }
  if (s.size() > std::numeric_limits<uint32_t>::max()) throw std::length_error("text too long");
  static_assert(sizeof(char*) + sizeof(uint32_t) < sizeof t.bytes);
  char* p = new char[s.size()];
  std::memcpy(p, s.data(), s.size());
  const auto n = static_cast<uint32_t>(s.size());
  std::memcpy(t.bytes, &p, sizeof p);
  std::memcpy(t.bytes + 8, &n, sizeof n);
  t.bytes[sizeof t.bytes - 1] = static_cast<char>(kHeap);
  return t;
}

void TStringList::Text::Free() noexcept {
  if (static_cast<uint8_t>(bytes[sizeof bytes - 1]) != kHeap) return;
  char* p;
  std::memcpy(&p, bytes, sizeof p);
  delete[] p;
}

inline std::string_view TStringList::Text::View() const noexcept {
  const auto tag = static_cast<uint8_t>(bytes[sizeof bytes - 1]);
  if (tag != kHeap) return std::string_view(bytes, tag);
  const char* p;
  uint32_t n;
  std::memcpy(&p, bytes, sizeof p);
  std::memcpy(&n, bytes + 8, sizeof n);
  return std::string_view(p, n);
}

TStringList::TStringList() : small_(nullptr) {}  // no entry yet: one_ is not alive

TStringList::~TStringList() { Release(true); }

int TStringList::Count() const noexcept { return static_cast<int>(count_); }

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
}

const TStringList::Entry& TStringList::At(int index) const {
  if (form_ != Form::kBlocks) return SmallData()[index];
  uint32_t start;
  const size_t b = blocks_->Locate(static_cast<uint32_t>(index), start);
  return blocks_->list[b].data[static_cast<uint32_t>(index) - start];
}

TStringList::Entry& TStringList::At(int index) {
  if (form_ != Form::kBlocks) return SmallData()[index];
  uint32_t start;
  const size_t b = blocks_->Seek(static_cast<uint32_t>(index), start);
  return blocks_->list[b].data[static_cast<uint32_t>(index) - start];
}

std::string TStringList::Strings(int index) const {
  CheckIndex(index);
  return std::string(At(index).text.View());
}

TObject* TStringList::Objects(int index) const {
  CheckIndex(index);
  return At(index).object;
}

void TStringList::SetObject(int index, TObject* object) {
  CheckIndex(index);
  At(index).object = object;
}

int TStringList::Compare(std::string_view a, std::string_view b) const noexcept {
  return CompareText(a, b);
}

void TStringList::Resort() {
  std::vector<Entry> all;
  all.reserve(count_);
  for (int i = 0; i < Count(); ++i) all.push_back(At(i));
  Release(false);
  std::stable_sort(all.begin(), all.end(), [this](const Entry& x, const Entry& y) {
    return Compare(x.text.View(), y.text.View()) < 0;
  });
  size_t done = 0;
  try {
    for (; done < all.size(); ++done) InsertEntry(Count(), all[done]);
  } catch (...) {
    for (; done < all.size(); ++done) all[done].text.Free();
    throw;
  }
}

void TStringList::SetSorted(bool value) {
  if (value == sorted_) return;
  if (value) Resort();
  sorted_ = value;
}

int TStringList::LowerBound(std::string_view s) const {
  auto cmp = [](std::string_view a, std::string_view b) { return CompareText(a, b); };
  if (form_ != Form::kBlocks) {
    const Entry* data = SmallData();
    uint32_t lo = 0, hi = count_;
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2;
      if (cmp(data[mid].text.View(), s) < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    return static_cast<int>(lo);
  }
  // The first block whose last entry is not below s, then within it.
  char key[Blocks::kKeyMax];
  const size_t kn = std::min(s.size(), Blocks::kKeyMax);
  for (size_t i = 0; i < kn; ++i) key[i] = FoldCase(s[i]);
  auto full = cmp;
  const auto& list = blocks_->list;
  // Past the last entry, as when a sorted file is read in: no search.
  {
    const auto& b = list.back();
    if (Blocks::CompareKey(b.last, s, key, b.data[b.count - 1].text, full) < 0) return Count();
  }
  size_t lo = 0, hi = list.size() - 1;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    const auto& b = list[mid];
    if (Blocks::CompareKey(b.last, s, key, b.data[b.count - 1].text, full) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  // The run between the fences around s, then within it.
  const auto& b = list[lo];
  uint32_t run = 0;
  while (run < Blocks::kFences && (run + 1) * Blocks::kRun < b.count &&
         Blocks::CompareKey(b.fence[run], s, key, b.data[(run + 1) * Blocks::kRun].text, full) <
             0) {
    ++run;
  }
  uint32_t l = run * Blocks::kRun, h = std::min(b.count, l + Blocks::kRun);
  // Fetch the whole run at once rather than one miss per halving.
  for (const char* p = reinterpret_cast<const char*>(b.data + l);
       p < reinterpret_cast<const char*>(b.data + h); p += 64) {
    __builtin_prefetch(p);
  }
  while (l < h) {
    uint32_t mid = l + (h - l) / 2;
    if (cmp(b.data[mid].text.View(), s) < 0)
      l = mid + 1;
    else
      h = mid;
  }
  return static_cast<int>(blocks_->Start(lo) + l);
}

bool TStringList::Find(std::string_view s, int& index) const {
  index = LowerBound(s);
  return index < Count() && Compare(At(index).text.View(), s) == 0;
}

int TStringList::IndexOf(std::string_view s) const {
  if (sorted_) {
    int index;
    return Find(s, index) ? index : -1;
  }
  for (int i = 0; i < Count(); ++i) {
    if (Compare(At(i).text.View(), s) == 0) return i;
  }
  return -1;
}

TObject* TStringList::ObjectOf(std::string_view s, bool* found) const {
  int index = IndexOf(s);
  if (found) *found = index >= 0;
  return index >= 0 ? At(index).object : nullptr;
}

void TStringList::InsertEntry(int index, const Entry& entry) {
  const uint32_t at = static_cast<uint32_t>(index);
  if (form_ == Form::kOne) {
    if (count_ == 0) {
      one_ = entry;
      count_ = 1;
      return;
    }
    Entry* data = static_cast<Entry*>(::operator new(CapacityFor(2) * sizeof(Entry)));
    data[at == 0 ? 1 : 0] = one_;
    data[at == 0 ? 0 : 1] = entry;
    small_ = data;
    form_ = Form::kArray;
    count_ = 2;
    return;
  }
  if (form_ == Form::kArray) {
    if (count_ < kBlockMax) {
      ArrayInsert(small_, count_, at, entry);
      return;
    }
    // Turns into the block form, with the array as its only block.
    auto blocks = std::make_unique<Blocks>();
    auto fence = std::make_unique<Blocks::Key[]>(Blocks::kFences);
    blocks->list.push_back({small_, count_, {}, fence.get()});
    fence.release();
    blocks->Refresh(0);
    blocks->Rebuild();
    blocks_ = blocks.release();
    form_ = Form::kBlocks;
  }
  auto& list = blocks_->list;
  uint32_t start;
  size_t b = at == count_ ? list.size() - 1 : blocks_->Seek(at, start);
  start = blocks_->Start(b);
  uint32_t pos = at - start;
  // A full block adds one: reserve first, so that nothing throws half way.
  if (list[b].count >= kBlockMax) {
    list.reserve(list.size() + 1);
    blocks_->tree.reserve(list.size() + 2);
  }
  Blocks::Block& block = list[b];
  if (block.count < kBlockMax) {
    ArrayInsert(block.data, block.count, pos, entry);
    blocks_->Refresh(b, pos);
    blocks_->Add(b, 1);
  } else if (pos == block.count && b + 1 == list.size()) {
    // Appending: leave the full block as it is, as a sorted load does.
    auto fence = std::make_unique<Blocks::Key[]>(Blocks::kFences);
    Blocks::Block fresh{nullptr, 0, {}, fence.get()};
    ArrayInsert(fresh.data, fresh.count, 0, entry);
    list.push_back(fresh);  // reserved
    fence.release();
    blocks_->Refresh(list.size() - 1);
    blocks_->Appended();
  } else if (pos == 0 && b == 0) {
    auto fence = std::make_unique<Blocks::Key[]>(Blocks::kFences);
    Blocks::Block fresh{nullptr, 0, {}, fence.get()};
    ArrayInsert(fresh.data, fresh.count, 0, entry);
    list.insert(list.begin(), fresh);  // reserved
    fence.release();
    blocks_->Refresh(0);
    blocks_->Rebuild();
  } else {
    // Splits the full block in two halves, each in an array of its size.
    const uint32_t half = block.count / 2;
    auto fence = std::make_unique<Blocks::Key[]>(Blocks::kFences);
    Blocks::Block left{ArrayTake(block.data, 0, half), half, {}, block.fence};
    Blocks::Block right{nullptr, block.count - half, {}, fence.get()};
    try {
      right.data = ArrayTake(block.data, half, block.count);
    } catch (...) {
      ::operator delete(left.data);
      throw;
    }
    ::operator delete(block.data);
    list[b] = left;
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(b) + 1, right);  // reserved
    fence.release();
    blocks_->Rebuild();
    const size_t t = pos <= half ? b : b + 1;
    ArrayInsert(list[t].data, list[t].count, pos <= half ? pos : pos - half, entry);
    blocks_->Refresh(b);
    blocks_->Refresh(b + 1);
    blocks_->Add(t, 1);
  }
  ++count_;
}

void TStringList::InsertNew(int index, std::string_view s, TObject* object) {
  Entry entry{Text::Make(s), object};
  try {
    InsertEntry(index, entry);
  } catch (...) {
    entry.text.Free();
    throw;
  }
}

int TStringList::Add(std::string_view s) { return AddObject(s, nullptr); }

int TStringList::AddObject(std::string_view s, TObject* object) {
  if (!sorted_) {
    InsertNew(Count(), s, object);
    return Count() - 1;
  }
  int index = LowerBound(s);
  if (index < Count() && Compare(At(index).text.View(), s) == 0) {
    switch (Duplicates) {
      case TDuplicates::dupIgnore:
        return index;
      case TDuplicates::dupError:
        throw EListError("String list does not allow duplicates");
      case TDuplicates::dupAccept:
        break;
    }
  }
  InsertNew(index, s, object);
  return index;
}

void TStringList::InsertFound(int index, std::string_view s, TObject* object) {
  if (!sorted_) throw EListError("Operation allowed on sorted string lists only");
  if (index < 0 || index > Count())
    throw EListError(Format("List index out of bounds (%d)", index));
  if (index > 0 && Compare(At(index - 1).text.View(), s) > 0) {
    throw EListError("String list order broken by insert");
  }
  if (index < Count()) {
    int c = Compare(At(index).text.View(), s);
    if (c < 0) throw EListError("String list order broken by insert");
    if (c == 0 && Duplicates == TDuplicates::dupIgnore) return;
    if (c == 0 && Duplicates == TDuplicates::dupError) {
      throw EListError("String list does not allow duplicates");
    }
  }
  InsertNew(index, s, object);
}

void TStringList::Insert(int index, std::string_view s, TObject* object) {
  if (sorted_) throw EListError("Operation not allowed on sorted string list");
  if (index < 0 || index > Count())
    throw EListError(Format("List index out of bounds (%d)", index));
  InsertNew(index, s, object);
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  const uint32_t at = static_cast<uint32_t>(index);
  At(index).text.Free();
  if (form_ != Form::kBlocks) {
    ArrayErase(SmallData(), count_, at);
    if (count_ == 0) Clear();
    return;
  }
  uint32_t start;
  size_t b = blocks_->Seek(at, start);
  auto& list = blocks_->list;
  ArrayErase(list[b].data, list[b].count, at - start);
  --count_;
  if (list[b].count == 0) {
    ::operator delete(list[b].data);
    delete[] list[b].fence;
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(b));
    blocks_->Rebuild();
  } else {
    blocks_->Refresh(b, at - start);
    blocks_->Add(b, -1);
  }
  if (count_ == 0) Clear();
}

void TStringList::Clear() { Release(true); }

void TStringList::Release(bool free_texts) noexcept {
  switch (form_) {
    case Form::kBlocks:
      for (auto& b : blocks_->list) {
        if (free_texts) {
          for (uint32_t i = 0; i < b.count; ++i) b.data[i].text.Free();
        }
        ::operator delete(b.data);
        delete[] b.fence;
      }
      delete blocks_;
      break;
    case Form::kArray:
      if (free_texts) {
        for (uint32_t i = 0; i < count_; ++i) small_[i].text.Free();
      }
      ::operator delete(small_);
      break;
    case Form::kOne:
      if (count_ == 1 && free_texts) one_.text.Free();
      break;
  }
  small_ = nullptr;
  form_ = Form::kOne;
  count_ = 0;
}

void TStringList::SetCommaText(std::string_view text) {
  Clear();
  // A NUL ends the text, as it ends a C string.
  text = text.substr(0, text.find('\0'));
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  size_t p = 0;
  const size_t n = text.size();
  while (p < n && blank(text[p])) ++p;
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
    } else {
      size_t start = p;
      while (p < n && !blank(text[p]) && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    Add(item);
    while (p < n && blank(text[p])) ++p;
    if (p < n && text[p] == ',') {
      do {
        ++p;
      } while (p < n && blank(text[p]));
    }
  }
}

std::string TStringList::CommaText() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    if (i) out += ',';
    const std::string_view s = At(i).text.View();
    bool quote = s.empty() || std::any_of(s.begin(), s.end(), [](char c) {
                   return static_cast<unsigned char>(c) <= 32 || c == ',' || c == '"';
                 });
    if (!quote) {
      out += s;
      continue;
    }
    out += '"';
    for (char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  while (!components_.empty()) {
    TComponent* last = components_.back();
    delete last;  // leaves our list through its destructor
  }
  if (owner_) {
    auto& list = owner_->components_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
  return components_[static_cast<size_t>(index)];
}

void TComponent::SetDesigning(bool value) {
  if (value)
    state_ |= csDesigning;
  else
    state_ &= ~static_cast<unsigned>(csDesigning);
}

void TComponent::BeginLoading() { state_ |= csLoading; }

void TComponent::EndLoading() {
  state_ &= ~static_cast<unsigned>(csLoading);
  Loaded();
}

}  // namespace rtl
