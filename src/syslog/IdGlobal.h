// Small text helpers shared by the syslog client's units. Pure functions,
// any thread.
#pragma once

#include <string>
#include <string_view>

namespace syslog {

// Takes the text before the first delimiter out of rest, together with the
// delimiter; with no delimiter left, takes all of rest and leaves it empty.
std::string TakeToken(std::string& rest, char delimiter);

// The leading run of ASCII letters and digits of s.
std::string KeepLeadingAlphanumerics(std::string_view s);

// The framework's answer when an object is asked to copy from a source it
// does not know: raises rtl::EConvertError.
[[noreturn]] void RaiseCannotCopy(const char* target_class);

}  // namespace syslog
