#include "syslog/IdStack.h"

#include <atomic>

#include "rtl/Mutex.h"
#include "syslog/IdException.h"
#include "syslog/IdGlobal.h"
#include "syslog/IdStackWindows.h"

namespace syslog {
namespace {

TIdStack* MakeWindowsStack() { return new TIdStackWindows(); }

struct SharedState {
  rtl::Mutex stack_lock;  // StackLock
  // Written under stack_lock; read without it by SharedStack.
  std::atomic<TIdStack*> stack{nullptr};
  int live_components GUARDED_BY(stack_lock) = 0;
  TIdStackClass stack_class GUARDED_BY(stack_lock) = &MakeWindowsStack;
};

// Never destroyed: components that outlive static destruction may still
// release their reference.
SharedState& Shared() {
  static SharedState* state = new SharedState;
  return *state;
}

bool IsOctetText(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  int32_t v = 0;
  return rtl::TryStrToInt(s, v) && v >= 0 && v <= 255;
}

}  // namespace

TIdStack::~TIdStack() = default;

std::string TIdStack::HostToAddress(const std::string& host) {
  if (rtl::SameText(host, "LOCALHOST")) return "127.0.0.1";
  if (IsDottedQuad(host)) return host;
  return LookupHostAddress(host);
}

bool TIdStack::IsDottedQuad(const std::string& s) {
  std::string rest = s;
  std::string parts[4];
  for (int i = 0; i < 3; ++i) parts[i] = TakeToken(rest, '.');
  parts[3] = rest;
  for (const std::string& p : parts) {
    if (!IsOctetText(p)) return false;
  }
  return true;
}

TIdIPv4Bytes TIdStack::DottedQuadToAddress(const std::string& s) {
  std::string rest = s;
  TIdIPv4Bytes bytes{};
  for (int i = 0; i < 3; ++i) bytes[i] = static_cast<uint8_t>(rtl::StrToInt(TakeToken(rest, '.')));
  bytes[3] = static_cast<uint8_t>(rtl::StrToInt(rest));
  return bytes;
}

std::string TIdStack::AddressToDottedQuad(const TIdIPv4Bytes& b) {
  return rtl::Format("%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

bool TIdStack::CheckSocketResult(int result, std::initializer_list<int> ignore) {
  if (result != ws2::kSocketError) return false;
  last_error_code_ = WSGetLastError();
  for (int code : ignore) {
    if (code == last_error_code_) return true;
  }
  RaiseSocketFailure(last_error_code_);
}

void TIdStack::RaiseSocketFailure(int code) { throw EIdSocketError(code, SocketErrorText(code)); }

ws2::TSocket TIdStack::NewSocket(int socket_type, int protocol) {
  ws2::TSocket s = WSSocket(platform::kAfInet, socket_type, protocol);
  if (s == ws2::kInvalidSocket) throw EIdInvalidSocket("Cannot allocate socket.");
  return s;
}

rtl::TStringList* TIdStack::LocalAddresses() {
  if (!local_addresses_) local_addresses_ = std::make_unique<rtl::TStringList>();
  return local_addresses_.get();
}

rtl::TStringList* TIdStack::LocalAddressList() {
  LocalAddresses();
  RefreshLocalAddresses();
  return local_addresses_.get();
}

std::string TIdStack::FirstLocalAddress() {
  const auto now = std::chrono::steady_clock::now();
  rtl::MutexLock lock(first_mu_);
  if (!first_address_.empty() && now - first_at_ < std::chrono::seconds(1)) {
    return first_address_;
  }
  first_address_ = LocalAddressList()->Strings(0);
  first_at_ = now;
  return first_address_;
}

TIdStackClass SharedStackClass() {
  SharedState& s = Shared();
  rtl::MutexLock lock(s.stack_lock);
  return s.stack_class;
}

void SetSharedStackClass(TIdStackClass make) {
  SharedState& s = Shared();
  rtl::MutexLock lock(s.stack_lock);
  s.stack_class = make ? make : &MakeWindowsStack;
}

TIdStack* SharedStack() { return Shared().stack; }

int LiveComponentCount() {
  SharedState& s = Shared();
  rtl::MutexLock lock(s.stack_lock);
  return s.live_components;
}

void AcquireSharedStack() {
  SharedState& s = Shared();
  rtl::MutexLock lock(s.stack_lock);
  if (s.live_components == 0) s.stack = s.stack_class();
  ++s.live_components;
}

void ReleaseSharedStack() {
  SharedState& s = Shared();
  rtl::MutexLock lock(s.stack_lock);
  if (s.live_components == 0) return;
  if (s.live_components == 1) {
    delete s.stack.exchange(nullptr);
  }
  --s.live_components;
}

int TIdStack::WSSendToMany(ws2::TSocket socket, const ws2::TDatagram* datagrams, int count,
                           int flags, const std::string& address, int port) {
  for (int i = 0; i < count; ++i) {
    int n = WSSendTo(socket, datagrams[i].buffer, datagrams[i].length, flags, address, port);
    if (n == ws2::kSocketError) return i == 0 ? n : i;
  }
  return count;
}

}  // namespace syslog
