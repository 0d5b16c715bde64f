// Geographic regions, as location triggers and legacy local notifications
// carry them. Regions are copied like values: `copy` gives a new region with
// the same fields, because the entry and exit flags can still be changed.
#pragma once

#include "Foundation/Foundation.h"

namespace objc {

struct CLLocationCoordinate2D {
  double latitude = 0;
  double longitude = 0;
};

class CLRegion : public NSObject {
 public:
  static Class class_();
  CLRegion() = default;

  NSString* identifier() const { return identifier_.get(); }
  // Both true for a new region.
  bool notifyOnEntry() const { return notifyOnEntry_; }
  void setNotifyOnEntry(bool on) { notifyOnEntry_ = on; }
  bool notifyOnExit() const { return notifyOnExit_; }
  void setNotifyOnExit(bool on) { notifyOnExit_ = on; }

  // Platform side: whether a position lies inside the region (the device's
  // region-entry step asks this). A plain region contains nothing.
  virtual bool containsCoordinate(CLLocationCoordinate2D coordinate) const;

  // Same class, identifier, flags and geometry.
  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  std::string description() const override;
  Ref<NSObject> copy() const override;

 protected:
  Ref<NSString> identifier_;
  bool notifyOnEntry_ = true;
  bool notifyOnExit_ = true;
};

class CLCircularRegion final : public CLRegion {
 public:
  static Class class_();
  CLCircularRegion() = default;

  // Raises NSInvalidArgumentException for a nil identifier or a negative
  // (or not-a-number) radius, as the real initialiser refuses them.
  static Ref<CLCircularRegion> regionWithCenter(CLLocationCoordinate2D center, double radius, NSString* identifier);

  CLLocationCoordinate2D center() const { return center_; }
  // Metres.
  double radius() const { return radius_; }

  // Great-circle distance from the centre at most the radius.
  bool containsCoordinate(CLLocationCoordinate2D coordinate) const override;

  bool isEqual(const NSObject* other) const override;
  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  CLLocationCoordinate2D center_;
  double radius_ = 0;
};

}  // namespace objc
