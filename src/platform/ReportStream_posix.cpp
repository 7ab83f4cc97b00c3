#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "platform/ReportStream.h"

namespace platform {
namespace {

std::string SystemError(const std::string& call, int code) { return call + ": " + strerror(code); }

// The queued OpenSSL errors as one text, the queue emptied.
std::string TlsErrors() {
  std::string text;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buffer[256];
    ERR_error_string_n(e, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "no further detail" : text;
}

// The plain words an administrator looks for, before OpenSSL's own.
std::string VerificationText(long result) {
  const char* kind;
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      kind = "expired";
      break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      kind = "not yet valid";
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      kind = "name mismatch";
      break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      kind = "unknown CA";
      break;
    default:
      kind = "not trusted";
      break;
  }
  return std::string("the server's certificate was refused (") + kind +
         "): " + X509_verify_cert_error_string(result);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

// Waits until fd is ready for events or deadline passes; raises when the
// deadline passes or abandon is set. deadline_ms < 0: no deadline.
void WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline, bool timed,
             const std::atomic<bool>& abandon, const std::string& what,
             const std::function<void()>& each_slice = {}) {
  for (;;) {
    const int wait = NextWaitSlice(deadline, timed, abandon, what);
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, wait);
    if (n < 0 && errno != EINTR) throw EConnectionError(SystemError("poll", errno));
    if (n > 0) return;
    if (each_slice) each_slice();
  }
}

class TcpStream : public ReportStream {
 public:
  TcpStream(const StreamTarget& target, int timeout_ms, const std::atomic<bool>& abandon)
      : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
        peer_(target.address + ":" + std::to_string(target.port)) {
    if (fd_.get() < 0) throw EConnectionError(SystemError("socket", errno));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(target.port));
    if (inet_pton(AF_INET, target.address.c_str(), &to.sin_addr) != 1) {
      throw EConnectionError("connect: \"" + target.address + "\" is not an IPv4 address");
    }
    const int one = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd_.get(), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (connect(fd_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      if (errno != EINPROGRESS) throw EConnectionError(SystemError("connect to " + peer_, errno));
      WaitFor(fd_.get(), POLLOUT, deadline, true, abandon, "connect to " + peer_);
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) throw EConnectionError(SystemError("connect to " + peer_, error));
    }
  }

  void WriteAll(const char* data, size_t size, const std::atomic<bool>& abandon) override {
    auto progress = std::chrono::steady_clock::now();
    while (size > 0) {
      const ssize_t n = send(fd_.get(), data, size, MSG_NOSIGNAL);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        progress = std::chrono::steady_clock::now();
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        WaitFor(fd_.get(), POLLOUT, {}, false, abandon, "send to " + peer_,
                [&] { Waiting(progress); });
        continue;
      }
      throw EConnectionError(SystemError("send to " + peer_, n < 0 ? errno : EPIPE));
    }
  }

  bool PeerClosed() override {
    pollfd p{fd_.get(), POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && p.revents != 0;
  }

  int fd() const noexcept { return fd_.get(); }
  const std::string& peer() const noexcept { return peer_; }

 private:
  Fd fd_;
  std::string peer_;
};

class TlsStream : public ReportStream {
 public:
  TlsStream(const StreamTarget& target, int timeout_ms, const std::atomic<bool>& abandon)
      : tcp_(target, timeout_ms, abandon) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    ERR_clear_error();
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx_) throw EConnectionError("SSL_CTX_new: " + TlsErrors());
    SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    if (!target.ca_file.empty()) {
      if (SSL_CTX_load_verify_locations(ctx_.get(), target.ca_file.c_str(), nullptr) != 1) {
        throw EConnectionError("the CA file \"" + target.ca_file +
                               "\" cannot be used: " + TlsErrors());
      }
    } else if (SSL_CTX_set_default_verify_paths(ctx_.get()) != 1) {
      throw EConnectionError("the system's trust store cannot be used: " + TlsErrors());
    }
    if (!target.cert_file.empty()) {
      if (SSL_CTX_use_certificate_chain_file(ctx_.get(), target.cert_file.c_str()) != 1) {
        throw EConnectionError("the certificate file \"" + target.cert_file +
                               "\" cannot be used: " + TlsErrors());
      }
      const std::string& key = target.key_file.empty() ? target.cert_file : target.key_file;
      if (SSL_CTX_use_PrivateKey_file(ctx_.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_check_private_key(ctx_.get()) != 1) {
        throw EConnectionError("the key file \"" + key + "\" cannot be used: " + TlsErrors());
      }
    }
    ssl_.reset(SSL_new(ctx_.get()));
    if (!ssl_ || SSL_set_fd(ssl_.get(), tcp_.fd()) != 1) {
      throw EConnectionError("SSL_new: " + TlsErrors());
    }
    SSL_set_mode(ssl_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
    in_addr literal;
    if (inet_pton(AF_INET, target.server_name.c_str(), &literal) == 1) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), target.server_name.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_.get(), target.server_name.c_str());
      SSL_set1_host(ssl_.get(), target.server_name.c_str());
    }
    const std::string what = "TLS handshake with " + tcp_.peer();
    for (;;) {
      const int r = SSL_connect(ssl_.get());
      if (r == 1) break;
      const int e = SSL_get_error(ssl_.get(), r);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        WaitFor(tcp_.fd(), e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, true, abandon,
                what);
        continue;
      }
      const long verified = SSL_get_verify_result(ssl_.get());
      if (verified != X509_V_OK) throw EVerificationError(VerificationText(verified));
      throw EConnectionError(what + " failed: " + TlsErrors());
    }
  }

  ~TlsStream() override {
    // The close alert, so that the server sees an orderly end; one try,
    // never a wait.
    if (ssl_ && SSL_is_init_finished(ssl_.get())) SSL_shutdown(ssl_.get());
    ERR_clear_error();
  }

  void WriteAll(const char* data, size_t size, const std::atomic<bool>& abandon) override {
    auto progress = std::chrono::steady_clock::now();
    while (size > 0) {
      ERR_clear_error();
      size_t written = 0;
      const int r = SSL_write_ex(ssl_.get(), data, size, &written);
      if (r == 1) {
        data += written;
        size -= written;
        progress = std::chrono::steady_clock::now();
        continue;
      }
      const int e = SSL_get_error(ssl_.get(), r);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        WaitFor(tcp_.fd(), e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, {}, false, abandon,
                "TLS send to " + tcp_.peer(), [&] { Waiting(progress); });
        continue;
      }
      throw EConnectionError(
          "TLS send to " + tcp_.peer() + ": " +
          (e == SSL_ERROR_SYSCALL && errno != 0 ? strerror(errno) : TlsErrors()));
    }
  }

  bool PeerClosed() override {
    pollfd p{tcp_.fd(), POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0 || p.revents == 0) return false;
    if (p.revents & (POLLHUP | POLLERR | POLLRDHUP)) return true;
    // Records after the handshake (session tickets) are housekeeping; a
    // close alert or the end of the stream is not.
    char buffer[256];
    ERR_clear_error();
    const int r = SSL_read(ssl_.get(), buffer, sizeof buffer);
    if (r > 0) return false;
    const int e = SSL_get_error(ssl_.get(), r);
    return e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE;
  }

 private:
  TcpStream tcp_;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
};

}  // namespace

std::unique_ptr<ReportStream> OpenReportStream(const StreamTarget& target, int timeout_ms,
                                               const std::atomic<bool>& abandon) {
  if (target.tls) return std::make_unique<TlsStream>(target, timeout_ms, abandon);
  return std::make_unique<TcpStream>(target, timeout_ms, abandon);
}

}  // namespace platform
