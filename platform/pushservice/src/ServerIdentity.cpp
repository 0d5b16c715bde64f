#include "PushService/ServerIdentity.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <sstream>

#include "OpenSSLSupport.h"

namespace objc {

namespace {

constexpr long kValiditySeconds = 30L * 24 * 3600;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Certificate = std::unique_ptr<X509, X509Free>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

void addExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  openssl::check(extension != nullptr, "making the certificate extension " + value);
  const int added = X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
  openssl::check(added == 1, "adding the certificate extension " + value);
}

bool isIPAddress(std::string_view host) {
  return host.find(':') != std::string_view::npos || host.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::string readFile(const std::string& path, std::string_view what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PushServiceError(path + ": cannot read the " + std::string(what));
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ServerIdentity ServerIdentity::selfSigned(std::string_view host) {
  Pkey key(EVP_EC_gen("P-256"));
  openssl::check(key != nullptr, "generating the server key");
  Certificate certificate(X509_new());
  openssl::check(certificate != nullptr, "making a certificate");
  X509_set_version(certificate.get(), 2);  // v3, for the extensions

  unsigned char serial[16];
  openssl::check(RAND_bytes(serial, sizeof serial) == 1, "a certificate serial number");
  serial[0] &= 0x7f;  // positive
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  openssl::check(number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get())),
                 "setting the serial number");
  BN_free(number);

  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Orvel"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Orvel local push service"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), key.get());

  std::string names = "IP:127.0.0.1,IP:::1,DNS:localhost";
  if (!host.empty() && host != "127.0.0.1" && host != "::1" && host != "localhost") {
    names += (isIPAddress(host) ? ",IP:" : ",DNS:") + std::string(host);
  }
  addExtension(certificate.get(), NID_subject_alt_name, names);
  // Self-signed: it is its own authority, which is what lets a client
  // trust it by naming it as the CA file.
  addExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
  addExtension(certificate.get(), NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), NID_subject_key_identifier, "hash");
  openssl::check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "signing the certificate");

  openssl::Bio certificateOut(BIO_new(BIO_s_mem()));
  openssl::Bio keyOut(BIO_new(BIO_s_mem()));
  openssl::check(PEM_write_bio_X509(certificateOut.get(), certificate.get()) == 1, "writing the certificate");
  openssl::check(PEM_write_bio_PKCS8PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
                 "writing the server key");
  return {openssl::bioText(certificateOut.get()), openssl::bioText(keyOut.get())};
}

ServerIdentity ServerIdentity::fromFiles(const std::string& certificatePath, const std::string& privateKeyPath) {
  ServerIdentity identity{readFile(certificatePath, "certificate"), readFile(privateKeyPath, "private key")};
  openssl::Bio certificateIn(
      BIO_new_mem_buf(identity.certificatePEM.data(), static_cast<int>(identity.certificatePEM.size())));
  Certificate certificate(PEM_read_bio_X509(certificateIn.get(), nullptr, nullptr, nullptr));
  if (!certificate) {
    throw PushServiceError(certificatePath +
                           ": not a PEM certificate (-----BEGIN CERTIFICATE-----): " + openssl::lastError());
  }
  openssl::Bio keyIn(BIO_new_mem_buf(identity.privateKeyPEM.data(), static_cast<int>(identity.privateKeyPEM.size())));
  Pkey key(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
  if (!key) {
    throw PushServiceError(privateKeyPath + ": not an unencrypted PEM private key: " + openssl::lastError());
  }
  if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    ERR_clear_error();
    throw PushServiceError(privateKeyPath + ": this key does not belong to the certificate in " + certificatePath);
  }
  return identity;
}

void ServerIdentity::writeCertificate(const std::string& path) const {
  writeServiceFile(path, certificatePEM, /*secret=*/false);
}

}  // namespace objc
