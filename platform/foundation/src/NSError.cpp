#include "Foundation/NSError.h"

namespace objc {

Class NSError::class_() {
  static Class c = ClassBuilder<NSError>("NSError")
                       .method<&NSError::domain>("domain")
                       .method<&NSError::code>("code")
                       .method<&NSError::userInfo>("userInfo")
                       .method<&NSError::localizedDescription>("localizedDescription")
                       .build();
  return c;
}

Ref<NSError> NSError::errorWithDomain(NSString* domain, int64_t code, NSDictionary* userInfo) {
  auto e = make<NSError>();
  e->domain_ = domain ? cast<NSString>(domain->copy()) : str("");
  e->code_ = code;
  if (userInfo) e->userInfo_ = cast<NSDictionary>(userInfo->copy());
  return e;
}

Ref<NSError> NSError::errorWithDomain(std::string_view domain, int64_t code, NSDictionary* userInfo) {
  return errorWithDomain(str(domain), code, userInfo);
}

Ref<NSString> NSError::localizedDescription() const {
  if (userInfo_) {
    if (auto* s = asString(userInfo_->objectForKey(NSLocalizedDescriptionKey))) return Ref<NSString>(s);
  }
  return NSString::stringWithFormat("The operation couldn't be completed. (%@ error %lld.)", domain_, code_);
}

bool NSError::isEqual(const NSObject* other) const {
  auto* e = dynamic_cast<const NSError*>(other);
  if (!e) return false;
  bool infos = (!userInfo_ && !e->userInfo_) || (userInfo_ && userInfo_->isEqual(e->userInfo_.get()));
  return e->code_ == code_ && e->domain_->isEqual(domain_.get()) && infos;
}

std::string NSError::description() const {
  std::string out = "Error Domain=" + domain_->utf8() + " Code=" + std::to_string(code_) + " \"" +
                    localizedDescription()->utf8() + "\"";
  if (userInfo_ && userInfo_->count()) {
    out += " UserInfo={";
    bool first = true;
    for (const auto& e : *userInfo_) {
      if (!first) out += ", ";
      first = false;
      out += e.key->description() + "=" + e.value->description();
    }
    out += "}";
  }
  return out;
}

Ref<NSObject> NSError::copy() const { return Ref<NSObject>(const_cast<NSError*>(this)); }

}  // namespace objc
