// An open-addressing hash table of fixed-size slots, for tables of
// millions of small records where a look-up must cost the same whatever
// the size, and a growth must never stall the writer for long.
//
// Linear probing over a power-of-two array, at most four fifths full. A
// slot is a few 32-bit words, so that a probe reads one cache line mostly;
// a slot of all zeros is free. Slot is plain data (arrays come zeroed and
// slots are copied as bytes) and gives Hash(), Same(other) (the same key)
// and Free(); anything else in it is the caller's, and may be changed in
// place through a pointer from Find. Nothing is ever removed,
// and a slot stays where it was placed until the table grows.
//
// Growth is spread out: a doubled array takes the new slots at once, and
// the old array's slots move over a few with every insert that follows
// (kMovesPerInsert; all of them long before the next growth is due).
// Meanwhile a slot not moved yet is found where it was, and a pointer to
// a slot stays good until the next Insert or Move. Each growth counts a
// generation at its start and at its end (odd while slots are moving), so
// that a copy taken in slices can tell that slots moved under it: while
// the generation stays, every slot read through Slots() stays where it
// was, and new ones only fill free slots.
//
// The table owns its arrays; a large one comes in whole pages of its own
// (platform/Memory.h), and an old one is given back a part at a time by
// the inserts after its growth. Not thread-safe: the owner serialises
// every call, and a reader in another thread (a copy in slices) holds the
// owner's lock for each call, as the writer does for each change.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "platform/Memory.h"

namespace watch {

template <class Slot>
class HashSlots {
  static_assert(std::is_trivially_copyable_v<Slot>);

 public:
  HashSlots() = default;
  HashSlots(const HashSlots&) = delete;
  HashSlots& operator=(const HashSlots&) = delete;
  ~HashSlots() {
    Free(slots_, capacity_);
    Free(old_, old_capacity_);
    Release(retired_size_);
  }

  Slot* Find(const Slot& key) const {
    if (!slots_) return nullptr;
    const uint64_t hash = key.Hash();
    if (old_) {
      size_t at = 0;
      Slot* slot = Probe(old_, old_mask_, key, hash & old_mask_, at);
      if (slot && at >= moved_) return slot;
    }
    size_t at = 0;
    return Probe(slots_, mask_, key, hash & mask_, at);
  }
  // Find, with the look-up's first slot already known (Home of the key's
  // hash, in this generation).
  Slot* FindFrom(const Slot& key, size_t home) const {
    size_t at = 0;
    return Probe(slots_, mask_, key, home, at);
  }
  // slot's key must not be there yet.
  Slot* Insert(const Slot& slot) {
    if (!Fits(count_ + 1)) {
      Begin(capacity_ ? capacity_ * 2 : 64);
    } else if (old_) {
      Move(kMovesPerInsert);
    } else if (retired_) {
      Release(platform::kReleaseUnit);
    }
    Slot* placed = Place(slot);
    ++count_;
    return placed;
  }
  // Room for n slots without growing again, and no growth under way.
  void Reserve(size_t n) {
    Settle();
    size_t capacity = capacity_ ? capacity_ : 64;
    while (!Fits(n, capacity)) capacity *= 2;
    if (capacity > capacity_) {
      Begin(capacity);
      Settle();
    }
  }
  // Moves up to n slots of a growth under way.
  void Move(size_t n) {
    const size_t end = std::min(old_capacity_, moved_ + n);
    for (; moved_ < end; ++moved_) {
      if (!old_[moved_].Free()) Place(old_[moved_]);
    }
    if (moved_ == old_capacity_) {
      if (Large(old_capacity_)) {
        // Given back a part at a time by the inserts that follow: unmapping
        // a large block of small pages takes milliseconds.
        Release(retired_size_);
        retired_ = old_;
        retired_size_ = old_capacity_ * sizeof(Slot);
        released_ = 0;
      } else {
        std::free(old_);
      }
      old_ = nullptr;
      old_capacity_ = 0;
      ++generation_;
    }
  }
  void Settle() {
    if (old_) Move(old_capacity_);
    Release(retired_size_);
  }
  bool Moving() const noexcept { return old_ != nullptr; }
  // Where a look-up of a key of this hash begins, and a hint to fetch it.
  size_t Home(uint64_t hash) const noexcept { return hash & mask_; }
  void Prefetch(size_t home) const { __builtin_prefetch(&slots_[home]); }
  // Calls f with every slot in use.
  template <class F>
  void ForEach(F f) const {
    for (size_t i = 0; i < capacity_; ++i) {
      if (!slots_[i].Free()) f(slots_[i]);
    }
    for (size_t i = moved_; i < old_capacity_; ++i) {
      if (!old_[i].Free()) f(old_[i]);
    }
  }
  size_t Count() const noexcept { return count_; }
  size_t Capacity() const noexcept { return capacity_; }
  // The slots, while no growth is under way.
  const Slot* Slots() const noexcept { return slots_; }
  uint64_t Generation() const noexcept { return generation_; }

 private:
  // Old slots moved per insert during a growth. The old array has half the
  // new one's slots and the next growth is due after as many inserts as
  // four tenths of them: 2 would do. More end a growth sooner, and while it
  // lasts a look-up of a new key reads both arrays; 32 slots, moved in
  // order, are a few cache lines read and written.
  static constexpr size_t kMovesPerInsert = 32;
  // Arrays this small move over whole at once.
  static constexpr size_t kSmall = 4096;
  // A table this large comes in whole pages of its own, worth large pages.
  static constexpr size_t kLargeTable = size_t{4} << 20;

  static Slot* Probe(Slot* slots, size_t mask, const Slot& key, size_t i, size_t& at) {
    for (;; i = (i + 1) & mask) {
      Slot& slot = slots[i];
      if (slot.Free()) return nullptr;
      if (slot.Same(key)) {
        at = i;
        return &slot;
      }
    }
  }
  Slot* Place(const Slot& slot) {
    size_t i = slot.Hash() & mask_;
    while (!slots_[i].Free()) i = (i + 1) & mask_;
    slots_[i] = slot;
    return &slots_[i];
  }
  bool Fits(size_t n) const { return Fits(n, capacity_); }
  static bool Fits(size_t n, size_t capacity) { return n * 5 <= capacity * 4; }
  // Takes a new array of capacity slots; the current one's slots move
  // over from now on.
  void Begin(size_t capacity) {
    Settle();
    // A large table comes as zero pages, nothing to clear.
    auto* grown =
        static_cast<Slot*>(Large(capacity) ? platform::AllocatePages(capacity * sizeof(Slot))
                                           : std::calloc(capacity, sizeof(Slot)));
    if (!grown) throw std::bad_alloc();
    old_ = slots_;
    old_capacity_ = capacity_;
    old_mask_ = mask_;
    moved_ = 0;
    slots_ = grown;
    capacity_ = capacity;
    mask_ = capacity - 1;
    ++generation_;
    AdviseLargePages();  // before the first write
    if (!old_) {
      ++generation_;
    } else if (old_capacity_ <= kSmall) {
      Settle();
    }
  }

  // Read at random: large pages save the address cache a miss a look-up,
  // which halves the cost of a sighting in a large table. The price: the
  // first touch of each large page clears it whole (a fraction of a
  // millisecond; on a virtual machine whose host has not backed that
  // memory yet, several), and the first sightings after a growth touch a
  // few such pages each.
  void AdviseLargePages() {
    if (Large(capacity_)) platform::AdviseLargePages(slots_, capacity_ * sizeof(Slot));
  }
  static bool Large(size_t capacity) { return capacity * sizeof(Slot) >= kLargeTable; }
  static void Free(Slot* slots, size_t capacity) {
    if (!slots) return;
    if (Large(capacity)) {
      platform::ReleasePages(slots, capacity * sizeof(Slot), 0, capacity * sizeof(Slot));
    } else {
      std::free(slots);
    }
  }
  // Gives back up to n bytes more of the retired array.
  void Release(size_t n) {
    if (!retired_) return;
    const size_t to = std::min(retired_size_, released_ + n);
    platform::ReleasePages(retired_, retired_size_, released_, to);
    released_ = to;
    if (released_ == retired_size_) retired_ = nullptr;
  }

  Slot* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t mask_ = 0;
  size_t count_ = 0;
  // The array before the last growth while its slots move: those from
  // moved_ on are still there only.
  Slot* old_ = nullptr;
  size_t old_capacity_ = 0;
  size_t old_mask_ = 0;
  size_t moved_ = 0;
  // An array whose slots have all moved, given back a part at a time: the
  // bytes before released_ are gone.
  Slot* retired_ = nullptr;
  size_t retired_size_ = 0;
  size_t released_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace watch
