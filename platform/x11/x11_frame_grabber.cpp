// MIT-SHM grab of a root-window area, XFixes cursor blended in with pixman.
#include "platform/x11/x11_frame_grabber.hpp"

#include "base/c_handle.hpp"

#include <algorithm>
#include <mutex>
#include <pixman.h>
#include <stdexcept>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

namespace zel::x11 {
namespace {

[[noreturn]] void throwRequestFailure(const Connection& connection, const char* what,
                                      const xcb_generic_error_t* error) {
    if (connection.broken()) {
        throw std::runtime_error("The connection to the X server was lost.");
    }
    throw std::runtime_error(std::string("The X server refused to ") + what + " (X error " +
                             std::to_string(error != nullptr ? error->error_code : 0) + ").");
}

// Grabs are copied as BGRX words, so anything but 32-bit little-endian 8-8-8 RGB is refused
// up front rather than shown in wrong colours.
void requireBgrx(const Connection& connection) {
    const xcb_setup_t* setup = xcb_get_setup(connection.get());
    const xcb_screen_t& screen = connection.screen();
    int bitsPerPixel = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == screen.root_depth) {
            bitsPerPixel = it.data->bits_per_pixel;
        }
    }
    const xcb_visualtype_t* visual = nullptr;
    for (auto depth = xcb_screen_allowed_depths_iterator(&screen); depth.rem > 0 && !visual;
         xcb_depth_next(&depth)) {
        for (auto it = xcb_depth_visuals_iterator(depth.data); it.rem > 0;
             xcb_visualtype_next(&it)) {
            if (it.data->visual_id == screen.root_visual) {
                visual = it.data;
                break;
            }
        }
    }
    if (bitsPerPixel != 32 || visual == nullptr || visual->red_mask != 0xff0000 ||
        visual->green_mask != 0xff00 || visual->blue_mask != 0xff ||
        setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        throw std::runtime_error(
            "The screen's pixel format (depth " + std::to_string(screen.root_depth) + ", " +
            std::to_string(bitsPerPixel) + " bits per pixel) cannot be captured.");
    }
}

} // namespace

// A System V segment attached by us and by the X server. It is marked for removal as soon as
// both are attached, so it disappears with the last detach even if this process dies.
class SharedMemorySegment {
public:
    SharedMemorySegment(std::shared_ptr<Connection> connection, std::size_t size)
        : connection_(std::move(connection)), size_(size) {
        const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id < 0) {
            throw std::runtime_error("Cannot create a shared-memory segment.");
        }
        address_ = ::shmat(id, nullptr, 0);
        if (address_ == reinterpret_cast<void*>(-1)) { // NOLINT(performance-no-int-to-ptr)
            ::shmctl(id, IPC_RMID, nullptr);
            throw std::runtime_error("Cannot attach a shared-memory segment.");
        }
        xcb_connection_t* c = connection_->get();
        segment_ = xcb_generate_id(c);
        const Reply<xcb_generic_error_t> error(xcb_request_check(
            c, xcb_shm_attach_checked(c, segment_, static_cast<std::uint32_t>(id), 0)));
        ::shmctl(id, IPC_RMID, nullptr);
        if (error || connection_->broken()) {
            ::shmdt(address_);
            throw std::runtime_error("The X server cannot attach the shared-memory segment.");
        }
    }
    SharedMemorySegment(const SharedMemorySegment&) = delete;
    SharedMemorySegment& operator=(const SharedMemorySegment&) = delete;
    ~SharedMemorySegment() {
        xcb_shm_detach(connection_->get(), segment_);
        xcb_flush(connection_->get());
        ::shmdt(address_);
    }

    [[nodiscard]] std::uint8_t* data() const { return static_cast<std::uint8_t*>(address_); }
    [[nodiscard]] xcb_shm_seg_t id() const { return segment_; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] const Connection* connection() const { return connection_.get(); }

private:
    std::shared_ptr<Connection> connection_;
    std::size_t size_ = 0;
    void* address_ = nullptr;
    xcb_shm_seg_t segment_ = 0;
};

struct SegmentPool::State {
    std::size_t maxIdle;
    std::mutex mutex;
    std::vector<std::unique_ptr<SharedMemorySegment>> idle; // guarded by mutex
};

SegmentPool::SegmentPool(std::size_t maxIdle) : state_(std::make_shared<State>()) {
    state_->maxIdle = maxIdle;
}

SegmentPool::~SegmentPool() {
    // Lent segments keep the state alive and are released when they come back.
    const std::lock_guard guard(state_->mutex);
    state_->maxIdle = 0;
    state_->idle.clear();
}

void SegmentPool::Return::operator()(SharedMemorySegment* segment) const noexcept {
    std::unique_ptr<SharedMemorySegment> owned(segment);
    if (!state || segment->connection()->broken()) {
        return;
    }
    const std::lock_guard guard(state->mutex);
    if (state->idle.size() < state->maxIdle) {
        state->idle.push_back(std::move(owned));
    }
}

SegmentPool::Lease SegmentPool::take(const std::shared_ptr<Connection>& connection,
                                     std::size_t size) {
    std::unique_ptr<SharedMemorySegment> found;
    std::vector<std::unique_ptr<SharedMemorySegment>> stale;
    {
        const std::lock_guard guard(state_->mutex);
        auto& idle = state_->idle;
        // Segments of a replaced or broken connection can never serve again.
        for (auto it = idle.begin(); it != idle.end();) {
            if ((*it)->connection() != connection.get() || (*it)->connection()->broken()) {
                stale.push_back(std::move(*it));
                it = idle.erase(it);
            } else {
                ++it;
            }
        }
        const auto fits = std::find_if(idle.begin(), idle.end(), [size](const auto& segment) {
            return segment->size() >= size;
        });
        if (fits != idle.end()) {
            found = std::move(*fits);
            idle.erase(fits);
        }
    }
    if (!found) {
        found = std::make_unique<SharedMemorySegment>(connection, size);
    }
    return Lease(found.release(), Return{state_});
}

std::size_t SegmentPool::idleCount() const {
    const std::lock_guard guard(state_->mutex);
    return state_->idle.size();
}

FrameGrabber::FrameGrabber(std::shared_ptr<Connection> connection, Area area, bool drawsCursor,
                           SegmentPool* pool)
    : connection_(std::move(connection)), area_(area), drawsCursor_(drawsCursor) {
    if (connection_->broken()) {
        throw std::runtime_error("The connection to the X server was lost.");
    }
    if (area_.width < 1 || area_.height < 1) {
        throw std::runtime_error("The display has no pixels to capture.");
    }
    requireBgrx(*connection_);
    xcb_connection_t* c = connection_->get();
    // XFixes serves a client only after it has told its version. The server handles requests
    // in order, so the version request need only go out before the first cursor request; its
    // reply is not awaited. Cheap, so told every time rather than remembered per connection.
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    drawsCursor_ = drawsCursor_ && xfixes != nullptr && xfixes->present != 0;
    if (drawsCursor_) {
        xcb_discard_reply(
            c, xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION)
                   .sequence);
    }
    const std::size_t size =
        static_cast<std::size_t>(area_.width) * static_cast<std::size_t>(area_.height) * 4;
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
    if (shm != nullptr && shm->present != 0) {
        try {
            segment_ = pool != nullptr
                           ? pool->take(connection_, size)
                           : SegmentPool::Lease(new SharedMemorySegment(connection_, size), {});
        } catch (const std::runtime_error&) {
            // A server on another machine cannot see our memory: GetImage below does instead.
            segment_.reset();
        }
    }
    if (connection_->broken()) {
        throw std::runtime_error("The connection to the X server was lost.");
    }
    if (segment_) {
        frame_ = {segment_->data(), area_.width, area_.height,
                  static_cast<std::size_t>(area_.width) * 4};
    } else {
        fallback_.resize(size);
        frame_ = {fallback_.data(), area_.width, area_.height,
                  static_cast<std::size_t>(area_.width) * 4};
    }
}

FrameGrabber::~FrameGrabber() = default;

std::uint32_t FrameGrabber::requestImage() {
    xcb_connection_t* c = connection_->get();
    const auto x = static_cast<std::int16_t>(area_.x);
    const auto y = static_cast<std::int16_t>(area_.y);
    const auto w = static_cast<std::uint16_t>(area_.width);
    const auto h = static_cast<std::uint16_t>(area_.height);
    if (segment_) {
        return xcb_shm_get_image(c, connection_->root(), x, y, w, h, ~0U, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                 segment_->id(), 0)
            .sequence;
    }
    return xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection_->root(), x, y, w, h, ~0U)
        .sequence;
}

void FrameGrabber::receiveImage(std::uint32_t sequence) {
    xcb_connection_t* c = connection_->get();
    xcb_generic_error_t* rawError = nullptr;
    if (segment_) {
        const Reply<xcb_shm_get_image_reply_t> reply(
            xcb_shm_get_image_reply(c, xcb_shm_get_image_cookie_t{sequence}, &rawError));
        const Reply<xcb_generic_error_t> error(rawError);
        if (!reply) {
            throwRequestFailure(*connection_, "capture the screen", error.get());
        }
        return;
    }
    const Reply<xcb_get_image_reply_t> reply(
        xcb_get_image_reply(c, xcb_get_image_cookie_t{sequence}, &rawError));
    const Reply<xcb_generic_error_t> error(rawError);
    if (!reply) {
        throwRequestFailure(*connection_, "capture the screen", error.get());
    }
    const auto length = static_cast<std::size_t>(xcb_get_image_data_length(reply.get()));
    if (length < fallback_.size()) {
        throw std::runtime_error("The X server returned a short screen image.");
    }
    std::copy_n(xcb_get_image_data(reply.get()), fallback_.size(), fallback_.begin());
}

std::uint32_t FrameGrabber::requestCursor() {
    return xcb_xfixes_get_cursor_image(connection_->get()).sequence;
}

void FrameGrabber::blendCursor(std::uint32_t sequence) {
    const Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(xcb_xfixes_get_cursor_image_reply(
        connection_->get(), xcb_xfixes_get_cursor_image_cookie_t{sequence}, nullptr));
    // A hidden or unavailable cursor is simply not drawn; the frame is still good.
    if (!cursor || cursor->width == 0 || cursor->height == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get()) <
            static_cast<int>(cursor->width) * cursor->height) {
        return;
    }
    // XFixes hands out premultiplied ARGB words, which is pixman's a8r8g8b8.
    const CHandle<pixman_image_t, pixman_image_unref> source(pixman_image_create_bits(
        PIXMAN_a8r8g8b8, cursor->width, cursor->height,
        xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width * 4));
    const CHandle<pixman_image_t, pixman_image_unref> target(pixman_image_create_bits_no_clear(
        PIXMAN_x8r8g8b8, frame_.width, frame_.height, reinterpret_cast<std::uint32_t*>(frame_.data),
        static_cast<int>(frame_.stride)));
    if (!source || !target) {
        return;
    }
    pixman_image_composite32(PIXMAN_OP_OVER, source.get(), nullptr, target.get(), 0, 0, 0, 0,
                             cursor->x - cursor->xhot - area_.x, cursor->y - cursor->yhot - area_.y,
                             cursor->width, cursor->height);
}

PixelView FrameGrabber::grab() {
    const std::uint32_t image = requestImage();
    if (drawsCursor_) {
        const std::uint32_t cursor = requestCursor();
        try {
            receiveImage(image);
        } catch (...) {
            // Collect the cursor reply too, so it does not linger in the shared connection.
            const Reply<xcb_xfixes_get_cursor_image_reply_t> dropped(
                xcb_xfixes_get_cursor_image_reply(
                    connection_->get(), xcb_xfixes_get_cursor_image_cookie_t{cursor}, nullptr));
            throw;
        }
        blendCursor(cursor);
    } else {
        receiveImage(image);
    }
    return frame_;
}

} // namespace zel::x11
