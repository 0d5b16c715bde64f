#include "orvel/UIApplication+Orvel.h"

#include "UIKit/UIKit.h"
#include "orvel/OrvelContext.h"

namespace {

// -[UIApplication orvelSetDelegate:]
void orvelSetDelegate(objc::id self, objc::SEL, objc::id delegate) {
  // The delegate gets its generated class before the platform first sees it.
  objc::send<void>(OrvelContext::currentContext(), objc::sel<"setApplicationDelegate:">(), delegate);
  objc::send<void>(self, objc::sel<"orvelSetDelegate:">(), delegate);
}

}  // namespace

void UIApplicationOrvelAttachCategory() {
  // class_addMethod leaves an existing method alone, which makes this safe to
  // repeat, also after the exchange has swapped the implementations.
  objc::addMethod(objc::UIApplication::class_(), objc::sel<"orvelSetDelegate:">(), &orvelSetDelegate);
}
