#include "platform/wayland/wayland_handles.hpp"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace zel::wayland {

void releaseProxy(wl_buffer* proxy) noexcept {
    wl_buffer_destroy(proxy);
}

void releaseProxy(wl_callback* proxy) noexcept {
    wl_callback_destroy(proxy);
}

void releaseProxy(wl_output* proxy) noexcept {
    if (wl_output_get_version(proxy) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
        wl_output_release(proxy);
    } else {
        wl_output_destroy(proxy);
    }
}

void releaseProxy(wl_registry* proxy) noexcept {
    wl_registry_destroy(proxy);
}

void releaseProxy(wl_seat* proxy) noexcept {
    wl_seat_destroy(proxy);
}

void releaseProxy(wl_shm* proxy) noexcept {
    wl_shm_destroy(proxy);
}

void releaseProxy(wl_shm_pool* proxy) noexcept {
    wl_shm_pool_destroy(proxy);
}

void releaseProxy(zwlr_screencopy_frame_v1* proxy) noexcept {
    zwlr_screencopy_frame_v1_destroy(proxy);
}

void releaseProxy(zwlr_screencopy_manager_v1* proxy) noexcept {
    zwlr_screencopy_manager_v1_destroy(proxy);
}

void releaseProxy(zwlr_virtual_pointer_manager_v1* proxy) noexcept {
    zwlr_virtual_pointer_manager_v1_destroy(proxy);
}

void releaseProxy(zwlr_virtual_pointer_v1* proxy) noexcept {
    zwlr_virtual_pointer_v1_destroy(proxy);
}

void releaseProxy(zwp_virtual_keyboard_manager_v1* proxy) noexcept {
    zwp_virtual_keyboard_manager_v1_destroy(proxy);
}

void releaseProxy(zwp_virtual_keyboard_v1* proxy) noexcept {
    zwp_virtual_keyboard_v1_destroy(proxy);
}

void releaseProxy(zxdg_output_manager_v1* proxy) noexcept {
    zxdg_output_manager_v1_destroy(proxy);
}

void releaseProxy(zxdg_output_v1* proxy) noexcept {
    zxdg_output_v1_destroy(proxy);
}

} // namespace zel::wayland
