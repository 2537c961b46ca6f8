#pragma once

#include <utility>

namespace platform {

// Makes a Qt object owned by its parent (the first argument), which deletes
// it with itself; every widget of a dialog is made this way.
template <typename T, typename Parent, typename... Args>
T* MakeChild(Parent* parent, Args&&... args) {
  return new T(std::forward<Args>(args)..., parent);
}

}  // namespace platform
