// A watch is one connection and one thread that keeps a copy with damage in flight on every
// output: the compositor answers one only once something was drawn there, with the damage since
// this client's last copy, so a still desktop costs nothing, and the next one is asked for at once,
// so every frame the compositor draws is reported (at most its refresh rate; the live view paces
// what it sends, not what it learns).
// While an area grabber has asked for pixels lately, the copies are of whole outputs, and each
// stays on a shelf as the output's frame until the next is ready: the grabber reads the changed
// areas from there without a capture of its own. Otherwise a copy is of a single point (the damage
// still covers the whole output), so that watching costs the compositor no whole copy per frame.
#include "platform/wayland/wayland_damage.hpp"

#include "platform/wayland/wayland_screencopy.hpp"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

namespace zel::wayland {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How soon the thread sees that the watch is going.
constexpr auto kStopCheck = 100ms;
// How long whole copies go on after a grabber last asked: a typist's pause, not a viewer gone.
constexpr auto kWholeCopiesFor = 10s;

// The newest whole copy of each output, shared by a source's watches and grabbers.
struct Shelf {
    struct Frame {
        const void* watch; // whose buffer holds the pixels
        std::string id;
        Rect layout;
        Walk walk;
        bool swapRedBlue = false;
    };
    std::mutex mutex;
    std::vector<Frame> frames; // guarded by mutex; their pixels stay until taken off
    // When a grabber last asked, as the clock's count; kNever before that.
    static constexpr Clock::rep kNever = std::numeric_limits<Clock::rep>::min();
    std::atomic<Clock::rep> wantedAt = kNever;

    // Takes off what `watch` put there for the output `id` (any output when empty).
    void take(const void* watch, const std::string& id = {}) {
        const std::lock_guard guard(mutex);
        std::erase_if(
            frames, [&](const Frame& f) { return f.watch == watch && (id.empty() || f.id == id); });
    }
    [[nodiscard]] bool wanted() const {
        const Clock::rep at = wantedAt.load();
        return at != kNever &&
               Clock::now().time_since_epoch() - Clock::duration(at) < kWholeCopiesFor;
    }
};

// One output's copy in flight.
struct Watched {
    std::string id;
    Rect layout;
    int transform = 0;
    int pixelWidth = 0; // the output's own pixels (its mode), where a point's damage lies
    int pixelHeight = 0;
    Proxy<zwlr_screencopy_frame_v1> frame;
    CopyState copy;
    bool copying = false;
    bool whole = false; // the copy in flight is of the whole output
    // Whole copies alternate between the two: one filling, the other on the shelf.
    std::unique_ptr<SharedBuffer> buffers[2];
    int filling = 0;
    std::unique_ptr<SharedBuffer> point;
};

class WaylandChangeWatch final : public ChangeWatch {
public:
    WaylandChangeWatch(const std::string& socket, std::shared_ptr<Shelf> shelf,
                       std::function<void(const ChangeReport&)> changed)
        : changed_(std::move(changed)), shelf_(std::move(shelf)),
          connection_(std::make_unique<Connection>(socket)) {
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
        shelf_->take(this); // before the buffers go
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
                                             Clock::now() + kStopCheck);
                    collect(report);
                }
                if (report.everything || !report.rects.empty()) {
                    changed_(report);
                }
            }
        } catch (const std::exception&) {
            shelf_->take(this);
            changed_({{}, true, true});
        }
    }

    // Starts over when outputs came, went, moved, turned or changed mode; true then.
    bool followLayout() {
        using Layout = std::tuple<std::string, int, int, int, int, int, int, int>;
        std::vector<Layout> now;
        for (const auto& output : connection_->outputs()) {
            const Rect rect = Connection::rect(*output);
            now.emplace_back(output->id(), rect.x, rect.y, rect.width, rect.height,
                             output->transform, output->modeWidth, output->modeHeight);
        }
        std::vector<Layout> before;
        for (const auto& w : watched_) {
            before.emplace_back(w->id, w->layout.x, w->layout.y, w->layout.width, w->layout.height,
                                w->transform, w->pixelWidth, w->pixelHeight);
        }
        if (now == before) {
            return false;
        }
        shelf_->take(this);
        watched_.clear();
        for (const auto& [id, x, y, width, height, transform, pixelWidth, pixelHeight] : now) {
            auto w = std::make_unique<Watched>();
            w->id = id;
            w->layout = {x, y, width, height};
            w->transform = transform;
            w->pixelWidth = pixelWidth;
            w->pixelHeight = pixelHeight;
            watched_.push_back(std::move(w));
        }
        return true;
    }

    // A copy request on every output without one, and the copy itself once the buffer is known.
    void request() {
        const bool wholeWanted = shelf_->wanted();
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
                // A point's damage is placed by the output's pixels, so it needs them known.
                w->whole = wholeWanted || w->pixelWidth < 1 || w->pixelHeight < 1;
                w->frame.reset(w->whole ? zwlr_screencopy_manager_v1_capture_output(
                                              connection_->screencopy(), 1, (*output)->output.get())
                                        : zwlr_screencopy_manager_v1_capture_output_region(
                                              connection_->screencopy(), 1, (*output)->output.get(),
                                              0, 0, 1, 1));
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
                shelf_->take(this, w->id);
                w->frame.reset();
                w->buffers[0].reset();
                w->buffers[1].reset();
                w->point.reset();
            } else if (w->copy.ready) {
                const int width = w->whole ? w->copy.width : w->pixelWidth;
                const int height = w->whole ? w->copy.height : w->pixelHeight;
                for (const Rect& damage : w->copy.damage) {
                    report.rects.push_back(layoutRect(damage, width, height, w->copy.yInverted,
                                                      w->transform, w->layout));
                }
                shelve(*w);
                w->frame.reset();
            } else if (!w->copying && described(*w)) {
                const CopyState& c = w->copy;
                std::unique_ptr<SharedBuffer>& buffer =
                    w->whole ? w->buffers[w->filling] : w->point;
                if (!buffer || !buffer->fits(*c.format, c.width, c.height, c.stride)) {
                    buffer = std::make_unique<SharedBuffer>(connection_->shm(), *c.format, c.width,
                                                            c.height, c.stride);
                }
                zwlr_screencopy_frame_v1_copy_with_damage(w->frame.get(), buffer->buffer());
                w->copying = true;
            }
        }
    }

    // A whole copy goes on the shelf in place of the one before, whose buffer fills next; after
    // a point's copy the output has no frame there.
    void shelve(Watched& w) {
        const std::optional<bool> swap = swapsRedBlue(*w.copy.format);
        Shelf::Frame frame{this, w.id, w.layout, {}, swap.value_or(false)};
        if (w.whole && swap) {
            frame.walk = walk(w.buffers[w.filling]->view(), w.transform, w.copy.yInverted);
        }
        // Only a copy at the layout's own size can stand for areas of it (not so on a scaled
        // output).
        const bool fits = w.whole && swap && frame.walk.width == w.layout.width &&
                          frame.walk.height == w.layout.height;
        const std::lock_guard guard(shelf_->mutex);
        std::erase_if(shelf_->frames, [&](const Shelf::Frame& f) { return f.id == w.id; });
        if (fits) {
            shelf_->frames.push_back(std::move(frame));
            w.filling ^= 1;
        }
    }

    std::function<void(const ChangeReport&)> changed_;
    std::shared_ptr<Shelf> shelf_;
    std::unique_ptr<Connection> connection_;
    std::vector<std::unique_ptr<Watched>> watched_; // the thread's; stable for the listeners
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

// Areas from the watch's shelf. With nothing there (no watch yet, or its copies have been of a
// point until now) a grab fails, the caller captures the whole frame instead, and the watch turns
// to whole copies for the grabs that follow.
class WaylandAreaGrabber final : public AreaGrabber {
public:
    explicit WaylandAreaGrabber(std::shared_ptr<Shelf> shelf) : shelf_(std::move(shelf)) {}

    void grab(const ChangeRect& area, PixelView into, bool cursor) override {
        shelf_->wantedAt = Clock::now().time_since_epoch().count();
        if (!cursor) {
            throw std::runtime_error("The Wayland change source keeps the cursor in its frames.");
        }
        const std::lock_guard guard(shelf_->mutex);
        const auto frame =
            std::find_if(shelf_->frames.begin(), shelf_->frames.end(), [&](const Shelf::Frame& f) {
                return area.x >= f.layout.x && area.y >= f.layout.y &&
                       area.x + area.width <= f.layout.x + f.layout.width &&
                       area.y + area.height <= f.layout.y + f.layout.height;
            });
        if (frame == shelf_->frames.end()) {
            throw std::runtime_error("No whole copy of the display is at hand yet.");
        }
        const int x = area.x - frame->layout.x;
        const int y = area.y - frame->layout.y;
        const int width = std::min(area.width, into.width);
        for (int row = 0; row < std::min(area.height, into.height); ++row) {
            copyPixels(frame->walk, frame->walk.at(x, y + row), width, frame->swapRedBlue,
                       into.data + row * into.stride);
        }
    }

private:
    std::shared_ptr<Shelf> shelf_;
};

class WaylandChangeSource final : public ChangeSource {
public:
    explicit WaylandChangeSource(std::string socket) : socket_(std::move(socket)) {}

    std::unique_ptr<ChangeWatch> watch(std::function<void(const ChangeReport&)> changed) override {
        return std::make_unique<WaylandChangeWatch>(socket_, shelf_, std::move(changed));
    }

    std::unique_ptr<AreaGrabber> areaGrabber() override {
        return std::make_unique<WaylandAreaGrabber>(shelf_);
    }

    [[nodiscard]] bool reportsFrames() const override { return true; }

private:
    std::string socket_;
    std::shared_ptr<Shelf> shelf_ = std::make_shared<Shelf>();
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
