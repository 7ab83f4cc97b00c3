// Framework basics shared by every unit: the base object and exception
// classes, printf-style formatting and the text helpers the units rely on.
// Everything here is safe to call from any thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

namespace rtl {

// Base of every framework object that is owned and freed through a base
// pointer (list objects, components, records).
class TObject {
 public:
  virtual ~TObject() = default;
};

// Base exception: a human-readable message text. Subclasses name
// themselves through ClassName(), which error reports show.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// Declares an exception class with its own ClassName().
#define RTL_DECLARE_EXCEPTION(Name, Base)                             \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

RTL_DECLARE_EXCEPTION(EConvertError, Exception);
RTL_DECLARE_EXCEPTION(EListError, Exception);
RTL_DECLARE_EXCEPTION(EStreamError, Exception);
RTL_DECLARE_EXCEPTION(EReadError, EStreamError);
RTL_DECLARE_EXCEPTION(EInOutError, Exception);
RTL_DECLARE_EXCEPTION(EThread, Exception);
RTL_DECLARE_EXCEPTION(EOSError, Exception);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// The one case folding of the program's texts: the ASCII letters a to z
// become A to Z, every other byte stays as it is.
constexpr char FoldCase(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

// Case-insensitive comparison of single-byte texts, by FoldCase, then by
// unsigned byte code: "." < digits < letters < "_", bytes from 0x80 after
// all of them, and a text sorts before its own extensions. Result <0, 0 or
// >0. This is the order of every sorted TStringList and of the table file;
// it lives here alone. Inline, as the sorted lists call it for every step
// of a search: equal leading bytes are passed eight at a time.
inline int CompareText(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
  }
  for (; i < n; ++i) {
    if (a[i] == b[i]) continue;
    const auto x = static_cast<unsigned char>(FoldCase(a[i]));
    const auto y = static_cast<unsigned char>(FoldCase(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}
bool SameText(std::string_view a, std::string_view b) noexcept;
std::string UpperCase(std::string_view s);

// s without its leading and trailing characters of code 32 or below: as a
// view into s, and as a string of its own.
std::string_view TrimView(std::string_view s) noexcept;
std::string Trim(std::string_view s);

// The value of a hexadecimal digit in either letter case, or -1.
int HexDigit(char c) noexcept;

// The message of an exception of any kind: the framework's message, what()
// of a standard exception, or "Unknown exception".
std::string ExceptionMessage(std::exception_ptr error);

// Strict decimal conversion: optional sign, then digits only (leading zeros
// accepted). Throws EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(std::string_view s);
// Returns false instead of throwing.
bool TryStrToInt(std::string_view s, int32_t& value) noexcept;

std::string IntToStr(int64_t value);

}  // namespace rtl
