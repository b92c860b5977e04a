// MIT-SHM grab of a root-window area, XFixes cursor blended in with pixman.
#include "platform/x11/x11_frame_grabber.hpp"

#include "capture/screenshot.hpp"
#include "platform/x11/x11_handles.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

namespace zel::x11 {
namespace {

// Whether the server writes multi-byte pixels in this machine's order, as pixman reads them.
bool nativeByteOrder(const xcb_setup_t& setup) {
    return (setup.image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) ==
           (std::endian::native == std::endian::little);
}

// The pixman format of a channel layout: contiguous red, green and blue fields packed from bit 0
// in either order, anything above them unused.
std::optional<pixman_format_code_t> pixmanFormat(int bitsPerPixel, std::uint32_t red,
                                                 std::uint32_t green, std::uint32_t blue) {
    const auto field = [](std::uint32_t mask) {
        const int shift = std::countr_zero(mask);
        const int width = std::popcount(mask);
        const bool contiguous = mask != 0 && (mask >> shift) == (1U << width) - 1;
        return std::array{contiguous ? shift : -1, width};
    };
    const auto [rs, rw] = field(red);
    const auto [gs, gw] = field(green);
    const auto [bs, bw] = field(blue);
    if (rs < 0 || gs < 0 || bs < 0 || rw > 15 || gw > 15 || bw > 15 ||
        rw + gw + bw > bitsPerPixel) {
        return std::nullopt;
    }
    int type = 0;
    if (bs == 0 && gs == bw && rs == bw + gw) {
        type = PIXMAN_TYPE_ARGB;
    } else if (rs == 0 && gs == rw && bs == rw + gw) {
        type = PIXMAN_TYPE_ABGR;
    } else {
        return std::nullopt;
    }
    const auto format =
        static_cast<pixman_format_code_t>(PIXMAN_FORMAT(bitsPerPixel, type, 0, rw, gw, bw));
    if (pixman_format_supported_source(format) == 0) {
        return std::nullopt;
    }
    return format;
}

// The layout of the root window's pixels in a Z-pixmap of the given width.
struct ServerPixels {
    pixman_format_code_t format;
    std::size_t stride; // bytes per row
};

// Throws std::runtime_error when the root visual is not TrueColor in a layout pixman reads.
ServerPixels serverPixels(const Connection& connection, int width) {
    const xcb_setup_t* setup = xcb_get_setup(connection.get());
    const xcb_screen_t& screen = connection.screen();
    int bitsPerPixel = 0;
    int scanlinePad = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == screen.root_depth) {
            bitsPerPixel = it.data->bits_per_pixel;
            scanlinePad = it.data->scanline_pad;
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
    // Colour-mapped screens (PseudoColor and the like) would need the colour map: refused.
    std::optional<pixman_format_code_t> found;
    if (visual != nullptr && visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
        (bitsPerPixel == 16 || bitsPerPixel == 24 || bitsPerPixel == 32) && scanlinePad == 32 &&
        nativeByteOrder(*setup)) {
        found = pixmanFormat(bitsPerPixel, visual->red_mask, visual->green_mask, visual->blue_mask);
    }
    if (!found) {
        throw std::runtime_error(
            "The screen's pixel format (depth " + std::to_string(screen.root_depth) + ", " +
            std::to_string(bitsPerPixel) + " bits per pixel) cannot be captured.");
    }
    // Rows are padded to whole 32-bit words, as pixman wants them too.
    const std::size_t bits = static_cast<std::size_t>(width) * bitsPerPixel;
    return {*found, (bits + 31) / 32 * 4};
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
        const xcb_void_cookie_t attach =
            xcb_shm_attach_checked(c, segment_, static_cast<std::uint32_t>(id), 0);
        // After the round trip the check below finds the answer queued instead of waiting.
        const bool answered = connection_->sync(kReplyLimit);
        const Reply<xcb_generic_error_t> error(answered ? xcb_request_check(c, attach) : nullptr);
        ::shmctl(id, IPC_RMID, nullptr);
        if (!answered || error || connection_->broken()) {
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
        connection_->throwFailure("capture the screen", nullptr);
    }
    if (area_.width < 1 || area_.height < 1) {
        throw std::runtime_error("The display has no pixels to capture.");
    }
    const ServerPixels pixels = serverPixels(*connection_, area_.width);
    serverFormat_ = pixels.format;
    serverStride_ = pixels.stride;
    xcb_connection_t* c = connection_->get();
    // XFixes serves a client only after it has told its version. The server handles requests
    // in order, so the version request need only go out before the first cursor request; its
    // reply is not awaited. Cheap, so told every time rather than remembered per connection.
    drawsCursor_ = drawsCursor_ && connection_->has(xcb_xfixes_id);
    if (drawsCursor_) {
        xcb_discard_reply(
            c, xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION)
                   .sequence);
    }
    const std::size_t size = serverStride_ * static_cast<std::size_t>(area_.height);
    if (connection_->has(xcb_shm_id)) {
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
        connection_->throwFailure("capture the screen", nullptr);
    }
    if (segment_) {
        serverPixels_ = segment_->data();
    } else {
        fallback_.resize(size);
        serverPixels_ = fallback_.data();
    }
    const std::size_t frameStride = static_cast<std::size_t>(area_.width) * 4;
    if (serverFormat_ == PIXMAN_x8r8g8b8 && serverStride_ == frameStride) {
        // The common 24-bit screen is BGRX already: the frame is the server's pixels.
        frame_ = {serverPixels_, area_.width, area_.height, frameStride};
    } else {
        converted_.resize(frameStride * static_cast<std::size_t>(area_.height));
        frame_ = {converted_.data(), area_.width, area_.height, frameStride};
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

void FrameGrabber::receiveImage(std::uint32_t sequence, Deadline deadline) {
    xcb_generic_error_t* rawError = nullptr;
    if (segment_) {
        const auto reply =
            connection_->reply<xcb_shm_get_image_reply_t>(sequence, &rawError, deadline);
        const Reply<xcb_generic_error_t> error(rawError);
        if (!reply) {
            connection_->throwFailure("capture the screen", error.get());
        }
    } else {
        const auto reply = connection_->reply<xcb_get_image_reply_t>(sequence, &rawError, deadline);
        const Reply<xcb_generic_error_t> error(rawError);
        if (!reply) {
            connection_->throwFailure("capture the screen", error.get());
        }
        const auto length = static_cast<std::size_t>(xcb_get_image_data_length(reply.get()));
        if (length < fallback_.size()) {
            throw std::runtime_error("The X server returned a short screen image.");
        }
        std::copy_n(xcb_get_image_data(reply.get()), fallback_.size(), fallback_.begin());
    }
    convert();
}

void FrameGrabber::convert() {
    if (converted_.empty()) {
        return;
    }
    // Any TrueColor layout to BGRA; pixman widens short channels by repeating their top bits,
    // so full intensity stays 255.
    const PixmanImagePtr source(pixman_image_create_bits_no_clear(
        static_cast<pixman_format_code_t>(serverFormat_), area_.width, area_.height,
        reinterpret_cast<std::uint32_t*>(serverPixels_), static_cast<int>(serverStride_)));
    const PixmanImagePtr target(pixman_image_create_bits_no_clear(
        PIXMAN_a8r8g8b8, frame_.width, frame_.height, reinterpret_cast<std::uint32_t*>(frame_.data),
        static_cast<int>(frame_.stride)));
    if (!source || !target) {
        throw std::runtime_error("The screen's pixels could not be converted.");
    }
    pixman_image_composite32(PIXMAN_OP_SRC, source.get(), nullptr, target.get(), 0, 0, 0, 0, 0, 0,
                             area_.width, area_.height);
}

std::uint32_t FrameGrabber::requestCursor() {
    return xcb_xfixes_get_cursor_image(connection_->get()).sequence;
}

void FrameGrabber::blendCursor(std::uint32_t sequence, Deadline deadline) {
    xcb_generic_error_t* rawError = nullptr;
    const auto cursor =
        connection_->reply<xcb_xfixes_get_cursor_image_reply_t>(sequence, &rawError, deadline);
    const Reply<xcb_generic_error_t> error(rawError);
    // A hidden or unavailable cursor is simply not drawn; the frame is still good.
    if (!cursor || cursor->width == 0 || cursor->height == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get()) <
            static_cast<int>(cursor->width) * cursor->height) {
        return;
    }
    // XFixes hands out premultiplied ARGB words, which is pixman's a8r8g8b8.
    const PixmanImagePtr source(pixman_image_create_bits(
        PIXMAN_a8r8g8b8, cursor->width, cursor->height,
        xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width * 4));
    const PixmanImagePtr target(pixman_image_create_bits_no_clear(
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
    // As long as a screenshot's own race: a frozen server then releases this thread (and the
    // connection, which a later grab replaces) about when the screenshot has given up on it.
    const Deadline deadline = Connection::deadlineIn(Screenshot::kFrameTimeout);
    const std::uint32_t image = requestImage();
    if (drawsCursor_) {
        const std::uint32_t cursor = requestCursor();
        try {
            receiveImage(image, deadline);
        } catch (...) {
            // Drop the cursor reply too, so it does not linger in the shared connection.
            xcb_discard_reply(connection_->get(), cursor);
            throw;
        }
        blendCursor(cursor, deadline);
    } else {
        receiveImage(image, deadline);
    }
    return frame_;
}

} // namespace zel::x11
