// Compositors the wlroots backends cannot serve: one without their protocols (a bare compositor
// of the test's own) and none at all. Each gives its clear failure, and the app's choice of
// platform reads the same reason. One that goes away costs the request that finds it gone; the
// next one connects afresh. Neither has a window list.
#include "capture/screenshot.hpp"
#include "input/input_actions.hpp"
#include "platform/wayland/toplevel_windows.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>
#include <wayland-server.h>

namespace zel {
namespace {

using ::testing::HasSubstr;

constexpr const char* kNoScreencopy =
    "The Wayland compositor offers no screen capture (zwlr_screencopy_manager_v1).";

// A compositor of shared memory and nothing else, at `name` in XDG_RUNTIME_DIR.
class BareCompositor {
public:
    explicit BareCompositor(const char* name) : display_(wl_display_create()) {
        if (wl_display_add_socket(display_, name) != 0) {
            throw std::runtime_error(std::string("cannot listen at ") + name);
        }
        wl_display_init_shm(display_);
        thread_ = std::thread(wl_display_run, display_);
    }
    BareCompositor(const BareCompositor&) = delete;
    BareCompositor& operator=(const BareCompositor&) = delete;
    ~BareCompositor() {
        wl_display_terminate(display_);
        thread_.join();
        wl_display_destroy_clients(display_);
        wl_display_destroy(display_);
    }

private:
    wl_display* display_;
    std::thread thread_;
};

TEST(WaylandCompositors, WithoutTheProtocolsGoneAndBack) {
    const test::TempDir dir;
    const test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().c_str());
    const std::string socket = (dir.path() / "bare-0").string();
    const auto capture = wayland::makeCaptureBackend(socket);
    const auto input = wayland::makeInputBackend(socket);
    const auto screenshot = [&] {
        return test::errorText([&] { Screenshot::capture(*capture, "png", 640, 80); });
    };
    const auto refused = [&] {
        EXPECT_FALSE(input->trusted());
        EXPECT_EQ(test::errorText([&] { InputActions::perform(*input, R"({"action":"click"})"); }),
                  wayland::kNoVirtualInputMessage);
    };
    auto compositor = std::make_unique<BareCompositor>("bare-0");
    for (const char* part : {"lacks zwlr_screencopy_manager_v1", "zwlr_virtual_pointer_manager_v1",
                             "zwp_virtual_keyboard_manager_v1"}) {
        EXPECT_THAT(wayland::unsupportedReason(socket), HasSubstr(part));
    }
    EXPECT_EQ(wayland::makeForeignToplevelWindows(socket), nullptr);
    EXPECT_EQ(screenshot(), kNoScreencopy);
    refused();
    compositor.reset();
    EXPECT_THAT(screenshot(), HasSubstr("The connection to the Wayland compositor was lost"));
    const std::string none = "Cannot connect to the Wayland compositor at " + socket;
    EXPECT_THAT(screenshot(), HasSubstr(none));
    EXPECT_THAT(wayland::unsupportedReason(socket), HasSubstr(none));
    EXPECT_EQ(wayland::makeForeignToplevelWindows(socket), nullptr);
    refused();
    compositor = std::make_unique<BareCompositor>("bare-0");
    EXPECT_EQ(screenshot(), kNoScreencopy);
}

} // namespace
} // namespace zel
