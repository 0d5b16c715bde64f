// The notification centre's delegate setter, replaced at load time: the
// centre's real delegate becomes the context and the host's object is held
// weakly for forwarding. Each row of the state table: (setter argument,
// what was held) -> (platform setter called?, centre's delegate, held).
#include <gtest/gtest.h>

#include <vector>

#include "UserNotifications/UNUserNotificationCenter+System.h"
#include "UserNotifications/UserNotifications.h"
#include "orvel/OrvelHookTool.h"
#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

struct CenterHost : NSObject {
  static Class class_();
};
Class CenterHost::class_() {
  static Class c = ClassBuilder<CenterHost>("CenterHost").conforms("UNUserNotificationCenterDelegate").build();
  return c;
}

// Sees every write of the platform's own setter.
class DelegateWrites : public UNUserNotificationCenterSystem {
 public:
  void delegateChanged(NSObject* delegate) override { written.push_back(delegate); }
  std::vector<NSObject*> written;
};

class OrvelCenterDelegate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OrvelHookTool::hasMethodWithClass(UNUserNotificationCenter::class_(), sel<"orvelSetUNDelegate:">()))
        << "installed when the library was loaded";
    center = UNUserNotificationCenter::currentNotificationCenter();
    center->setSystem(writes);
    context = OrvelContext::currentContext();
  }
  void TearDown() override { center->setSystem(nullptr); }

  // As the host does it.
  void setDelegate(NSObject* delegate) { send<void>(center, sel<"setDelegate:">(), delegate); }
  NSObject* centreDelegate() { return center->delegate().get(); }
  NSObject* held() { return context->unDelegate().get(); }

  UNUserNotificationCenter* center = nullptr;
  OrvelContext* context = nullptr;
  std::shared_ptr<DelegateWrites> writes = std::make_shared<DelegateWrites>();
};

TEST_F(OrvelCenterDelegate, HostObjectWithNothingHeldMakesTheContextTheDelegate) {
  auto x = make<CenterHost>();
  setDelegate(x);
  EXPECT_EQ(writes->written, std::vector<NSObject*>{context});
  EXPECT_EQ(centreDelegate(), context);
  EXPECT_EQ(held(), x.get());
}

TEST_F(OrvelCenterDelegate, WhileAHostObjectIsHeldTheSetterOnlyReplacesIt) {
  auto x = make<CenterHost>();
  auto y = make<CenterHost>();
  setDelegate(x);
  setDelegate(y);
  EXPECT_EQ(held(), y.get());
  setDelegate(nullptr);
  EXPECT_EQ(held(), y.get()) << "nil never clears the held delegate";
  performSelector(center, sel<"setDelegate:">(), context);  // what registration sends
  EXPECT_EQ(held(), y.get()) << "the context passing itself replaces nothing";
  EXPECT_EQ(writes->written, std::vector<NSObject*>{context}) << "the platform's setter ran once";
  EXPECT_EQ(centreDelegate(), context);
}

TEST_F(OrvelCenterDelegate, NilOrTheContextWithNothingHeldInstallsTheContext) {
  setDelegate(nullptr);
  EXPECT_EQ(writes->written, std::vector<NSObject*>{context});
  EXPECT_EQ(held(), nullptr);
  performSelector(center, sel<"setDelegate:">(), context);
  EXPECT_EQ(writes->written, (std::vector<NSObject*>{context, context}));
  EXPECT_EQ(held(), nullptr);
  EXPECT_EQ(centreDelegate(), context);

  auto x = make<CenterHost>();  // the host installs its own later
  setDelegate(x);
  EXPECT_EQ(writes->written, (std::vector<NSObject*>{context, context, context}));
  EXPECT_EQ(held(), x.get());
  EXPECT_EQ(centreDelegate(), context);
}

TEST_F(OrvelCenterDelegate, DeallocatedHostObjectIsNoLongerHeld) {
  auto x = make<CenterHost>();
  setDelegate(x);
  x = nullptr;
  EXPECT_EQ(held(), nullptr);
  EXPECT_EQ(centreDelegate(), context) << "the context stays the centre's delegate";

  auto z = make<CenterHost>();
  setDelegate(z);
  EXPECT_EQ(writes->written, (std::vector<NSObject*>{context, context})) << "the setter is reached again";
  EXPECT_EQ(held(), z.get());
}

TEST_F(OrvelCenterDelegate, SetUnDelegateIgnoresNilAndTheContext) {
  auto x = make<CenterHost>();
  send<void>(context, sel<"setUnDelegate:">(), x);
  send<void>(context, sel<"setUnDelegate:">(), nullptr);
  send<void>(context, sel<"setUnDelegate:">(), context);
  EXPECT_EQ(held(), x.get());
  EXPECT_TRUE(writes->written.empty()) << "only the centre's setter installs anything";
}

}  // namespace
