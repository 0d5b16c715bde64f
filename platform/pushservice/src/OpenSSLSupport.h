// Small helpers around OpenSSL's C interface, and the files the service
// writes (keys and certificates), for the push service's sources.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>

#include <memory>
#include <string>
#include <string_view>

#include "PushService/ProviderToken.h"

namespace objc::openssl {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// The oldest queued OpenSSL error as text (and the queue emptied), or
// "unknown error".
inline std::string lastError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Raises for an OpenSSL call that failed where nothing the user gave can be
// at fault (out of memory, a broken library).
inline void check(bool ok, std::string_view what) {
  if (!ok) throw PushServiceError("OpenSSL failed at " + std::string(what) + ": " + lastError());
}

// What was written into a memory BIO.
inline std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace objc::openssl

namespace objc {

// Writes `text` to `path`, replacing the file; with `secret` only its owner
// may read it. Throws PushServiceError naming the path and the reason.
void writeServiceFile(const std::string& path, std::string_view text, bool secret);

}  // namespace objc
