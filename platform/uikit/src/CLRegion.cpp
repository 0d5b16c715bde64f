#include "UIKit/CLRegion.h"

#include <algorithm>
#include <cmath>

namespace objc {

namespace {
template <class T>
Ref<T> copied(const T* v) {
  return v ? cast<T>(v->copy()) : nullptr;
}
constexpr double kEarthRadiusMetres = 6371000.0;
constexpr double kPi = 3.14159265358979323846;
}  // namespace

Class CLRegion::class_() {
  static Class c = ClassBuilder<CLRegion>("CLRegion")
                       .method<&CLRegion::identifier>("identifier")
                       .method<&CLRegion::notifyOnEntry>("notifyOnEntry")
                       .method<&CLRegion::setNotifyOnEntry>("setNotifyOnEntry:")
                       .method<&CLRegion::notifyOnExit>("notifyOnExit")
                       .method<&CLRegion::setNotifyOnExit>("setNotifyOnExit:")
                       .build();
  return c;
}

bool CLRegion::containsCoordinate(CLLocationCoordinate2D) const { return false; }

bool CLRegion::isEqual(const NSObject* other) const {
  auto* o = dynamic_cast<const CLRegion*>(other);
  if (!o || o->isa() != isa()) return false;
  bool sameId = identifier_ ? identifier_->isEqual(o->identifier_.get()) : !o->identifier_;
  return sameId && notifyOnEntry_ == o->notifyOnEntry_ && notifyOnExit_ == o->notifyOnExit_;
}

size_t CLRegion::hash() const { return identifier_ ? identifier_->hash() : 0; }

std::string CLRegion::description() const {
  std::string out = "<";
  out += class_getName(isa());
  out += " identifier: ";
  out += identifier_ ? identifier_->utf8() : "(null)";
  out += ">";
  return out;
}

Ref<NSObject> CLRegion::copy() const {
  auto r = make<CLRegion>();
  r->identifier_ = identifier_;
  r->notifyOnEntry_ = notifyOnEntry_;
  r->notifyOnExit_ = notifyOnExit_;
  return r;
}

Class CLCircularRegion::class_() {
  static Class c =
      ClassBuilder<CLCircularRegion, CLRegion>("CLCircularRegion").method<&CLCircularRegion::radius>("radius").build();
  return c;
}

Ref<CLCircularRegion> CLCircularRegion::regionWithCenter(CLLocationCoordinate2D center, double radius,
                                                         NSString* identifier) {
  if (!identifier) throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: identifier != nil");
  if (!(radius >= 0)) throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: radius >= 0");
  auto r = make<CLCircularRegion>();
  r->identifier_ = copied(identifier);
  r->center_ = center;
  r->radius_ = radius;
  return r;
}

bool CLCircularRegion::containsCoordinate(CLLocationCoordinate2D p) const {
  auto rad = [](double deg) { return deg * kPi / 180.0; };
  double dLat = rad(p.latitude - center_.latitude);
  double dLon = rad(p.longitude - center_.longitude);
  double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
             std::cos(rad(center_.latitude)) * std::cos(rad(p.latitude)) * std::sin(dLon / 2) * std::sin(dLon / 2);
  double distance = 2 * kEarthRadiusMetres * std::asin(std::min(1.0, std::sqrt(a)));
  return distance <= radius_;
}

bool CLCircularRegion::isEqual(const NSObject* other) const {
  if (!CLRegion::isEqual(other)) return false;
  auto* o = static_cast<const CLCircularRegion*>(other);
  return center_.latitude == o->center_.latitude && center_.longitude == o->center_.longitude && radius_ == o->radius_;
}

std::string CLCircularRegion::description() const {
  return format("<CLCircularRegion identifier: %@ center: <%+.8f,%+.8f> radius: %.2f>", identifier_.get(),
                center_.latitude, center_.longitude, radius_);
}

Ref<NSObject> CLCircularRegion::copy() const {
  auto r = make<CLCircularRegion>();
  r->identifier_ = identifier_;
  r->notifyOnEntry_ = notifyOnEntry_;
  r->notifyOnExit_ = notifyOnExit_;
  r->center_ = center_;
  r->radius_ = radius_;
  return r;
}

}  // namespace objc
