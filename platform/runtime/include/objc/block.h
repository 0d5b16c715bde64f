// Blocks: callables that are run-time objects (class "NSBlock"), so that a
// completion handler can be nil, stored in a collection or passed through a
// message send like any other object.
#pragma once

#include <functional>
#include <utility>

#include "objc/object.h"

namespace objc {

class NSBlock : public NSObject {
 public:
  static Class class_();
  Ref<NSObject> copy() const override;
};

template <class Sig>
class Block;

template <class R, class... A>
class Block<R(A...)> final : public NSBlock {
 public:
  using Signature = R(A...);
  explicit Block(std::function<R(A...)> fn) : fn_(std::move(fn)) {}
  R operator()(A... args) const { return fn_(std::forward<A>(args)...); }

 private:
  std::function<R(A...)> fn_;
};

template <class Sig>
using BlockRef = Ref<Block<Sig>>;

template <class Sig, class F>
BlockRef<Sig> makeBlock(F&& fn);

// Calls a block that may be nil; a nil block does nothing.
template <class R, class... A, class... Args>
void callBlock(const Block<R(A...)>* block, Args&&... args) {
  if (block) (*block)(std::forward<Args>(args)...);
}

}  // namespace objc
