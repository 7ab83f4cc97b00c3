// Framework container and component classes: TStringList (sorted or not,
// one object per entry, case-insensitive binary-search lookup, comma text)
// and TComponent (owner and owned components, designing and loading states).
// Neither takes a lock: one thread at a time changes an instance. Const
// members change nothing, so an instance that nobody changes may be read by
// any number of threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/SysUtils.h"

namespace rtl {

enum class TDuplicates : uint8_t { dupIgnore, dupAccept, dupError };

// A list of texts, each with an object pointer that the list does not own.
// Sorted lists keep ascending CompareText order and add by binary search;
// on a duplicate add the existing entry (and its object) is kept.
//
// Storage: a single entry sits in the list object itself, up to a block's
// worth of entries in one array; a longer list
// is a sequence of blocks of at most 256 entries with a count tree over
// them, so that an insert moves at most one block and an index is found in
// logarithmic time. Changing entries in index order is constant time per
// entry (a cursor follows the changes), and so is reading them near the
// last change. An empty list takes no heap memory. A text of up to 15 bytes is
// kept inside its entry, so short texts take no heap block of their own.
class TStringList : public TObject {
 public:
  TStringList();
  ~TStringList() override;
  TStringList(const TStringList&) = delete;
  TStringList& operator=(const TStringList&) = delete;

  int Count() const noexcept;
  std::string Strings(int index) const;  // a copy of the entry's text
  TObject* Objects(int index) const;
  void SetObject(int index, TObject* object);

  bool Sorted() const noexcept { return sorted_; }
  // Switching sorting on sorts the entries.
  void SetSorted(bool value);

  // Returns the index of the entry added, or of the entry kept on a
  // duplicate add (dupIgnore). dupError throws EListError.
  int Add(std::string_view s);
  int AddObject(std::string_view s, TObject* object);
  void Insert(int index, std::string_view s, TObject* object = nullptr);  // unsorted lists only
  // Sorted lists: inserts s at index, the position Find has just given for
  // it, without searching again. Throws EListError when s does not belong
  // there; a duplicate is handled as Duplicates says.
  void InsertFound(int index, std::string_view s, TObject* object = nullptr);
  void Delete(int index);
  void Clear();

  // Binary search (sorted lists): true when found; index is the entry's
  // position, or where it would be inserted.
  bool Find(std::string_view s, int& index) const;
  // Position of the first entry equal to s, or -1 (sorted: binary search).
  int IndexOf(std::string_view s) const;
  // The object stored under s, or null when s is absent. Same as
  // Objects(IndexOf(s)) without the index arithmetic.
  TObject* ObjectOf(std::string_view s, bool* found = nullptr) const;

  // Replaces the content: items end at a comma or at any character of code
  // 32 or less; an item that begins with a double quote runs to its closing
  // double quote ("" inside stands for one quote).
  void SetCommaText(std::string_view text);
  std::string CommaText() const;

 private:
  // Plain bytes, so that entries move with memmove: up to 15 bytes in
  // place, with the length in the last byte; a longer text on the heap,
  // owned by the list, with kHeap in the last byte.
  struct Text {
    static constexpr uint8_t kHeap = 0x80;
    alignas(8) char bytes[16];
    static Text Make(std::string_view s);
    void Free() noexcept;
    std::string_view View() const noexcept;
  };
  struct Entry {
    Text text;
    TObject* object;
  };
  struct Blocks;
  int Compare(std::string_view a, std::string_view b) const noexcept;
  void CheckIndex(int index) const;
  const Entry& At(int index) const;
  // The same, and the cursor moves to the entry's block.
  Entry& At(int index);
  // Lower bound of s: the first entry not below it.
  int LowerBound(std::string_view s) const;
  // Takes over entry's text, unless it throws.
  void InsertEntry(int index, const Entry& entry);
  // Inserts a new entry holding a copy of s.
  void InsertNew(int index, std::string_view s, TObject* object);
  // Frees the storage, and with free_texts the texts as well.
  void Release(bool free_texts) noexcept;
  void Resort();

  enum class Form : uint8_t { kOne, kArray, kBlocks };
  Entry* SmallData() const noexcept {
    return form_ == Form::kOne ? const_cast<Entry*>(&one_) : small_;
  }

  // No entry or one (one_), an array (small_) while the list fits a
  // block, else blocks_.
  union {
    Entry one_;
    Entry* small_;
    Blocks* blocks_;
  };
  uint32_t count_ = 0;
  Form form_ = Form::kOne;
  bool sorted_ = false;

 public:
  TDuplicates Duplicates = TDuplicates::dupIgnore;
};

enum TComponentStateFlag : unsigned {
  csLoading = 1u << 0,
  csDesigning = 1u << 1,
};

// A component with an optional owner. The owner frees its owned components
// in its destructor (last created first); a component freed on its own
// leaves its owner's list.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return owner_; }
  int ComponentCount() const noexcept { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;

  const std::string& Name() const noexcept { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  unsigned ComponentState() const noexcept { return state_; }
  bool Designing() const noexcept { return (state_ & csDesigning) != 0; }
  bool LoadingState() const noexcept { return (state_ & csLoading) != 0; }
  void SetDesigning(bool value);
  // Loading: properties are being streamed in; EndLoading clears the state
  // and calls Loaded().
  void BeginLoading();
  void EndLoading();

 protected:
  virtual void Loaded() {}

 private:
  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  std::string name_;
  unsigned state_ = 0;
};

}  // namespace rtl
