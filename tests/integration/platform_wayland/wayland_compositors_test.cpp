// Compositors the wlroots backends cannot serve: one without their protocols (a bare compositor
// of the test's own, offering an output, a seat and shared memory) and none at all. Each gives
// its clear failure, and the app's choice of platform reads the same reason. One that goes away
// costs the request that finds it gone; the next one connects afresh.
#include "capture/main_process_screenshot.hpp"
#include "input/main_process_input.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "platform/wayland/wayland_input.hpp"
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

TEST(WaylandCompositors, WithoutTheProtocolsOrWithoutACompositor) {
    const test::TempDir dir;
    const std::string bare = (dir.path() / "bare-0").string();
    const BareCompositor compositor(bare);
    const struct {
        std::string socket;
        std::vector<std::string> reason;
        std::string screenshotError;
    } kCases[] = {
        {bare,
         {"lacks zwlr_screencopy_manager_v1", "zwlr_virtual_pointer_manager_v1",
          "zwp_virtual_keyboard_manager_v1"},
         kNoScreencopy},
        {(dir.path() / "nobody-here").string(),
         {"Cannot connect to the Wayland compositor at"},
         "Cannot connect to the Wayland compositor at"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.socket);
        const std::string reason = wayland::unsupportedReason(c.socket);
        for (const std::string& part : c.reason) {
            EXPECT_THAT(reason, HasSubstr(part));
        }
        const auto capture = wayland::makeCaptureBackend(c.socket);
        try {
            MainProcessScreenshot::capture(*capture, "png", 640, 80);
            ADD_FAILURE() << "a screenshot was taken";
        } catch (const std::exception& error) {
            EXPECT_THAT(error.what(), HasSubstr(c.screenshotError));
        }
        const auto input = wayland::makeInputBackend(c.socket);
        EXPECT_FALSE(input->trusted());
        try {
            MainProcessInput::perform(*input, R"({"action":"click"})");
            ADD_FAILURE() << "input was accepted";
        } catch (const std::exception& error) {
            EXPECT_EQ(error.what(), std::string(MainProcessInput::kNotTrustedMessage));
        }
    }
}

TEST(WaylandCompositors, GoneAndBackAtTheSameSocket) {
    const test::TempDir dir;
    const std::string socket = (dir.path() / "bare-0").string();
    const auto capture = wayland::makeCaptureBackend(socket);
    const auto screenshot = [&]() -> std::string {
        try {
            MainProcessScreenshot::capture(*capture, "png", 640, 80);
            return "taken";
        } catch (const std::exception& error) {
            return error.what();
        }
    };
    auto compositor = std::make_unique<BareCompositor>(socket);
    EXPECT_EQ(screenshot(), kNoScreencopy);
    compositor.reset();
    EXPECT_THAT(screenshot(), HasSubstr("The connection to the Wayland compositor was lost"));
    EXPECT_THAT(screenshot(), HasSubstr("Cannot connect to the Wayland compositor at " + socket));
    compositor = std::make_unique<BareCompositor>(socket);
    EXPECT_EQ(screenshot(), kNoScreencopy);
}

} // namespace
} // namespace zel
