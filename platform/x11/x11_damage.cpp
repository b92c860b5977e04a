// A watch is one connection and one thread: a Damage object on the root window at the
// "non-empty" level, so the server sends one event per burst of drawing; the thread then takes
// the accumulated region (DamageSubtract into an XFixes region, one fetch) and reports its
// rectangles. The pointer's place is polled; its shape's serial comes with XFixes CursorNotify.
#include "platform/x11/x11_damage.hpp"

#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_frame_grabber.hpp"
#include "platform/x11/x11_handles.hpp"

#include <atomic>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <thread>
#include <utility>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

namespace zel::x11 {
namespace {

// How often the pointer is looked at: Damage does not see the cursor move, and the frames show it.
constexpr int kPointerMs = 40;
// Around the hot spot: large cursors reach about this far.
constexpr int kCursorReach = 64;

class X11ChangeWatch final : public ChangeWatch {
public:
    explicit X11ChangeWatch(std::function<void(const ChangeReport&)> changed)
        : changed_(std::move(changed)), connection_(Connection::open()) {
        xcb_connection_t* c = connection_->get();
        if (!connection_->has(xcb_damage_id) || !connection_->has(xcb_xfixes_id)) {
            throw std::runtime_error("The X server has no Damage extension.");
        }
        xcb_generic_error_t* rawError = nullptr;
        // Each extension wants its version asked before its first request.
        const auto xfixes = connection_->reply<xcb_xfixes_query_version_reply_t>(
            xcb_xfixes_query_version(c, 2, 0).sequence, &rawError, kReplyLimit);
        const ErrorReply xfixesError(rawError);
        const auto damage = connection_->reply<xcb_damage_query_version_reply_t>(
            xcb_damage_query_version(c, 1, 1).sequence, &rawError, kReplyLimit);
        const ErrorReply damageError(rawError);
        if (!xfixes || !damage) {
            connection_->throwFailure("start watching the screen",
                                      xfixesError ? xfixesError.get() : damageError.get());
        }
        damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
        cursorEvent_ =
            xcb_get_extension_data(c, &xcb_xfixes_id)->first_event + XCB_XFIXES_CURSOR_NOTIFY;
        xcb_xfixes_select_cursor_input(c, connection_->root(),
                                       XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
        if (connection_->has(xcb_randr_id)) {
            randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event +
                          XCB_RANDR_SCREEN_CHANGE_NOTIFY;
            xcb_randr_select_input(c, connection_->root(), XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
        }
        damage_ = xcb_generate_id(c);
        region_ = xcb_generate_id(c);
        xcb_damage_create(c, damage_, connection_->root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        xcb_xfixes_create_region(c, region_, 0, nullptr);
        if (!connection_->sync(kReplyLimit)) {
            connection_->throwFailure("start watching the screen", nullptr);
        }
        pointer_ = pointer();
        serial_ = cursorSerial();
        thread_ = std::thread([this] { run(); });
        pthread_setname_np(thread_.native_handle(), "zel-damage");
    }

    ~X11ChangeWatch() override {
        stopping_ = true;
        thread_.join();
        // The Damage object and the region go with the connection.
    }

private:
    struct Point {
        int x = -1;
        int y = -1;
        bool operator==(const Point&) const = default;
    };

    Point pointer() {
        xcb_generic_error_t* rawError = nullptr;
        const auto reply = connection_->reply<xcb_query_pointer_reply_t>(
            xcb_query_pointer(connection_->get(), connection_->root()).sequence, &rawError,
            kReplyLimit);
        const ErrorReply error(rawError);
        return reply && reply->same_screen ? Point{reply->root_x, reply->root_y} : Point{};
    }

    std::uint64_t cursorSerial() {
        xcb_generic_error_t* rawError = nullptr;
        const auto reply = connection_->reply<xcb_xfixes_get_cursor_image_reply_t>(
            xcb_xfixes_get_cursor_image(connection_->get()).sequence, &rawError, kReplyLimit);
        const ErrorReply error(rawError);
        return reply ? reply->cursor_serial : 0;
    }

    [[nodiscard]] PointerState pointerState() const {
        return {pointer_.x, pointer_.y, pointer_.x >= 0, serial_};
    }

    static ChangeRect around(Point point) {
        return {point.x - kCursorReach, point.y - kCursorReach, 2 * kCursorReach, 2 * kCursorReach};
    }

    void run() {
        changed_({{}, true, false, {}, pointerState()});
        xcb_connection_t* c = connection_->get();
        pollfd descriptor{xcb_get_file_descriptor(c), POLLIN, 0};
        while (!stopping_) {
            bool damaged = false;
            bool everything = false;
            const std::uint64_t serial = serial_;
            const auto take = [&](const EventPtr& event) {
                const int type = event->response_type & 0x7f;
                damaged = damaged || type == damageEvent_;
                everything = everything || (randrEvent_ != 0 && type == randrEvent_);
                if (type == cursorEvent_) {
                    serial_ = reinterpret_cast<const xcb_xfixes_cursor_notify_event_t*>(event.get())
                                  ->cursor_serial;
                }
            };
            if (queued_) {
                take(std::exchange(queued_, nullptr));
            }
            while (const EventPtr event{xcb_poll_for_event(c)}) {
                take(event);
            }
            if (connection_->broken()) {
                changed_({{}, true, true});
                return;
            }
            ChangeReport report;
            report.everything = everything;
            if (damaged) {
                xcb_damage_subtract(c, damage_, XCB_NONE, region_);
                xcb_generic_error_t* rawError = nullptr;
                const auto region = connection_->reply<xcb_xfixes_fetch_region_reply_t>(
                    xcb_xfixes_fetch_region(c, region_).sequence, &rawError, kReplyLimit);
                const ErrorReply error(rawError);
                if (region) {
                    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
                    const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
                    for (int i = 0; i < count; ++i) {
                        report.rects.push_back(
                            {rects[i].x, rects[i].y, rects[i].width, rects[i].height});
                    }
                }
            }
            const Point now = pointer();
            if (now != pointer_ || serial_ != serial) {
                // Frames with the cursor blended in changed where it was and where it is.
                if (pointer_.x >= 0) {
                    report.cursorRects.push_back(around(pointer_));
                }
                if (now.x >= 0 && now != pointer_) {
                    report.cursorRects.push_back(around(now));
                }
                pointer_ = now;
                report.pointer = pointerState();
            }
            if (report.everything || !report.rects.empty() || report.pointer) {
                changed_(report);
            }
            xcb_flush(c);
            // An event read in with the replies is already off the socket: poll would not see it.
            queued_.reset(xcb_poll_for_queued_event(c));
            if (!queued_) {
                poll(&descriptor, 1, kPointerMs);
            }
        }
    }

    std::function<void(const ChangeReport&)> changed_;
    std::shared_ptr<Connection> connection_;
    int damageEvent_ = -1;
    int randrEvent_ = 0;
    int cursorEvent_ = -1;
    xcb_damage_damage_t damage_ = 0;
    xcb_xfixes_region_t region_ = 0;
    Point pointer_;
    std::uint64_t serial_ = 0; // the thread's: the cursor shape's
    EventPtr queued_;          // the thread's
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

// Areas through MIT-SHM on a connection of its own, into one segment of the whole screen's size
// that every grab reuses (fresh shared memory is the dear part of a grab).
class X11AreaGrabber final : public AreaGrabber {
public:
    void grab(const ChangeRect& area, PixelView into, bool cursor) override {
        if (!connection_ || connection_->broken()) {
            connection_.reset();
            pool_ = std::make_unique<SegmentPool>(1);
            auto connection = Connection::open();
            const xcb_screen_t& screen = connection->screen();
            {
                // Made and let go at once: its segment waits in the pool for every later grab.
                const FrameGrabber warm(connection,
                                        {0, 0, screen.width_in_pixels, screen.height_in_pixels},
                                        true, pool_.get());
            }
            connection_ = std::move(connection);
        }
        FrameGrabber grabber(connection_, {area.x, area.y, area.width, area.height}, cursor,
                             pool_.get());
        const PixelView pixels = grabber.grab();
        for (int y = 0; y < std::min(pixels.height, into.height); ++y) {
            std::memcpy(into.data + y * into.stride, pixels.data + y * pixels.stride,
                        static_cast<std::size_t>(std::min(pixels.width, into.width)) * 4);
        }
    }

private:
    std::shared_ptr<Connection> connection_;
    std::unique_ptr<SegmentPool> pool_; // after the connection: its segments go first
};

// The cursor's image through XFixes, on a connection kept for it.
std::optional<CursorImage> cursorImage(std::shared_ptr<Connection>& connection) {
    if (!connection || connection->broken()) {
        connection = Connection::open();
        xcb_connection_t* c = connection->get();
        if (!connection->has(xcb_xfixes_id)) {
            return std::nullopt;
        }
        xcb_discard_reply(
            c, xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION)
                   .sequence);
    }
    xcb_generic_error_t* rawError = nullptr;
    const auto reply = connection->reply<xcb_xfixes_get_cursor_image_reply_t>(
        xcb_xfixes_get_cursor_image(connection->get()).sequence, &rawError, kReplyLimit);
    const ErrorReply error(rawError);
    if (!reply) {
        connection->throwFailure("read the pointer's shape", error.get());
    }
    const auto count = static_cast<std::size_t>(reply->width) * reply->height;
    if (static_cast<std::size_t>(xcb_xfixes_get_cursor_image_cursor_image_length(reply.get())) <
        count) {
        return std::nullopt;
    }
    const std::uint32_t* words = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    return CursorImage{reply->width, reply->height,        reply->xhot,
                       reply->yhot,  reply->cursor_serial, {words, words + count}};
}

class X11ChangeSource final : public ChangeSource {
public:
    std::unique_ptr<ChangeWatch> watch(std::function<void(const ChangeReport&)> changed) override {
        return std::make_unique<X11ChangeWatch>(std::move(changed));
    }
    std::unique_ptr<AreaGrabber> areaGrabber() override {
        return std::make_unique<X11AreaGrabber>();
    }
    [[nodiscard]] bool tellsPointer() const override { return true; }
    std::optional<CursorImage> cursorImage() override {
        const std::lock_guard guard(cursorMutex_);
        return x11::cursorImage(cursorConnection_);
    }

private:
    std::mutex cursorMutex_;
    std::shared_ptr<Connection> cursorConnection_; // guarded by cursorMutex_
};

} // namespace

std::unique_ptr<ChangeSource> makeChangeSource() {
    return std::make_unique<X11ChangeSource>();
}

} // namespace zel::x11
