// Feeds arbitrary request bodies to MainProcessInput::perform over a backend that posts nothing:
// every body must end in a response or one of the expected errors, never a crash.
#include "app/app_error.hpp"
#include "input/main_process_input.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

class NullBackend final : public zel::InputBackend {
public:
    bool trusted() override { return true; }
    zel::DisplayBounds mainDisplayBounds() override { return {0, 0, 1512, 982}; }
    void postMouse(zel::MouseEventType /*type*/, zel::ScreenPoint point,
                   zel::MouseButton /*button*/) override {
        // Clamping keeps every point on the display.
        if (!(point.x >= 0 && point.x <= 1512 && point.y >= 0 && point.y <= 982)) {
            std::abort();
        }
    }
    void postScroll(int /*lineDelta*/) override { ++scrolls; }
    bool canPostKey(zel::Key /*key*/, zel::KeyModifiers /*modifiers*/) override { return true; }
    void postKey(zel::Key /*key*/, bool /*down*/, zel::KeyModifiers /*modifiers*/) override {}
    void pause(std::chrono::microseconds /*duration*/) override {}

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
