#include "platform/wayland/wayland_connection.hpp"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <stdexcept>

namespace zel::wayland {
namespace {

Connection& self(void* data) {
    return *static_cast<Connection*>(data);
}
Output& out(void* data) {
    return *static_cast<Output*>(data);
}

const wl_registry_listener kRegistryListener = {
    .global = [](void* data, wl_registry*, std::uint32_t name, const char* interface,
                 std::uint32_t version) { self(data).addGlobal(name, interface, version); },
    .global_remove = [](void* data, wl_registry*,
                        std::uint32_t name) { self(data).removeGlobal(name); },
};

const wl_output_listener kOutputListener = {
    .geometry = [](void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   std::int32_t, const char*, const char*,
                   std::int32_t transform) { out(data).transform = transform; },
    .mode =
        [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
           std::int32_t) {
            if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
                out(data).modeWidth = width;
                out(data).modeHeight = height;
            }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*, std::int32_t factor) { out(data).scale = factor; },
    .name = [](void* data, wl_output*,
               const char* name) { out(data).name = name != nullptr ? name : ""; },
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kXdgOutputListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
            out(data).x = x;
            out(data).y = y;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
            out(data).width = width;
            out(data).height = height;
            out(data).hasLogical = true;
        },
    .done = [](void*, zxdg_output_v1*) {},
    .name = [](void* data, zxdg_output_v1*,
               const char* name) { out(data).name = name != nullptr ? name : ""; },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

template <typename T>
T* bind(wl_registry* registry, std::uint32_t name, const wl_interface& interface,
        std::uint32_t offered, std::uint32_t wanted) {
    return static_cast<T*>(wl_registry_bind(registry, name, &interface, std::min(offered, wanted)));
}

} // namespace

std::string socketName(const std::string& socket) {
    if (!socket.empty()) {
        return socket;
    }
    const char* env = std::getenv("WAYLAND_DISPLAY");
    return env != nullptr && *env != '\0' ? env : "wayland-0";
}

Connection::Connection(const std::string& socket) : socket_(socketName(socket)) {
    display_.reset(wl_display_connect(socket_.c_str()));
    if (!display_) {
        throw std::runtime_error("Cannot connect to the Wayland compositor at " + socket_ + ": " +
                                 std::strerror(errno) + ".");
    }
    globals_.registry.reset(wl_display_get_registry(display_.get()));
    wl_registry_add_listener(globals_.registry.get(), &kRegistryListener, this);
    // The first round trip brings the globals, the second what the new output objects report.
    roundtrip();
    roundtrip();
}

Connection::~Connection() {
    // The proxies' destructor requests go out before the display closes.
    outputs_.clear();
    globals_ = {};
    if (display_ && !broken()) {
        wl_display_flush(display_.get());
    }
}

void Connection::addGlobal(std::uint32_t name, const char* interface, std::uint32_t version) {
    const std::string_view kind(interface);
    wl_registry* registry = globals_.registry.get();
    if (kind == wl_output_interface.name) {
        auto output = std::make_unique<Output>();
        output->global = name;
        output->output.reset(bind<wl_output>(registry, name, wl_output_interface, version, 4));
        wl_output_add_listener(output->output.get(), &kOutputListener, output.get());
        describe(*output);
        outputs_.push_back(std::move(output));
    } else if (kind == wl_shm_interface.name && !globals_.shm) {
        globals_.shm.reset(bind<wl_shm>(registry, name, wl_shm_interface, version, 1));
    } else if (kind == wl_seat_interface.name && !globals_.seat) {
        globals_.seat.reset(bind<wl_seat>(registry, name, wl_seat_interface, version, 1));
    } else if (kind == zxdg_output_manager_v1_interface.name && !globals_.xdgOutputManager) {
        globals_.xdgOutputManager.reset(bind<zxdg_output_manager_v1>(
            registry, name, zxdg_output_manager_v1_interface, version, 3));
        for (const auto& output : outputs_) {
            describe(*output);
        }
    } else if (kind == zwlr_screencopy_manager_v1_interface.name && !globals_.screencopy) {
        globals_.screencopy.reset(bind<zwlr_screencopy_manager_v1>(
            registry, name, zwlr_screencopy_manager_v1_interface, version, 3));
        screencopyVersion_ = std::min(version, 3U);
    } else if (kind == zwlr_virtual_pointer_manager_v1_interface.name && !globals_.pointerManager) {
        globals_.pointerManager.reset(bind<zwlr_virtual_pointer_manager_v1>(
            registry, name, zwlr_virtual_pointer_manager_v1_interface, version, 2));
    } else if (kind == zwp_virtual_keyboard_manager_v1_interface.name &&
               !globals_.keyboardManager) {
        globals_.keyboardManager.reset(bind<zwp_virtual_keyboard_manager_v1>(
            registry, name, zwp_virtual_keyboard_manager_v1_interface, version, 1));
    }
}

void Connection::removeGlobal(std::uint32_t name) {
    std::erase_if(outputs_, [name](const auto& output) { return output->global == name; });
}

void Connection::describe(Output& output) {
    if (!globals_.xdgOutputManager || output.xdgOutput) {
        return;
    }
    output.xdgOutput.reset(zxdg_output_manager_v1_get_xdg_output(globals_.xdgOutputManager.get(),
                                                                 output.output.get()));
    zxdg_output_v1_add_listener(output.xdgOutput.get(), &kXdgOutputListener, &output);
}

Rect Connection::rect(const Output& output) {
    if (output.hasLogical) {
        return {output.x, output.y, output.width, output.height};
    }
    const int scale = std::max(output.scale, 1);
    return {0, 0, output.modeWidth / scale, output.modeHeight / scale};
}

bool Connection::broken() const {
    return failed_ || wl_display_get_error(display_.get()) != 0;
}

void Connection::fail(const char* what) {
    failed_ = true;
    const int error = wl_display_get_error(display_.get());
    if (error == EPROTO) {
        const wl_interface* interface = nullptr;
        std::uint32_t id = 0;
        const std::uint32_t code = wl_display_get_protocol_error(display_.get(), &interface, &id);
        throw std::runtime_error("The Wayland compositor refused a request (" +
                                 std::string(interface != nullptr ? interface->name : "?") +
                                 " error " + std::to_string(code) + ").");
    }
    throw std::runtime_error(std::string("The connection to the Wayland compositor was lost") +
                             (what != nullptr ? std::string(" (") + what + ")" : "") + ".");
}

void Connection::flush() {
    while (wl_display_flush(display_.get()) < 0) {
        if (errno != EAGAIN) {
            fail("flush");
        }
        pollfd pfd{wl_display_get_fd(display_.get()), POLLOUT, 0};
        ::poll(&pfd, 1, 100);
    }
}

void Connection::dispatchUntil(const std::function<bool()>& done,
                               std::chrono::steady_clock::time_point deadline) {
    if (!dispatchFor(done, deadline)) {
        failed_ = true;
        throw std::runtime_error("The Wayland compositor did not answer in time.");
    }
}

bool Connection::dispatchFor(const std::function<bool()>& done,
                             std::chrono::steady_clock::time_point deadline) {
    wl_display* display = display_.get();
    while (true) {
        while (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0) {
                fail("dispatch");
            }
        }
        if (done()) {
            wl_display_cancel_read(display);
            return true;
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            fail("flush");
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            wl_display_cancel_read(display);
            return false;
        }
        pollfd pfd{wl_display_get_fd(display), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            if (wl_display_read_events(display) < 0) {
                fail("read");
            }
        } else {
            wl_display_cancel_read(display);
            if (ready < 0 && errno != EINTR) {
                fail("poll");
            }
        }
        if (wl_display_dispatch_pending(display) < 0) {
            fail("dispatch");
        }
    }
}

void Connection::roundtrip() {
    bool answered = false;
    const Proxy<wl_callback> callback(wl_display_sync(display_.get()));
    static const wl_callback_listener kListener = {
        .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
    };
    wl_callback_add_listener(callback.get(), &kListener, &answered);
    dispatchUntil([&] { return answered; }, std::chrono::steady_clock::now() + kAnswerLimit);
}

std::vector<std::string> Connection::missingCaptureProtocols() const {
    std::vector<std::string> missing;
    if (!globals_.screencopy) {
        missing.emplace_back(zwlr_screencopy_manager_v1_interface.name);
    }
    if (!globals_.shm) {
        missing.emplace_back(wl_shm_interface.name);
    }
    return missing;
}

std::vector<std::string> Connection::missingInputProtocols() const {
    std::vector<std::string> missing;
    if (!globals_.pointerManager) {
        missing.emplace_back(zwlr_virtual_pointer_manager_v1_interface.name);
    }
    if (!globals_.keyboardManager) {
        missing.emplace_back(zwp_virtual_keyboard_manager_v1_interface.name);
    }
    if (!globals_.seat) {
        missing.emplace_back(wl_seat_interface.name);
    }
    return missing;
}

std::string unsupportedReason(const std::string& socket) {
    try {
        const Connection connection(socket);
        std::vector<std::string> missing = connection.missingCaptureProtocols();
        for (std::string& name : connection.missingInputProtocols()) {
            missing.push_back(std::move(name));
        }
        if (missing.empty()) {
            return {};
        }
        std::string text = "The Wayland compositor at " + socketName(socket) + " lacks";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            text += (i == 0 ? " " : ", ") + missing[i];
        }
        return text + ".";
    } catch (const std::exception& error) {
        return error.what();
    }
}

std::shared_ptr<Connection> ConnectionCache::get() {
    const std::lock_guard guard(mutex_);
    if (connection_) {
        const auto lock = connection_->lock();
        if (!connection_->broken()) {
            return connection_;
        }
    }
    connection_ = std::make_shared<Connection>(socket_);
    return connection_;
}

} // namespace zel::wayland
