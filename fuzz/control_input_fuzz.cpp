// Fuzzes InputActions::perform over a backend that records instead of posting: any body ends
// in an answer that serialises or in an expected error, a failure posts nothing, and no request
// scrolls more than 20 steps.
#include "base/app_error.hpp"
#include "control_service/http_codec.hpp"
#include "input/input_actions.hpp"

#include <cstdlib>

namespace {

struct RecordingBackend final : zel::InputBackend {
    bool trusted() override { return true; }
    zel::DisplayBounds mainDisplayBounds() override { return {0, 0, 1920, 1080}; }
    void postMouse(zel::MouseEventType, zel::ScreenPoint point, zel::MouseButton) override {
        if (!(point.x >= 0 && point.x <= 1920 && point.y >= 0 && point.y <= 1080)) {
            std::abort(); // normalized points must land on the display
        }
        ++events;
    }
    void postScroll(int) override {
        if (++scrolls > 20) {
            std::abort();
        }
        ++events;
    }
    bool canPostKey(zel::Key, zel::KeyModifiers) override { return true; }
    void postKey(zel::Key, bool, zel::KeyModifiers) override { ++events; }
    void pause(std::chrono::microseconds duration) override {
        if (duration.count() < 0) {
            std::abort();
        }
    }
    int events = 0;
    int scrolls = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RecordingBackend backend;
    bool failed = false;
    try {
        const auto answer = zel::InputActions::perform(
            backend, std::string_view(reinterpret_cast<const char*>(data), size));
        if (answer.at("ok") != true || !answer.at("action").is_string()) {
            std::abort();
        }
        zel::compactJSON(answer);
    } catch (const zel::AppError&) {
        failed = true;
    } catch (const nlohmann::json::exception&) {
        failed = true;
    }
    if (failed && backend.events != 0) {
        std::abort(); // every check that can fail comes before the first event
    }
    return 0;
}
