// Internal to libpal's thread, queue, cmder and qbuf units: allocation that
// reports failure as a value instead of an exception.
#pragma once

#include <memory>
#include <new>
#include <utility>

#include "liblog.h"

namespace pal {

/// std::make_unique that returns nullptr (and logs "size=%u malloc failed\n")
/// when memory runs out.
template <class T, class... A>
std::unique_ptr<T> try_make(A&&... a) {
  try {
    return std::make_unique<T>(std::forward<A>(a)...);
  } catch (const std::bad_alloc&) {
    log2_printf(nullptr, LV_ERR, "pal", __FILE__, __LINE__, __func__, "size=%u malloc failed\n",
                static_cast<unsigned>(sizeof(T)));
    return nullptr;
  }
}

/// A zeroed byte block of `size` bytes, or nullptr when memory runs out.
inline std::unique_ptr<unsigned char[]> try_bytes(size_t size) {
  try {
    return std::make_unique<unsigned char[]>(size);
  } catch (const std::bad_alloc&) {
    log2_printf(nullptr, LV_ERR, "pal", __FILE__, __LINE__, __func__, "size=%u malloc failed\n",
                static_cast<unsigned>(size));
    return nullptr;
  }
}

}  // namespace pal
