// Team keys and provider tokens; the server's certificate.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "PushTestSupport.h"

namespace pushtest {
namespace {

constexpr double kNow = 1767225600;

std::string temporaryPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("pushservice-" + std::to_string(::getpid()) + "-" + name)).string();
}

std::string pemOf(EVP_PKEY* key) {
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(out, &data);
  std::string pem(data, static_cast<size_t>(length));
  BIO_free(out);
  EVP_PKEY_free(key);
  return pem;
}

// A token with the given header and claims and a signature by `key` (or
// any 64 bytes).
std::string handMade(const std::string& header, const std::string& claims, const ProviderKey* key = nullptr) {
  const std::string input = base64UrlEncode(header) + "." + base64UrlEncode(claims);
  std::string signature(64, '\x01');
  if (key) {
    // A real token's signature, moved onto this input, does not verify.
    const std::string real = mintProviderToken(*key, static_cast<int64_t>(kNow));
    return input + real.substr(real.rfind('.'));
  }
  return input + "." + base64UrlEncode(signature);
}

TEST(ProviderTokens, AMintedTokenChecksWithItsKeyAndNamesIt) {
  ProviderKey key = ProviderKey::generate();
  EXPECT_EQ(key.keyId().size(), kProviderIdentifierLength);
  EXPECT_EQ(key.teamId().size(), kProviderIdentifierLength);
  const std::string token = mintProviderToken(key, static_cast<int64_t>(kNow) - 60);
  ProviderTokenCheck check = checkProviderToken(token, std::span(&key, 1), kNow);
  EXPECT_TRUE(check.ok()) << check.detail;
  EXPECT_EQ(check.keyId, key.keyId());
  EXPECT_EQ(check.issuedAt, static_cast<int64_t>(kNow) - 60);

  std::string header;
  ASSERT_TRUE(base64UrlDecode(token.substr(0, token.find('.')), header));
  EXPECT_EQ(header, R"({"alg":"ES256","kid":")" + key.keyId() + R"("})");
}

TEST(ProviderTokens, RefusesEveryMalformedOrForeignToken) {
  ProviderKey key = ProviderKey::generate("KEYID12345", "TEAMID1234");
  const std::string goodHeader = R"({"alg":"ES256","kid":"KEYID12345"})";
  const std::string goodClaims = R"({"iss":"TEAMID1234","iat":1767225600})";
  const std::string good = mintProviderToken(key, static_cast<int64_t>(kNow));
  std::string flipped = good;
  flipped[flipped.size() - 5] = flipped[flipped.size() - 5] == 'A' ? 'B' : 'A';
  const std::pair<const char*, std::string> tokens[] = {
      {"two parts", good.substr(0, good.rfind('.'))},
      {"four parts", good + ".x"},
      {"header not base64url", "a+b/." + good.substr(good.find('.') + 1)},
      {"header not JSON", base64UrlEncode("{alg") + good.substr(good.find('.'))},
      {"alg none", handMade(R"({"alg":"none","kid":"KEYID12345"})", goodClaims)},
      {"alg HS256", handMade(R"({"alg":"HS256","kid":"KEYID12345"})", goodClaims)},
      {"unknown key id", handMade(R"({"alg":"ES256","kid":"NOSUCHKEY1"})", goodClaims)},
      {"another team", handMade(goodHeader, R"({"iss":"OTHERTEAM1","iat":1767225600})")},
      {"iat a string", handMade(goodHeader, R"({"iss":"TEAMID1234","iat":"1767225600"})")},
      {"iat a fraction", handMade(goodHeader, R"({"iss":"TEAMID1234","iat":1767225600.5})")},
      {"signature of other claims", handMade(goodHeader, R"({"iss":"TEAMID1234","iat":1767225601})", &key)},
      {"signature changed", flipped},
      {"signature too short", good.substr(0, good.rfind('.') + 10)},
      {"issued in an hour", mintProviderToken(key, static_cast<int64_t>(kNow) + 3600)},
  };
  for (const auto& [what, token] : tokens) {
    SCOPED_TRACE(what);
    ProviderTokenCheck check = checkProviderToken(token, std::span(&key, 1), kNow);
    EXPECT_EQ(check.reason, "InvalidProviderToken");
    EXPECT_FALSE(check.detail.empty());
  }
  EXPECT_EQ(
      checkProviderToken(mintProviderToken(key, static_cast<int64_t>(kNow) - 3601), std::span(&key, 1), kNow).reason,
      "ExpiredProviderToken");
}

TEST(ProviderTokens, AGeneratedKeyWrittenAsP8ReadsBackAndItsPublicHalfOnlyChecks) {
  ProviderKey key = ProviderKey::generate("KEYID12345", "TEAMID1234");
  const std::string path = temporaryPath("AuthKey.p8");
  key.writePrivateKey(path);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "a private key is its owner's only";

  ProviderKey read = ProviderKey::fromPEMFile(path, "KEYID12345", "TEAMID1234");
  std::remove(path.c_str());
  EXPECT_TRUE(read.hasPrivateKey());
  const std::string token = mintProviderToken(read, static_cast<int64_t>(kNow));
  EXPECT_TRUE(checkProviderToken(token, std::span(&key, 1), kNow).ok()) << "the same key";

  ProviderKey publicOnly = ProviderKey::fromPEM(key.publicKeyPEM(), "KEYID12345", "TEAMID1234");
  EXPECT_FALSE(publicOnly.hasPrivateKey());
  EXPECT_TRUE(checkProviderToken(token, std::span(&publicOnly, 1), kNow).ok());
  EXPECT_THROW(mintProviderToken(publicOnly, 0), PushServiceError);
  EXPECT_THROW(publicOnly.writePrivateKey(path), PushServiceError);
}

TEST(ProviderTokens, KeysThatCannotSignES256AreRefusedWithTheReason) {
  auto message = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const PushServiceError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  const std::string rsa = pemOf(EVP_RSA_gen(2048));
  const std::string p384 = pemOf(EVP_EC_gen("P-384"));
  const std::string p256 = ProviderKey::generate().privateKeyPEM();
  EXPECT_THAT(message([&] { ProviderKey::fromPEM(rsa, "KEYID12345", "TEAMID1234"); }),
              ::testing::HasSubstr("not an EC key on the P-256 curve"));
  EXPECT_THAT(message([&] { ProviderKey::fromPEM(p384, "KEYID12345", "TEAMID1234"); }), ::testing::HasSubstr("P-256"));
  EXPECT_THAT(message([&] { ProviderKey::fromPEM("hello", "KEYID12345", "TEAMID1234"); }),
              ::testing::HasSubstr("not a PEM key"));
  EXPECT_THAT(message([&] { ProviderKey::fromPEM(p256, "KEYID", "TEAMID1234"); }),
              ::testing::HasSubstr("key id \"KEYID\" is not 10 letters or digits"));
  EXPECT_THAT(message([&] { ProviderKey::fromPEM(p256, "KEYID12345", "TEAM-12345"); }),
              ::testing::HasSubstr("team id"));
  EXPECT_THAT(message([&] { ProviderKey::fromPEMFile("/no/such/AuthKey.p8", "KEYID12345", "TEAMID1234"); }),
              ::testing::HasSubstr("/no/such/AuthKey.p8: cannot read"));
}

TEST(ProviderTokens, Base64UrlRoundTripsAndRefusesOtherAlphabets) {
  std::string bytes;
  for (int i = 0; i < 70; ++i) {
    bytes.push_back(static_cast<char>(i * 37));
    std::string back;
    ASSERT_TRUE(base64UrlDecode(base64UrlEncode(bytes), back));
    EXPECT_EQ(back, bytes);
  }
  std::string ignored;
  EXPECT_EQ(base64UrlEncode("\xfb\xff"), "-_8");
  EXPECT_FALSE(base64UrlDecode("+/8", ignored));
  EXPECT_FALSE(base64UrlDecode("AA==", ignored));
  EXPECT_FALSE(base64UrlDecode("A", ignored));
}

TEST(ServerIdentities, TheSelfSignedCertificateNamesTheLoopbackAndItsKeyMatches) {
  ServerIdentity identity = ServerIdentity::selfSigned("192.0.2.7");
  BIO* in = BIO_new_mem_buf(identity.certificatePEM.data(), static_cast<int>(identity.certificatePEM.size()));
  X509* certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  ASSERT_TRUE(certificate);
  EXPECT_EQ(X509_check_ip_asc(certificate, "127.0.0.1", 0), 1);
  EXPECT_EQ(X509_check_ip_asc(certificate, "::1", 0), 1);
  EXPECT_EQ(X509_check_ip_asc(certificate, "192.0.2.7", 0), 1) << "the address it was made for";
  EXPECT_EQ(X509_check_host(certificate, "localhost", 0, 0, nullptr), 1);
  X509_free(certificate);

  const std::string certificatePath = temporaryPath("cert.pem"), keyPath = temporaryPath("key.pem");
  identity.writeCertificate(certificatePath);
  std::ofstream(keyPath) << ServerIdentity::selfSigned().privateKeyPEM;
  try {
    ServerIdentity::fromFiles(certificatePath, keyPath);
    ADD_FAILURE() << "a key of another certificate was taken";
  } catch (const PushServiceError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("does not belong to the certificate"));
  }
  std::ofstream(keyPath) << identity.privateKeyPEM;
  EXPECT_EQ(ServerIdentity::fromFiles(certificatePath, keyPath).certificatePEM, identity.certificatePEM);
  std::remove(certificatePath.c_str());
  std::remove(keyPath.c_str());
}

}  // namespace
}  // namespace pushtest
