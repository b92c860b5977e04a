// The control service: a TCP listener on the loopback addresses that answers one request per
// connection, checks the secret and routes to the screenshot and input handlers it is given. Its
// one client is the agent server on this machine, so nothing on the network reaches it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// A rectangle in desktop pixels.
struct ScreenBox {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const ScreenBox&) const = default;
};

// What changed on the screen, for the settle route: the boxes in desktop pixels (grouped, the
// whole display when it cannot be said), the newest change sequence, and the first display.
struct ScreenChanges {
    std::uint64_t sequence = 0;
    std::vector<ScreenBox> boxes;
    ScreenBox display;
};

// The work behind the two routes. Both block and may throw; their what() becomes the answer.
struct ControlHandlers {
    // format is "png" or "jpeg", width 320..2560, quality 25..90; returns the encoded image.
    std::function<std::vector<std::uint8_t>(std::string_view format, int width, int quality)>
        screenshot;
    // The raw request body; returns the JSON answer.
    std::function<nlohmann::json(std::string_view body)> input;
    // The tiles route (both or neither): awaitChange calls `changed` once, from any thread, when
    // the screen has changed after sequence `since`, and returns at once; it throws when changes
    // cannot be watched, which the route answers with 501, as it does without the two. tiles
    // captures and encodes what changed after `since` (width and quality as for screenshot;
    // `copies`: the viewer takes copied areas and PNG tiles; `pointer`: it draws the pointer
    // itself, frames come without the cursor and its moves are no change; `videoBitrate`, bits/s,
    // 0 for none: it decodes H.264, so a moving area may come as video, at `videoWidth`'s scale).
    std::function<void(std::uint64_t since, std::function<void()> changed, bool pointer)>
        awaitChange;
    std::function<std::vector<std::uint8_t>(std::uint64_t since, int width, int quality,
                                            bool copies, bool pointer, int videoBitrate,
                                            int videoWidth)>
        tiles;
    // The accessibility routes (both or neither; without them 501): the tree from the query's
    // items as an object of strings (the secret left out), an action from the raw body.
    std::function<nlohmann::json(const nlohmann::json& query)> accessibilityTree;
    std::function<nlohmann::json(std::string_view body)> accessibilityAct;
    // GET /windows: the desktop's top-level windows as JSON. POST /windows/focus: the raw body
    // ({"id":…}); returns the JSON answer. Without them the routes answer 501.
    std::function<nlohmann::json()> windows;
    std::function<nlohmann::json(std::string_view body)> focusWindow;
    // The pointer routes (all three or none): awaitPointer as awaitChange, for the pointer's
    // sequence; pointer its JSON state; pointerShape a JSON head line and the shape's PNG.
    std::function<void(std::uint64_t since, std::function<void()> changed)> awaitPointer;
    std::function<std::string()> pointer;
    std::function<std::string()> pointerShape;
    // The screenshot route with a region: that area of the first display (desktop pixels) at
    // its own pixels, scaled down to `width` when narrower (0: its own width).
    std::function<std::vector<std::uint8_t>(std::string_view format, int width, int quality,
                                            ScreenBox region)>
        zoom;
    // The settle route over the change log (with awaitChange): what changed after `since`
    // (0: nothing yet). Without them, `compareFrames` makes a comparison whose every call
    // captures the screen and answers what changed since its previous call (the first: nothing).
    // Both block and throw what a screenshot throws.
    std::function<ScreenChanges(std::uint64_t since)> changesSince;
    std::function<std::function<ScreenChanges()>()> compareFrames;
};

struct ControlServiceConfig {
    std::uint16_t port = 8788; // 0 lets the system pick one (tests)
    std::string secret;
    ControlHandlers handlers;
    // A peer that sends nothing this long is closed without an answer.
    std::chrono::milliseconds idleTimeout{10'000};
    // A peer that does not take its answer this long is dropped.
    std::chrono::milliseconds writeTimeout{30'000};
    // A pause after the system runs out of descriptors or buffers, before accepting again.
    std::chrono::milliseconds acceptPause{100};
    std::size_t networkThreads = 2;
    std::size_t captureThreads = 4;
    std::size_t inputThreads = 4;
    // Connections over this many close the one that has waited longest without sending a byte,
    // or themselves when every one is busy, unanswered and unlogged: a flood of idle peers must
    // take neither every descriptor nor the agent server's turn.
    std::size_t maxConnections = 64;
};

class ControlService {
public:
    // Binds the port on 127.0.0.1 and, where the system has IPv6, on ::1, and starts accepting.
    // Throws std::system_error with the platform's text when the port cannot be used.
    explicit ControlService(ControlServiceConfig config);
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;
    // Cancels, then waits for running captures and inputs; queued work is dropped.
    ~ControlService();

    // The bound port (the chosen one when the config asked for 0).
    [[nodiscard]] std::uint16_t port() const;
    // Stops accepting. Connections already accepted finish on their own.
    void cancel();

private:
    class Runtime;
    std::unique_ptr<Runtime> runtime_;
};

// Creates the service and logs the outcome: "Screenshot service listening on 127.0.0.1:<port>",
// or "Unable to start control service: <reason>" and nothing (the caller works on without it).
std::shared_ptr<ControlService> startControlService(ControlServiceConfig config);

} // namespace zel
