// Owners of the C objects the X11 backends hold, each with its library's release function.
#pragma once

#include "base/c_handle.hpp"

#include <X11/Xauth.h>
#include <pixman.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace zel::x11 {

// xcb's replies, errors and events are malloc'd by the library.
template <class T>
using Reply = CMemory<T>;
using ErrorReply = CMemory<xcb_generic_error_t>;
using EventPtr = CMemory<xcb_generic_event_t>;

using ConnectionPtr = CHandle<xcb_connection_t, xcb_disconnect>;
using AuthPtr = CHandle<Xauth, XauDisposeAuth>;
using KeySymbolsPtr = CHandle<xcb_key_symbols_t, xcb_key_symbols_free>;
using PixmanImagePtr = CHandle<pixman_image_t, pixman_image_unref>;

} // namespace zel::x11
