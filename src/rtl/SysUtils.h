// Framework basics shared by every unit: the base object and exception
// classes, printf-style formatting and the text helpers the units rely on.
// Everything here is safe to call from any thread.
#pragma once

#include <cstdarg>
#include <cstdint>
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

// Case-insensitive comparison of single-byte texts, folding ASCII letters.
// Orders by character code otherwise: "." < digits < letters, and a text
// sorts before its own extensions. Result <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b) noexcept;
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
