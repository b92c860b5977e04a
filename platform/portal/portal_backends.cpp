// Capture keeps one PipeWire connection per portal session and hands its newest frame to every
// stream; the change source listens to the same connection's frames and reads areas from them;
// input turns the actions into the RemoteDesktop notifications, keys as keysyms (the
// compositor finds their key and level in its own keymap).
#include "platform/portal/portal_backends.hpp"

#include "base/app_error.hpp"
#include "capture/platform_frame_stream.hpp"
#include "input/key_symbols.hpp"
#include "platform/portal/frame_changes.hpp"
#include "platform/portal/pipewire_frames.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <thread>
#include <utility>

namespace zel::portal {
namespace {

// A request arriving while the user is answering the dialog waits this long for the answer.
constexpr std::chrono::milliseconds kConsentWait{1000};
// The second delivery of a stream, after the kept frame's at its start.
constexpr std::chrono::milliseconds kSecondDelivery{3};
// PipeWire's first frame comes within tens of milliseconds of the stream's start; a compositor
// drawing in software on a busy machine has been seen to take over 5 s.
constexpr std::chrono::seconds kFirstFrame{12};
// How often a change watch asks again for a screen the user has not shared (yet).
constexpr std::chrono::seconds kWatchRetry{1};

constexpr std::int32_t kButtonLeft = 0x110;   // evdev BTN_LEFT
constexpr std::int32_t kButtonRight = 0x111;  // evdev BTN_RIGHT
constexpr std::int32_t kButtonMiddle = 0x112; // evdev BTN_MIDDLE
constexpr std::uint32_t kVerticalAxis = 0;
constexpr std::uint32_t kHorizontalAxis = 1;
constexpr std::uint32_t kControlL = 0xffe3;
constexpr std::uint32_t kShiftL = 0xffe1;
constexpr std::uint32_t kUnicodeKeysyms = 0x1000000;
// Devices of a new session reach the clients after a moment; events before that are lost.
constexpr std::chrono::milliseconds kWarmUp{200};

// The frames of the session that runs now, made again once it is a new session or broke.
class FrameCache {
public:
    explicit FrameCache(std::shared_ptr<Session> session) : session_(std::move(session)) {}

    std::shared_ptr<PipeWireFrames> get(const SharedMonitor& monitor) {
        const std::lock_guard guard(mutex_);
        if (!frames_ || frames_->broken() || node_ != monitor.node) {
            frames_.reset();
            frames_ =
                std::make_shared<PipeWireFrames>(session_->openPipeWireRemote(), monitor.node);
            node_ = monitor.node;
        }
        return frames_;
    }

private:
    std::shared_ptr<Session> session_;
    std::mutex mutex_;
    std::shared_ptr<PipeWireFrames> frames_;
    std::uint32_t node_ = 0;
};

std::string displayId(const SharedMonitor& monitor) {
    return "portal-" + std::to_string(monitor.node);
}

class PortalFrameStream final : public PlatformFrameStream {
public:
    PortalFrameStream(std::shared_ptr<Session> session, std::shared_ptr<FrameCache> cache,
                      CaptureDisplay display, const StreamConfiguration& configuration)
        : session_(std::move(session)), cache_(std::move(cache)), display_(std::move(display)),
          configuration_(configuration) {}

    ~PortalFrameStream() override {
        stopCapture();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void startCapture() override {
        checkStart(thread_.joinable(), configuration_);
        // On the caller's thread, so that a failure is the start's own error.
        const SharedMonitor monitor = session_->require(Session::Part::screen, kConsentWait);
        if (displayId(monitor) != display_.id) {
            throw std::runtime_error("The display " + display_.id + " is no longer shared.");
        }
        frames_ = cache_->get(monitor);
        // The kept frame is there at once, perhaps before a screenshot's receiver waits (it then
        // takes the next delivery): the second follows soon.
        thread_ = std::thread([this] { runFrames(configuration_, kSecondDelivery); });
        pthread_setname_np(thread_.native_handle(), "zel-capture");
    }

private:
    // The newest kept frame, changed or not, as the other platforms grab one; only the first
    // grab waits, for the stream's first frame (a stop meanwhile waits for it too).
    ConstPixelView grab() override {
        frame_ = frames_->next(0, std::chrono::steady_clock::now() + kFirstFrame);
        if (!frame_) {
            throw std::runtime_error("The desktop portal's stream sent no frame.");
        }
        return std::as_const(frame_->image).view();
    }

    std::shared_ptr<Session> session_;
    std::shared_ptr<FrameCache> cache_;
    CaptureDisplay display_;
    StreamConfiguration configuration_;
    std::shared_ptr<PipeWireFrames> frames_;
    std::optional<PipeWireFrames::Frame> frame_; // the last grab's, valid until the next
    std::thread thread_;
};

class PortalCaptureBackend final : public CaptureBackend {
public:
    PortalCaptureBackend(std::shared_ptr<Session> session, std::shared_ptr<FrameCache> cache)
        : session_(std::move(session)), cache_(std::move(cache)) {}

    std::vector<CaptureDisplay> displays() override {
        const SharedMonitor monitor = session_->require(Session::Part::screen, kConsentWait);
        return {{displayId(monitor), monitor.width, monitor.height, monitor.x, monitor.y}};
    }

    std::unique_ptr<FrameStream> makeStream(const CaptureDisplay& display,
                                            const StreamConfiguration& configuration) override {
        return std::make_unique<PortalFrameStream>(session_, cache_, display, configuration);
    }

private:
    std::shared_ptr<Session> session_;
    std::shared_ptr<FrameCache> cache_;
};

ChangeRect monitorRect(const SharedMonitor& monitor) {
    return {monitor.x, monitor.y, monitor.width, monitor.height};
}

// Follows the frames of whichever session runs: until the user shares the screen it reports
// nothing, and after a stream ends it takes up the next session's, everything changed then.
class PortalChangeWatch final : public ChangeWatch {
public:
    PortalChangeWatch(std::shared_ptr<Session> session, std::shared_ptr<FrameCache> cache,
                      std::function<void(const ChangeReport&)> changed)
        : session_(std::move(session)), cache_(std::move(cache)), changed_(std::move(changed)) {
        thread_ = std::thread([this] { run(); });
        pthread_setname_np(thread_.native_handle(), "zel-damage");
    }

    ~PortalChangeWatch() override {
        {
            const std::lock_guard guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    void run() {
        changed_({{}, true, false});
        bool first = true;
        while (!stopping_) {
            std::shared_ptr<PipeWireFrames> frames;
            SharedMonitor monitor;
            try {
                monitor = session_->require(Session::Part::screen, kConsentWait);
                frames = cache_->get(monitor);
            } catch (const std::exception&) {
                std::unique_lock guard(mutex_);
                wake_.wait_for(guard, kWatchRetry, [this] { return stopping_; });
                continue;
            }
            if (!first) {
                changed_({{}, true, false}); // what the stream showed meanwhile is not known
            }
            first = false;
            {
                const std::lock_guard guard(mutex_);
                streamEnded_ = false;
            }
            const std::uint64_t id = frames->listen([this, monitor](const ChangeReport& report,
                                                                    int width, int height) {
                if (report.ended) {
                    const std::lock_guard guard(mutex_);
                    streamEnded_ = true;
                    wake_.notify_all();
                    return;
                }
                ChangeReport placed{{}, report.everything, false};
                for (const ChangeRect& rect : report.rects) {
                    placed.rects.push_back(onMonitor(rect, width, height, monitorRect(monitor)));
                }
                changed_(placed);
            });
            {
                std::unique_lock guard(mutex_);
                // A stream that failed before the listener came tells nobody: ask it.
                wake_.wait(guard, [&] { return stopping_ || streamEnded_ || frames->broken(); });
            }
            frames->unlisten(id);
        }
    }

    std::shared_ptr<Session> session_;
    std::shared_ptr<FrameCache> cache_;
    std::function<void(const ChangeReport&)> changed_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;    // guarded by mutex_
    bool streamEnded_ = false; // guarded by mutex_
    std::thread thread_;
};

// Areas of the kept frame, where it has the monitor's own size (a scaled monitor's frames are
// captured whole).
class PortalAreaGrabber final : public AreaGrabber {
public:
    PortalAreaGrabber(std::shared_ptr<Session> session, std::shared_ptr<FrameCache> cache)
        : session_(std::move(session)), cache_(std::move(cache)) {}

    // The stream embeds the cursor as it draws it: this platform cannot leave it out.
    void grab(const ChangeRect& area, PixelView into, bool /*cursor*/) override {
        const SharedMonitor monitor = session_->require(Session::Part::screen);
        const ChangeRect inFrame{area.x - monitor.x, area.y - monitor.y, area.width, area.height};
        if (!cache_->get(monitor)->read(inFrame, into, monitor.width, monitor.height)) {
            throw std::runtime_error("The shared screen's frame does not hold the area.");
        }
    }

private:
    std::shared_ptr<Session> session_;
    std::shared_ptr<FrameCache> cache_;
};

class PortalChangeSource final : public ChangeSource {
public:
    PortalChangeSource(std::shared_ptr<Session> session, std::shared_ptr<FrameCache> cache)
        : session_(std::move(session)), cache_(std::move(cache)) {}

    std::unique_ptr<ChangeWatch> watch(std::function<void(const ChangeReport&)> changed) override {
        return std::make_unique<PortalChangeWatch>(session_, cache_, std::move(changed));
    }

    std::unique_ptr<AreaGrabber> areaGrabber() override {
        return std::make_unique<PortalAreaGrabber>(session_, cache_);
    }

    [[nodiscard]] bool reportsFrames() const override { return true; }

private:
    std::shared_ptr<Session> session_;
    std::shared_ptr<FrameCache> cache_;
};

class PortalInputBackend final : public InputBackend {
public:
    explicit PortalInputBackend(std::shared_ptr<Session> session) : session_(std::move(session)) {}

    // Throws the waiting or refusal text rather than answering false: the request's answer then
    // says what the user has to do.
    bool trusted() override {
        const SharedMonitor monitor = session_->require(Session::Part::control, kConsentWait);
        const std::lock_guard guard(mutex_);
        if (warmedNode_ != monitor.node) {
            // A harmless event for each device, then the moment clients need to take them up.
            try {
                session_->keyboardKeysym(kShiftL, true);
                session_->keyboardKeysym(kShiftL, false);
                session_->pointerAxisDiscrete(kVerticalAxis, 0);
            } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): the real ones tell
            }
            std::this_thread::sleep_for(kWarmUp);
            warmedNode_ = monitor.node;
        }
        return true;
    }

    DisplayBounds mainDisplayBounds() override {
        const SharedMonitor monitor = session_->require(Session::Part::screen, kConsentWait);
        return {static_cast<double>(monitor.x), static_cast<double>(monitor.y),
                static_cast<double>(monitor.width), static_cast<double>(monitor.height)};
    }

    void postMouse(MouseEventType type, ScreenPoint point, MouseButton button) override {
        quietly([&] {
            const SharedMonitor monitor = session_->require(Session::Part::control);
            // Motion is placed on the control session's monitor, in its own pixels.
            const auto along = [](double coordinate, int origin, int extent) {
                const double at = std::isnan(coordinate) ? 0 : std::round(coordinate) - origin;
                return std::clamp(at, 0.0, std::max(0.0, extent - 1.0));
            };
            session_->pointerMotionAbsolute(along(point.x, monitor.x, monitor.width),
                                            along(point.y, monitor.y, monitor.height));
            const std::int32_t code = button == MouseButton::left    ? kButtonLeft
                                      : button == MouseButton::right ? kButtonRight
                                                                     : kButtonMiddle;
            switch (type) {
            case MouseEventType::leftDown:
            case MouseEventType::rightDown:
            case MouseEventType::middleDown:
                session_->pointerButton(code, true);
                break;
            case MouseEventType::leftUp:
            case MouseEventType::rightUp:
            case MouseEventType::middleUp:
                session_->pointerButton(code, false);
                break;
            case MouseEventType::moved:
            case MouseEventType::leftDragged:
            case MouseEventType::rightDragged:
                break;
            }
        });
    }

    void postScroll(int lineDelta) override {
        if (lineDelta == 0) {
            return;
        }
        // One notch per step; the portal's axis grows downwards.
        quietly([&] { session_->pointerAxisDiscrete(kVerticalAxis, lineDelta > 0 ? -1 : 1); });
    }

    void postHorizontalScroll(int columnDelta) override {
        if (columnDelta == 0) {
            return;
        }
        // The horizontal axis grows to the right.
        quietly([&] { session_->pointerAxisDiscrete(kHorizontalAxis, columnDelta > 0 ? 1 : -1); });
    }

    bool canPostKey(Key /*key*/, KeyModifiers /*modifiers*/) override {
        return session_->state(Session::Part::control) == Session::State::running;
    }

    void postKey(Key key, bool down, KeyModifiers modifiers) override {
        quietly([&] {
            const bool control = modifiers == KeyModifiers::command;
            if (down && control) {
                session_->keyboardKeysym(kControlL, true);
            }
            session_->keyboardKeysym(keysymOf(key), down);
            if (!down && control) {
                session_->keyboardKeysym(kControlL, false);
            }
        });
    }

    std::size_t typeText(std::u32string_view text, std::chrono::microseconds pause) override {
        std::size_t typed = 0;
        for (const char32_t character : text) {
            const std::uint32_t sym = keysymFor(character);
            // Mutter (43) finds a key only for keysyms of its keymap and drops the Unicode
            // ones (0x1000000 + code point) without a word: those are not counted as struck.
            if (sym >= kUnicodeKeysyms) {
                continue;
            }
            try {
                session_->keyboardKeysym(sym, true);
                session_->keyboardKeysym(sym, false);
            } catch (const std::exception&) {
                return typed;
            }
            ++typed;
            this->pause(pause);
        }
        return typed;
    }

    bool canType(char32_t character) override { return keysymFor(character) < kUnicodeKeysyms; }

private:
    static std::uint32_t keysymFor(char32_t character) {
        return character == U'\n'   ? keysymOf(Key::returnKey)
               : character == U'\t' ? keysymOf(Key::tab)
                                    : keysymOf(character);
    }

    // Posting never fails: an event the session cannot take is skipped.
    template <typename Post>
    static void quietly(Post&& post) {
        try {
            post();
        } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): see InputBackend
        }
    }

    std::shared_ptr<Session> session_;
    std::mutex mutex_;
    std::uint32_t warmedNode_ = 0; // guarded by mutex_
};

} // namespace

Backends makeBackends(const std::shared_ptr<Session>& session) {
    auto cache = std::make_shared<FrameCache>(session);
    return {std::make_unique<PortalCaptureBackend>(session, cache),
            std::make_unique<PortalInputBackend>(session),
            std::make_unique<PortalChangeSource>(session, cache)};
}

} // namespace zel::portal
