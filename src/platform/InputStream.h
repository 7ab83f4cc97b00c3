// Byte input read in order, once: a file opened by name or the process's
// standard input, always in binary. The capture file reader streams through
// it. Failures throw rtl::EInOutError whose message names the call that
// failed and the input. One thread at a time per stream.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "rtl/SysUtils.h"

namespace platform {

class InputStream {
 public:
  virtual ~InputStream() = default;
  // Reads up to count bytes into buffer; returns how many were read, 0 only
  // at the end of the input. A read cut short by a signal is retried.
  virtual size_t Read(void* buffer, size_t count) = 0;
  // The input's name for messages: the path, or "-" for standard input.
  virtual const std::string& Name() const = 0;
};

// Opens a file for reading.
std::unique_ptr<InputStream> OpenInputFile(const std::string& path);

// The process's standard input, in binary. The stream does not close it.
std::unique_ptr<InputStream> OpenStandardInput();

}  // namespace platform
