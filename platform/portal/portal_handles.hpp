// Owners of the GLib and PipeWire objects the portal backends hold, each with its library's
// release function.
#pragma once

#include "base/c_handle.hpp"
#include "platform/glib_handles.hpp"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pipewire/pipewire.h>

namespace zel::portal {

// A source attached to a context stays there until destroyed; the reference goes with it.
inline void destroySource(GSource* source) noexcept {
    g_source_destroy(source);
    g_source_unref(source);
}

using glib::BusPtr;
using glib::ContextPtr;
using glib::ErrorPtr;
using glib::StringPtr;
using glib::VariantPtr;
using BuilderPtr = CHandle<GVariantBuilder, g_variant_builder_unref>;
using FdListPtr = CHandle<GUnixFDList, g_object_unref>;
using SourcePtr = CHandle<GSource, destroySource>;

using ThreadLoopPtr = CHandle<pw_thread_loop, pw_thread_loop_destroy>;
using PipeWireContextPtr = CHandle<pw_context, pw_context_destroy>;
using CorePtr = CHandle<pw_core, pw_core_disconnect>;
using StreamPtr = CHandle<pw_stream, pw_stream_destroy>;

} // namespace zel::portal
