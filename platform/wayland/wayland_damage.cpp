// A watch is one connection and one thread that keeps a copy with damage in flight on every
// output: the compositor answers one only once something was drawn there, with the damage since
// this client's last copy, so a still desktop costs nothing, and the next one is asked for at once,
// so every frame the compositor draws is reported (at most its refresh rate; the live view paces
// what it sends, not what it learns). The copies themselves are thrown away; the capture streams
// take their own.
#include "platform/wayland/wayland_damage.hpp"

#include "platform/wayland/wayland_screencopy.hpp"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <algorithm>
#include <atomic>
#include <pthread.h>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

namespace zel::wayland {
namespace {

using namespace std::chrono_literals;

// How soon the thread sees that the watch is going.
constexpr auto kStopCheck = 100ms;

// One output's copy in flight.
struct Watched {
    std::string id;
    Rect layout;
    int transform = 0;
    Proxy<zwlr_screencopy_frame_v1> frame;
    CopyState copy;
    bool copying = false;
    std::unique_ptr<SharedBuffer> buffer;
};

class WaylandChangeWatch final : public ChangeWatch {
public:
    WaylandChangeWatch(const std::string& socket, std::function<void(const ChangeReport&)> changed)
        : changed_(std::move(changed)), connection_(std::make_unique<Connection>(socket)) {
        if (connection_->screencopy() == nullptr || connection_->shm() == nullptr ||
            connection_->screencopyVersion() < 2) {
            throw std::runtime_error("The Wayland compositor reports no damage "
                                     "(zwlr_screencopy_manager_v1 version 2).");
        }
        thread_ = std::thread([this] { run(); });
        pthread_setname_np(thread_.native_handle(), "zel-damage");
    }

    ~WaylandChangeWatch() override {
        stopping_ = true;
        thread_.join();
    }

private:
    void run() {
        changed_({{}, true, false});
        try {
            while (!stopping_) {
                ChangeReport report;
                {
                    const auto lock = connection_->lock();
                    report.everything = followLayout();
                    request();
                    connection_->dispatchFor([this] { return anyAnswer(); },
                                             std::chrono::steady_clock::now() + kStopCheck);
                    collect(report);
                }
                if (report.everything || !report.rects.empty()) {
                    changed_(report);
                }
            }
        } catch (const std::exception&) {
            changed_({{}, true, true});
        }
    }

    // Starts over when outputs came, went, moved or turned; true then.
    bool followLayout() {
        std::vector<std::tuple<std::string, int, int, int, int, int>> now;
        for (const auto& output : connection_->outputs()) {
            const Rect rect = Connection::rect(*output);
            now.emplace_back(output->id(), rect.x, rect.y, rect.width, rect.height,
                             output->transform);
        }
        std::vector<std::tuple<std::string, int, int, int, int, int>> before;
        for (const auto& w : watched_) {
            before.emplace_back(w->id, w->layout.x, w->layout.y, w->layout.width, w->layout.height,
                                w->transform);
        }
        if (now == before) {
            return false;
        }
        watched_.clear();
        for (const auto& [id, x, y, width, height, transform] : now) {
            auto w = std::make_unique<Watched>();
            w->id = id;
            w->layout = {x, y, width, height};
            w->transform = transform;
            watched_.push_back(std::move(w));
        }
        return true;
    }

    // A copy request on every output without one, and the copy itself once the buffer is known.
    void request() {
        for (const auto& w : watched_) {
            if (!w->frame) {
                const auto output =
                    std::find_if(connection_->outputs().begin(), connection_->outputs().end(),
                                 [&](const auto& o) { return o->id() == w->id; });
                if (output == connection_->outputs().end()) {
                    continue;
                }
                w->copy = {};
                w->copying = false;
                w->frame.reset(zwlr_screencopy_manager_v1_capture_output(
                    connection_->screencopy(), 1, (*output)->output.get()));
                zwlr_screencopy_frame_v1_add_listener(w->frame.get(), &kFrameListener, &w->copy);
            }
        }
    }

    [[nodiscard]] bool described(const Watched& w) const {
        return w.copy.format && (w.copy.bufferDone || connection_->screencopyVersion() < 3);
    }

    [[nodiscard]] bool anyAnswer() const {
        return std::any_of(watched_.begin(), watched_.end(), [this](const auto& w) {
            return w->frame && (w->copy.failed || w->copy.ready || (!w->copying && described(*w)));
        });
    }

    void collect(ChangeReport& report) {
        for (const auto& w : watched_) {
            if (!w->frame) {
                continue;
            }
            if (w->copy.failed) {
                // The output is going, or the buffer no longer fits: ask afresh.
                w->frame.reset();
                w->buffer.reset();
            } else if (w->copy.ready) {
                for (const Rect& damage : w->copy.damage) {
                    report.rects.push_back(layoutRect(damage, w->copy.width, w->copy.height,
                                                      w->copy.yInverted, w->transform, w->layout));
                }
                w->frame.reset();
            } else if (!w->copying && described(*w)) {
                const CopyState& c = w->copy;
                if (!w->buffer || !w->buffer->fits(*c.format, c.width, c.height, c.stride)) {
                    w->buffer = std::make_unique<SharedBuffer>(connection_->shm(), *c.format,
                                                               c.width, c.height, c.stride);
                }
                zwlr_screencopy_frame_v1_copy_with_damage(w->frame.get(), w->buffer->buffer());
                w->copying = true;
            }
        }
    }

    std::function<void(const ChangeReport&)> changed_;
    std::unique_ptr<Connection> connection_;
    std::vector<std::unique_ptr<Watched>> watched_; // the thread's; stable for the listeners
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

class WaylandChangeSource final : public ChangeSource {
public:
    explicit WaylandChangeSource(std::string socket) : socket_(std::move(socket)) {}

    std::unique_ptr<ChangeWatch> watch(std::function<void(const ChangeReport&)> changed) override {
        return std::make_unique<WaylandChangeWatch>(socket_, std::move(changed));
    }

private:
    std::string socket_;
};

} // namespace

ChangeRect layoutRect(const Rect& damage, int width, int height, bool yInverted, int transform,
                      const Rect& layout) {
    // Corners in buffer pixels, bottom-up buffers turned the right way first.
    int x0 = damage.x;
    int x1 = damage.x + damage.width;
    int y0 = yInverted ? height - damage.y - damage.height : damage.y;
    int y1 = y0 + damage.height;
    // Into the layout's orientation: the inverse of the walk the capture takes.
    const auto turned = [&](int x, int y) -> std::pair<int, int> {
        switch (transform) {
        case WL_OUTPUT_TRANSFORM_90:
            return {height - y, x};
        case WL_OUTPUT_TRANSFORM_180:
            return {width - x, height - y};
        case WL_OUTPUT_TRANSFORM_270:
            return {y, width - x};
        case WL_OUTPUT_TRANSFORM_FLIPPED:
            return {width - x, y};
        case WL_OUTPUT_TRANSFORM_FLIPPED_90:
            return {y, x};
        case WL_OUTPUT_TRANSFORM_FLIPPED_180:
            return {x, height - y};
        case WL_OUTPUT_TRANSFORM_FLIPPED_270:
            return {height - y, width - x};
        default:
            return {x, y};
        }
    };
    const auto [u0, v0] = turned(x0, y0);
    const auto [u1, v1] = turned(x1, y1);
    const bool sideways = (transform & 1) != 0;
    const int turnedWidth = sideways ? height : width;
    const int turnedHeight = sideways ? width : height;
    if (turnedWidth < 1 || turnedHeight < 1) {
        return {layout.x, layout.y, layout.width, layout.height};
    }
    // Output pixels to layout units (a scaled output has more pixels than units), widened to
    // whole units so that nothing drawn is left out.
    const auto scaledDown = [](int v, int points, int pixels) {
        return static_cast<int>(static_cast<long long>(v) * points / pixels);
    };
    const auto scaledUp = [](int v, int points, int pixels) {
        return static_cast<int>((static_cast<long long>(v) * points + pixels - 1) / pixels);
    };
    const int left = std::min(u0, u1);
    const int right = std::max(u0, u1);
    const int top = std::min(v0, v1);
    const int bottom = std::max(v0, v1);
    const int x = layout.x + scaledDown(left, layout.width, turnedWidth);
    const int y = layout.y + scaledDown(top, layout.height, turnedHeight);
    return {x, y, layout.x + scaledUp(right, layout.width, turnedWidth) - x,
            layout.y + scaledUp(bottom, layout.height, turnedHeight) - y};
}

std::unique_ptr<ChangeSource> makeChangeSource(const std::string& socket) {
    return std::make_unique<WaylandChangeSource>(socket);
}

} // namespace zel::wayland
