// Feeds arbitrary request bodies to MainProcessInput::perform over a backend that posts nothing:
// every body must end in a response or one of the expected errors, never a crash.
#include "base/app_error.hpp"
#include "input/main_process_input.hpp"

#include <cstdlib>

namespace {

struct NullBackend final : zel::InputBackend {
    bool trusted() override { return true; }
    zel::DisplayBounds mainDisplayBounds() override { return {0, 0, 1512, 982}; }
    void postMouse(zel::MouseEventType, zel::ScreenPoint p, zel::MouseButton) override {
        if (!(p.x >= 0 && p.x <= 1512 && p.y >= 0 && p.y <= 982)) { // clamped onto the display
            std::abort();
        }
    }
    void postScroll(int) override { ++scrolls; }
    bool canPostKey(zel::Key, zel::KeyModifiers) override { return true; }
    void postKey(zel::Key, bool, zel::KeyModifiers) override {}
    void pause(std::chrono::microseconds) override {}
    int scrolls = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    NullBackend backend;
    try {
        const auto response = zel::MainProcessInput::perform(
            backend, std::string_view(reinterpret_cast<const char*>(data), size));
        if (response.at("ok") != true || response.at("action").get<std::string>().empty()) {
            std::abort();
        }
    } catch (const zel::AppError&) {
    } catch (const nlohmann::json::exception&) { // the parser's errors, number overflow included
    }
    if (backend.scrolls > 20) {
        std::abort();
    }
    return 0;
}
