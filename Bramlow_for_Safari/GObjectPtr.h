// Ownership of GObjects: one reference, dropped on every path.
#pragma once

#include <glib-object.h>

#include <memory>

namespace bramlow::setup {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes the floating reference of a new widget (or adds one), so the pointer owns it.
template <typename T>
GObjectPtr<T> adoptSink(T* object) {
  return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

}  // namespace bramlow::setup
