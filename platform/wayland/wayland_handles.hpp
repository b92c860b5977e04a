// Owners of the Wayland proxies and xkbcommon objects the backends hold. A proxy goes with its
// interface's destructor request; those are static inline in the generated headers, so each
// type's release is a function of ours, defined beside that code.
#pragma once

#include "base/c_handle.hpp"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

struct zwlr_screencopy_frame_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

namespace zel::wayland {

void releaseProxy(wl_buffer* proxy) noexcept;
void releaseProxy(wl_callback* proxy) noexcept;
// wl_output.release from version 3; an older output can only be forgotten.
void releaseProxy(wl_output* proxy) noexcept;
void releaseProxy(wl_registry* proxy) noexcept;
void releaseProxy(wl_seat* proxy) noexcept;
void releaseProxy(wl_shm* proxy) noexcept;
void releaseProxy(wl_shm_pool* proxy) noexcept;
void releaseProxy(zwlr_screencopy_frame_v1* proxy) noexcept;
void releaseProxy(zwlr_screencopy_manager_v1* proxy) noexcept;
void releaseProxy(zwlr_virtual_pointer_manager_v1* proxy) noexcept;
void releaseProxy(zwlr_virtual_pointer_v1* proxy) noexcept;
void releaseProxy(zwp_virtual_keyboard_manager_v1* proxy) noexcept;
void releaseProxy(zwp_virtual_keyboard_v1* proxy) noexcept;
void releaseProxy(zxdg_output_manager_v1* proxy) noexcept;
void releaseProxy(zxdg_output_v1* proxy) noexcept;

// Proxy<wl_shm>: a proxy of any type above.
template <typename T>
using Proxy = CHandle<T, static_cast<void (*)(T*) noexcept>(releaseProxy)>;

using DisplayPtr = CHandle<wl_display, wl_display_disconnect>;
using XkbContextPtr = CHandle<xkb_context, xkb_context_unref>;
using XkbKeymapPtr = CHandle<xkb_keymap, xkb_keymap_unref>;

} // namespace zel::wayland
