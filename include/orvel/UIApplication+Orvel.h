// The application object's category UIApplication (Orvel): the replacement
// for its delegate setter.
//
// "orvelSetDelegate:" hands the delegate to the context (which hooks it) and
// then sends "orvelSetDelegate:" again, which, once the library's load-time
// installation has exchanged it with "setDelegate:", runs the platform's own
// setter. The installation attaches the category itself; hosts never need
// to call this.
#pragma once

// Adds "orvelSetDelegate:" to UIApplication. Safe to call more than once:
// later calls change nothing.
void UIApplicationOrvelAttachCategory();
