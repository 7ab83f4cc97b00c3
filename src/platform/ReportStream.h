// Report stream facility: a connection to a syslog server that takes the
// reports as one stream of bytes, over TCP or over TLS on TCP.
//
// OpenReportStream connects to a dotted-quad address (the caller has
// resolved the host) and, for TLS, completes the handshake and verifies the
// server: its certificate must chain to the CA file given (or, without one,
// to the system's trust store) and carry the expected name or IP address.
// Nothing is written to a server that fails verification.
//
// Windows: Windows Sockets, TLS through Schannel. Linux: BSD sockets, TLS
// through OpenSSL.
//
// Every wait (connect, handshake, a write the peer's window holds back)
// looks at an abandon flag at least every quarter second and raises
// EConnectionError once it is set, so that a stop never waits on the
// network for long. A stream is used by one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "rtl/SysUtils.h"

namespace platform {

// A connection could not be made, or failed; the message names the call
// that failed and the system's reason.
class EConnectionError : public rtl::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EConnectionError"; }
};
// The server's certificate was not accepted: the message says why (expired,
// unknown CA, name mismatch).
RTL_DECLARE_EXCEPTION(EVerificationError, EConnectionError);

// One wait of a stream operation, for the socket code of each system: the
// abandon flag is looked at again at least every quarter second. Raises
// when abandon is set or, when timed, the deadline has passed; otherwise
// returns how many milliseconds to wait at most this time.
inline int NextWaitSlice(std::chrono::steady_clock::time_point deadline, bool timed,
                         const std::atomic<bool>& abandon, const std::string& what) {
  if (abandon.load(std::memory_order_relaxed)) {
    throw EConnectionError(what + ": given up at the stop");
  }
  int wait = 250;
  if (timed) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) throw EConnectionError(what + ": timed out");
    if (left < wait) wait = static_cast<int>(left);
  }
  return wait;
}

struct StreamTarget {
  std::string address;  // dotted quad
  int port = 0;
  bool tls = false;
  // TLS: the name (or IP address text) the certificate must carry.
  std::string server_name;
  // TLS: PEM files. Without a CA file the system's trust store decides.
  std::string ca_file, cert_file, key_file;
};

class ReportStream {
 public:
  // Called about every quarter second while a write waits for the peer to
  // take bytes, with how long the write has made no progress. It must not
  // raise.
  using WaitHook = std::function<void(std::chrono::milliseconds stalled)>;

  virtual ~ReportStream() = default;
  // Writes all size bytes, waiting while the peer holds them back. Raises
  // EConnectionError when the connection fails or abandon is set.
  virtual void WriteAll(const char* data, size_t size, const std::atomic<bool>& abandon) = 0;
  // True when the peer has closed or reset the connection. A syslog server
  // never sends on it, so anything to read but TLS housekeeping means
  // the end. Never waits.
  virtual bool PeerClosed() = 0;
  // The hook for the waits of this stream's writes (none at first).
  virtual void SetWaitHook(WaitHook hook) { wait_hook_ = std::move(hook); }

 protected:
  // For the writes' waits: tells the hook, if any, how long the write has
  // gone without progress since the last.
  void Waiting(std::chrono::steady_clock::time_point last_progress) const {
    if (wait_hook_) {
      wait_hook_(std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - last_progress));
    }
  }

 private:
  WaitHook wait_hook_;
};

// Connects (at most timeout_ms, and no longer than abandon allows) and, for
// TLS, shakes hands and verifies the server. Raises EConnectionError or
// EVerificationError.
std::unique_ptr<ReportStream> OpenReportStream(const StreamTarget& target, int timeout_ms,
                                               const std::atomic<bool>& abandon);

}  // namespace platform
