// A key only T can make: a function that takes PassKey<T> can be called by T alone, however public
// it is (the transport's hooks between its own classes).
#pragma once

namespace platform::xpc {

template <typename T>
class PassKey {
  friend T;
  PassKey() = default;
};

}  // namespace platform::xpc
