#include "Foundation/NSURL.h"

#include <cctype>
#include <cstring>
#include <filesystem>

namespace objc {

namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Characters a URL may hold literally (RFC 3986 unreserved and reserved).
bool allowed(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~:/?#[]@!$&'()*+,;=", c) != nullptr;
}

std::string percentDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && isHex(s[i + 1]) && isHex(s[i + 2])) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string percentEncodePath(std::string_view s) {
  std::string out;
  const char* hex = "0123456789ABCDEF";
  for (unsigned char c : s) {
    if (std::isalnum(c) || std::strchr("-._~/!$&'()*+,;=:@", c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

Class NSURL::class_() {
  static Class c = ClassBuilder<NSURL>("NSURL")
                       .method<&NSURL::absoluteString>("absoluteString")
                       .method<&NSURL::path>("path")
                       .method<&NSURL::scheme>("scheme")
                       .method<&NSURL::lastPathComponent>("lastPathComponent")
                       .method<&NSURL::pathExtension>("pathExtension")
                       .method<&NSURL::isFileURL>("isFileURL")
                       .build();
  return c;
}

Ref<NSURL> NSURL::URLWithString(const NSString* text) { return text ? URLWithString(text->utf8()) : nullptr; }

Ref<NSURL> NSURL::URLWithString(std::string_view text) {
  if (text.empty()) return nullptr;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return nullptr;
      i += 2;
    } else if (!allowed(c)) {
      return nullptr;
    }
  }
  auto url = make<NSURL>();
  url->text_ = std::string(text);
  std::string_view rest = text;

  // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"
  size_t colon = rest.find(':');
  size_t firstDelimiter = rest.find_first_of("/?#");
  if (colon != std::string_view::npos && colon > 0 && colon < firstDelimiter &&
      std::isalpha(static_cast<unsigned char>(rest[0]))) {
    bool valid = true;
    for (char c : rest.substr(0, colon))
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) valid = false;
    if (valid) {
      url->hasScheme_ = true;
      url->scheme_ = std::string(rest.substr(0, colon));
      for (auto& c : url->scheme_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      rest.remove_prefix(colon + 1);
    }
  }
  size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  size_t q = rest.find('?');
  if (q != std::string_view::npos) {
    url->hasQuery_ = true;
    url->query_ = std::string(rest.substr(q + 1));
    rest = rest.substr(0, q);
  }
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
      // An IPv6 literal: the port, if any, follows the closing bracket.
      size_t close = authority.find(']');
      if (close == std::string_view::npos) return nullptr;
      std::string_view after = authority.substr(close + 1);
      if (!after.empty() && after.front() != ':') return nullptr;
      if (!after.empty()) port = after.substr(1);
      authority = authority.substr(1, close - 1);
    } else if (size_t portColon = authority.rfind(':'); portColon != std::string_view::npos) {
      port = authority.substr(portColon + 1);
      authority = authority.substr(0, portColon);
    }
    if (!port.empty()) {
      for (char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c))) return nullptr;
      if (port.size() > 5) return nullptr;
      url->port_ = std::stoll(std::string(port));
      if (url->port_ > 65535) return nullptr;
    }
    url->hasHost_ = true;
    url->host_ = std::string(authority);
  }
  url->path_ = percentDecode(rest);
  return url;
}

Ref<NSURL> NSURL::fileURLWithPath(const NSString* path) { return path ? fileURLWithPath(path->utf8()) : nullptr; }

Ref<NSURL> NSURL::fileURLWithPath(std::string_view relativeOrAbsolute) {
  // A relative path is taken from the current directory, as file URLs name
  // absolute paths.
  std::string path(relativeOrAbsolute);
  if (path.empty() || path.front() != '/') {
    std::error_code ec;
    std::string cwd = std::filesystem::current_path(ec).string();
    if (!ec) path = cwd + (cwd.ends_with('/') || path.empty() ? "" : "/") + path;
  }
  auto url = make<NSURL>();
  url->hasScheme_ = true;
  url->scheme_ = "file";
  url->hasHost_ = true;
  url->path_ = path;
  url->text_ = "file://" + percentEncodePath(path);
  return url;
}

Ref<NSString> NSURL::absoluteString() const { return str(text_); }
Ref<NSString> NSURL::scheme() const { return hasScheme_ ? str(scheme_) : nullptr; }
Ref<NSString> NSURL::host() const { return hasHost_ ? str(host_) : nullptr; }
Ref<NSString> NSURL::path() const { return str(path_); }
Ref<NSString> NSURL::query() const { return hasQuery_ ? str(query_) : nullptr; }
Ref<NSString> NSURL::lastPathComponent() const { return str(path_)->lastPathComponent(); }
Ref<NSString> NSURL::pathExtension() const { return str(path_)->pathExtension(); }
bool NSURL::isFileURL() const { return scheme_ == "file"; }

bool NSURL::isEqual(const NSObject* other) const {
  auto* u = dynamic_cast<const NSURL*>(other);
  return u && u->text_ == text_;
}
size_t NSURL::hash() const { return std::hash<std::string>{}(text_); }
Ref<NSObject> NSURL::copy() const { return Ref<NSObject>(const_cast<NSURL*>(this)); }

}  // namespace objc
