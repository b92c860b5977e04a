// Owners of the GLib objects the platform backends hold, each with its release function.
#pragma once

#include "base/c_handle.hpp"

#include <gio/gio.h>

namespace zel::glib {

using ErrorPtr = CHandle<GError, g_error_free>;
using StringPtr = CHandle<gchar, g_free>;
using VariantPtr = CHandle<GVariant, g_variant_unref>;
using BusPtr = CHandle<GDBusConnection, g_object_unref>;
using ContextPtr = CHandle<GMainContext, g_main_context_unref>;
using LoopPtr = CHandle<GMainLoop, g_main_loop_unref>;

} // namespace zel::glib
