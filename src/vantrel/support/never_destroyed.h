// A value built in place on first use and never destroyed.
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace vantrel {

// Holds a T that is built in place and never destroyed, for process-wide state that threads
// may still use while static destructors run at exit.
template <class T>
class NeverDestroyed {
 public:
  template <class... Args>
  explicit NeverDestroyed(Args&&... args) {
    std::construct_at(reinterpret_cast<T*>(storage_), std::forward<Args>(args)...);
  }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace vantrel
