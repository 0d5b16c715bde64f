// The TLS identity the push service presents: a certificate (chain) and its
// private key, as PEM text.
#pragma once

#include <string>
#include <string_view>

namespace objc {

struct ServerIdentity {
  std::string certificatePEM;
  std::string privateKeyPEM;

  // A new self-signed certificate (EC P-256, valid from an hour ago for 30
  // days) naming 127.0.0.1, ::1 and localhost, and `host` too when given (an
  // IP address or a DNS name). A client trusts it by taking the certificate
  // as its certificate authority (curl --cacert, a `ca` option).
  static ServerIdentity selfSigned(std::string_view host = {});
  // Reads a certificate (chain) and its private key from PEM files. Throws
  // PushServiceError naming the file for a file that cannot be read or is
  // not PEM, and when the key does not belong to the certificate.
  static ServerIdentity fromFiles(const std::string& certificatePath, const std::string& privateKeyPath);

  // Writes the certificate (chain) to `path`.
  void writeCertificate(const std::string& path) const;
};

}  // namespace objc
