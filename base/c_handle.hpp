// Ownership of C library handles: std::unique_ptr with the library's own release function.
#pragma once

#include <cstdlib>
#include <memory>

namespace zel {

// Calls `release` on a non-null handle: CHandle<QRcode, QRcode_free>.
template <auto release>
struct CRelease {
    template <typename T>
    void operator()(T* handle) const noexcept {
        release(handle);
    }
};

template <typename T, auto release>
using CHandle = std::unique_ptr<T, CRelease<release>>;

// Memory from malloc, as many C libraries hand out their results.
template <typename T>
using CMemory = CHandle<T, std::free>;

} // namespace zel
