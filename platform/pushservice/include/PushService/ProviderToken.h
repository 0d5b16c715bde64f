// Provider tokens: the ES256 JSON Web Tokens with which providers
// authenticate to the push service, and the team keys that sign and check
// them. All cryptography is OpenSSL's.
//
//   auto key = objc::ProviderKey::generate();            // or fromPEMFile
//   key.writePrivateKey("AuthKey.p8");
//   std::string jwt = objc::mintProviderToken(key, time(nullptr));
//   auto check = objc::checkProviderToken(jwt, {key}, time(nullptr));
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace objc {

// A mistake in what the user handed the push service (a key file, a
// certificate, an address): the message says what, where and what to do.
class PushServiceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Key and team identifiers are 10 letters or digits.
inline constexpr size_t kProviderIdentifierLength = 10;
// A token is refused once it is older than this many seconds.
inline constexpr int64_t kProviderTokenLifetime = 3600;
// A token issued more than this many seconds in the future is refused: the
// provider's clock is wrong.
inline constexpr int64_t kProviderTokenClockSkew = 300;

// One of a team's signing keys: an EC P-256 key with its key identifier and
// the team's identifier. Holds the public half always and the private half
// when it was loaded from a private key or generated. Copies share the key.
class ProviderKey {
 public:
  // Reads a PEM key: a private key (the ".p8" file a team downloads, PKCS#8
  // or SEC 1) or a public key. Throws PushServiceError when the text is not
  // such a key, the key is not on P-256, or an identifier is not 10 letters
  // or digits.
  static ProviderKey fromPEM(std::string_view pem, std::string keyId, std::string teamId);
  // The same from a file; errors name the file.
  static ProviderKey fromPEMFile(const std::string& path, std::string keyId, std::string teamId);
  // A new key pair; empty identifiers are made up (10 random capitals and
  // digits).
  static ProviderKey generate(std::string keyId = {}, std::string teamId = {});

  const std::string& keyId() const { return keyId_; }
  const std::string& teamId() const { return teamId_; }
  bool hasPrivateKey() const { return hasPrivate_; }

  // The private key as a PKCS#8 PEM (".p8"); throws PushServiceError for a
  // public key.
  std::string privateKeyPEM() const;
  std::string publicKeyPEM() const;
  // Writes privateKeyPEM() to `path`, readable by its owner only.
  void writePrivateKey(const std::string& path) const;

  // Whether `signature` (a DER-encoded ECDSA signature) signs `data` with
  // SHA-256 under this key.
  bool verify(std::string_view data, std::string_view derSignature) const;
  // A DER-encoded ECDSA signature of `data` with SHA-256; needs the private
  // key.
  std::string sign(std::string_view data) const;

 private:
  struct Pkey;
  ProviderKey(std::shared_ptr<Pkey> key, bool hasPrivate, std::string keyId, std::string teamId);
  std::shared_ptr<Pkey> key_;
  bool hasPrivate_ = false;
  std::string keyId_, teamId_;
};

// A provider token signed with `key`: header {"alg":"ES256","kid":keyId},
// claims {"iss":teamId,"iat":issuedAt}.
std::string mintProviderToken(const ProviderKey& key, int64_t issuedAt);

// What checking a token found.
struct ProviderTokenCheck {
  // Empty when the token is good; otherwise "InvalidProviderToken" or
  // "ExpiredProviderToken".
  std::string reason;
  // What was wrong, in words, for records and logs.
  std::string detail;
  int64_t issuedAt = 0;
  std::string keyId;

  bool ok() const { return reason.empty(); }
};

// Checks a token's form, header ("alg" ES256, a "kid" among `keys`),
// claims ("iss" the key's team, a whole "iat"), signature and age at `now`
// (seconds since the epoch).
ProviderTokenCheck checkProviderToken(std::string_view token, std::span<const ProviderKey> keys, double now);
// The age part of that check alone, for a token already checked once.
ProviderTokenCheck checkProviderTokenAge(int64_t issuedAt, double now);

// base64url without padding, as tokens use it. decode returns false for
// text that is not base64url.
std::string base64UrlEncode(std::string_view bytes);
bool base64UrlDecode(std::string_view text, std::string& bytes);

}  // namespace objc
