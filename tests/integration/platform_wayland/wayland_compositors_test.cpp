// Compositors the wlroots backends cannot serve: one without their protocols (a bare compositor
// of the test's own, offering an output, a seat and shared memory) and none at all. Each gives
// its clear failure, and the app's choice of platform reads the same reason. One that goes away
// costs the request that finds it gone; the next one connects afresh.
#include "capture/main_process_screenshot.hpp"
#include "input/main_process_input.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <wayland-server.h>

namespace zel {
namespace {

using ::testing::HasSubstr;

constexpr const char* kNoScreencopy =
    "The Wayland compositor offers no screen capture (zwlr_screencopy_manager_v1).";

class BareCompositor {
public:
    explicit BareCompositor(const std::string& path) : display_(wl_display_create()) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::unlink(path.c_str());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 8) != 0 || wl_display_add_socket_fd(display_, fd) != 0) {
            throw std::runtime_error("cannot listen at " + path);
        }
        wl_display_init_shm(display_);
        const auto bind = [](wl_client* client, void*, std::uint32_t version, std::uint32_t id) {
            static const struct wl_output_interface kOutput = {
                .release = [](wl_client*, wl_resource* resource) { wl_resource_destroy(resource); },
            };
            wl_resource* output =
                wl_resource_create(client, &wl_output_interface, static_cast<int>(version), id);
            wl_resource_set_implementation(output, &kOutput, nullptr, nullptr);
        };
        const auto bindSeat = [](wl_client* client, void*, std::uint32_t version,
                                 std::uint32_t id) {
            wl_resource_create(client, &wl_seat_interface, static_cast<int>(version), id);
        };
        wl_global_create(display_, &wl_output_interface, 3, nullptr, bind);
        wl_global_create(display_, &wl_seat_interface, 1, nullptr, bindSeat);
        thread_ = std::thread([this] {
            wl_event_loop* loop = wl_display_get_event_loop(display_);
            while (!stopping_) {
                wl_event_loop_dispatch(loop, 20);
                wl_display_flush_clients(display_);
            }
        });
    }
    BareCompositor(const BareCompositor&) = delete;
    BareCompositor& operator=(const BareCompositor&) = delete;
    ~BareCompositor() {
        stopping_ = true;
        thread_.join();
        wl_display_destroy_clients(display_);
        wl_display_destroy(display_);
    }

private:
    wl_display* display_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

TEST(WaylandCompositors, WithoutTheProtocolsGoneAndBack) {
    const test::TempDir dir;
    const std::string socket = (dir.path() / "bare-0").string();
    const auto capture = wayland::makeCaptureBackend(socket);
    const auto input = wayland::makeInputBackend(socket);
    const auto screenshot = [&] {
        return test::errorText([&] { MainProcessScreenshot::capture(*capture, "png", 640, 80); });
    };
    const auto refused = [&] {
        EXPECT_FALSE(input->trusted());
        EXPECT_EQ(
            test::errorText([&] { MainProcessInput::perform(*input, R"({"action":"click"})"); }),
            MainProcessInput::kNotTrustedMessage);
    };
    auto compositor = std::make_unique<BareCompositor>(socket);
    for (const char* part : {"lacks zwlr_screencopy_manager_v1", "zwlr_virtual_pointer_manager_v1",
                             "zwp_virtual_keyboard_manager_v1"}) {
        EXPECT_THAT(wayland::unsupportedReason(socket), HasSubstr(part));
    }
    EXPECT_EQ(screenshot(), kNoScreencopy);
    refused();
    compositor.reset();
    EXPECT_THAT(screenshot(), HasSubstr("The connection to the Wayland compositor was lost"));
    const std::string none = "Cannot connect to the Wayland compositor at " + socket;
    EXPECT_THAT(screenshot(), HasSubstr(none));
    EXPECT_THAT(wayland::unsupportedReason(socket), HasSubstr(none));
    refused();
    compositor = std::make_unique<BareCompositor>(socket);
    EXPECT_EQ(screenshot(), kNoScreencopy);
}

} // namespace
} // namespace zel
