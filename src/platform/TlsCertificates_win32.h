// Certificates for the Windows report stream over TLS: reading a CA file,
// judging the certificate a TLS server presents, and loading a client
// certificate with its key; apart from the connection, so that all can be
// tried without a network.
//
// A server is trusted when its certificate chains, for server
// authentication, either to the machine's trust store or, with a CA file, to
// one of the file's certificates only; when every certificate of the chain is
// valid at the time of the check; and when the certificate carries the name
// (or the IPv4 address) the watcher was told to reach. A refusal is an
// EVerificationError whose text starts with the plain reason an
// administrator looks for: unknown CA, expired, not yet valid, name mismatch
// or not trusted.
#pragma once

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <string>
#include <vector>

#include "platform/ReportStream.h"

namespace platform {

// The DER encoding of every CERTIFICATE block of a PEM text, in the order of
// the text; other blocks and text between blocks are passed over. Raises
// EConnectionError naming source when a block is broken or there is none.
std::vector<std::string> ReadPemCertificates(const std::string& text, const std::string& source);

// True when the certificate carries name: an IPv4 address text is looked
// for among its IP addresses, any other name among its DNS names (a leading
// "*." standing for one label), or its common name when it has no DNS name.
bool CertificateCarriesName(PCCERT_CONTEXT certificate, const std::string& name);

// Raises EVerificationError unless server (with the other certificates its
// store holds, as a TLS server sends them) is trusted for name, against
// anchors (DER certificates of a CA file) or, when anchors is empty, the
// machine's trust store. at: the time to judge validity at (nullptr: now).
void VerifyServerCertificate(PCCERT_CONTEXT server, const std::vector<std::string>& anchors,
                             const std::string& name, const FILETIME* at);

// A client certificate (the first of a PEM text) with its RSA private key
// (PKCS #8 or PKCS #1 PEM, without passphrase), for Schannel to present. The
// key lives in a key container of the object's own, which Schannel reaches
// through the certificate and which goes with the object.
class ClientIdentity {
 public:
  // Raises EConnectionError naming the source that cannot be used, also
  // when the key does not belong to the certificate.
  ClientIdentity(const std::string& cert_pem, const std::string& cert_source,
                 const std::string& key_pem, const std::string& key_source);
  ~ClientIdentity();
  ClientIdentity(const ClientIdentity&) = delete;
  ClientIdentity& operator=(const ClientIdentity&) = delete;

  PCCERT_CONTEXT certificate() const noexcept { return certificate_; }

 private:
  void Load(const std::string& cert_pem, const std::string& cert_source, const std::string& key_pem,
            const std::string& key_source);
  void Release() noexcept;

  std::wstring container_;
  HCRYPTPROV provider_ = 0;
  PCCERT_CONTEXT certificate_ = nullptr;
};

}  // namespace platform
