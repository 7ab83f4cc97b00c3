#include "rtl/Classes.h"

#include <algorithm>

namespace rtl {

TStringList::TStringList() = default;
TStringList::~TStringList() = default;

int TStringList::Count() const noexcept { return static_cast<int>(items_.size()); }

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].text;
}

TObject* TStringList::Objects(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].object;
}

void TStringList::SetObject(int index, TObject* object) {
  CheckIndex(index);
  items_[static_cast<size_t>(index)].object = object;
}

int TStringList::Compare(std::string_view a, std::string_view b) const noexcept {
  if (case_sensitive_) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  return CompareText(a, b);
}

void TStringList::SetSorted(bool value) {
  if (value == sorted_) return;
  if (value) {
    std::stable_sort(items_.begin(), items_.end(), [this](const Entry& x, const Entry& y) {
      return Compare(x.text, y.text) < 0;
    });
  }
  sorted_ = value;
}

void TStringList::SetCaseSensitive(bool value) {
  if (value == case_sensitive_) return;
  case_sensitive_ = value;
  if (sorted_) {
    sorted_ = false;
    SetSorted(true);
  }
}

bool TStringList::Find(std::string_view s, int& index) const {
  size_t lo = 0, hi = items_.size();
  bool found = false;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = Compare(items_[mid].text, s);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
      if (c == 0) found = true;
    }
  }
  index = static_cast<int>(lo);
  return found;
}

int TStringList::IndexOf(std::string_view s) const {
  if (sorted_) {
    int index;
    return Find(s, index) ? index : -1;
  }
  for (size_t i = 0; i < items_.size(); ++i) {
    if (Compare(items_[i].text, s) == 0) return static_cast<int>(i);
  }
  return -1;
}

TObject* TStringList::ObjectOf(std::string_view s, bool* found) const {
  int index = IndexOf(s);
  if (found) *found = index >= 0;
  return index >= 0 ? items_[static_cast<size_t>(index)].object : nullptr;
}

int TStringList::Add(std::string_view s) { return AddObject(s, nullptr); }

int TStringList::AddObject(std::string_view s, TObject* object) {
  if (!sorted_) {
    items_.push_back(Entry{std::string(s), object});
    return Count() - 1;
  }
  int index;
  if (Find(s, index)) {
    switch (Duplicates) {
      case TDuplicates::dupIgnore:
        return index;
      case TDuplicates::dupError:
        throw EListError("String list does not allow duplicates");
      case TDuplicates::dupAccept:
        break;
    }
  }
  items_.insert(items_.begin() + index, Entry{std::string(s), object});
  return index;
}

void TStringList::Insert(int index, std::string_view s, TObject* object) {
  if (sorted_) throw EListError("Operation not allowed on sorted string list");
  if (index < 0 || index > Count()) throw EListError(Format("List index out of bounds (%d)", index));
  items_.insert(items_.begin() + index, Entry{std::string(s), object});
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  items_.erase(items_.begin() + index);
}

void TStringList::Clear() { items_.clear(); }

void TStringList::SetCapacity(int capacity) {
  if (capacity > 0) items_.reserve(static_cast<size_t>(capacity));
}

int TStringList::Capacity() const noexcept { return static_cast<int>(items_.capacity()); }

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
  for (size_t i = 0; i < items_.size(); ++i) {
    if (i) out += ',';
    const std::string& s = items_[i].text;
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
  state_ |= csDestroying;
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
