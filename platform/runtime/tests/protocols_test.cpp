// Protocols and conformance.
#include "test_support.h"

using namespace objc;
using namespace objc::testing;

TEST(Protocols, LookupByNameFindsRegisteredProtocolsOnly) {
  EXPECT_EQ(NSProtocolFromString("ProtocolsNeverDeclared"), nullptr);
  Protocol pending = objc_allocateProtocol("ProtocolsPending");
  ASSERT_NE(pending, nullptr);
  EXPECT_EQ(NSProtocolFromString("ProtocolsPending"), nullptr);
  EXPECT_EQ(objc_allocateProtocol("ProtocolsPending"), nullptr) << "the name is taken";
  objc_registerProtocol(pending);
  EXPECT_EQ(NSProtocolFromString("ProtocolsPending"), pending);
  EXPECT_EQ(objc_registerProtocolNamed("ProtocolsPending"), pending);
  EXPECT_STREQ(protocol_getName(pending), "ProtocolsPending");
}

TEST(Protocols, ConformanceThroughAdoptedProtocolsAndSuperclasses) {
  Protocol root = objc_registerProtocolNamed("ProtocolsRoot");
  Protocol middle = objc_registerProtocolNamed("ProtocolsMiddle", {root});
  Protocol leaf = objc_registerProtocolNamed("ProtocolsLeaf", {middle});
  Protocol unrelated = objc_registerProtocolNamed("ProtocolsUnrelated");
  Class base = makeClass("ProtocolsBase");
  Class sub = makeClass("ProtocolsSub", base);
  ASSERT_TRUE(class_addProtocol(base, leaf));
  EXPECT_FALSE(class_addProtocol(base, leaf)) << "declared once";
  Id obj = class_createInstance(sub);

  EXPECT_TRUE(protocol_conformsToProtocol(leaf, root));
  EXPECT_FALSE(protocol_conformsToProtocol(root, leaf));
  EXPECT_TRUE(obj->conformsToProtocol(leaf));
  EXPECT_TRUE(obj->conformsToProtocol(root)) << "through the protocols that the declared one adopts";
  EXPECT_FALSE(obj->conformsToProtocol(unrelated));
  EXPECT_FALSE(obj->conformsToProtocol(nullptr));
  EXPECT_TRUE(send<bool>(sub, sel<"conformsToProtocol:">(), middle)) << "sent to the class";
  EXPECT_TRUE(class_conformsToProtocol(base, root));
  EXPECT_FALSE(class_conformsToProtocol(sub, root)) << "the class itself declares nothing";
  EXPECT_FALSE(send<bool>(nullptr, sel<"conformsToProtocol:">(), root)) << "nil answers no";
}

TEST(Protocols, AdoptionAddedLaterIsSeen) {
  Protocol base = objc_registerProtocolNamed("ProtocolsLaterBase");
  Protocol derived = objc_registerProtocolNamed("ProtocolsLaterDerived");
  Class cls = makeClass("ProtocolsLater");
  class_addProtocol(cls, derived);
  Id obj = class_createInstance(cls);
  EXPECT_FALSE(obj->conformsToProtocol(base));
  protocol_addProtocol(derived, base);
  EXPECT_TRUE(obj->conformsToProtocol(base));
}

TEST(Protocols, ProtocolsAreObjects) {
  Protocol p = objc_registerProtocolNamed("ProtocolsObject");
  EXPECT_STREQ(object_getClassName(p), "Protocol");
  EXPECT_TRUE(p->isKindOfClass(NSObject::class_()));
}
