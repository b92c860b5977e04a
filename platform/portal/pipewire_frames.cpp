// A PipeWire stream on a thread loop of its own. Each buffer that arrives is converted to BGRA
// at once and kept as the newest frame; the compositor sends a buffer only when the screen
// changed, so an idle screen is served from what was kept.
#include "platform/portal/pipewire_frames.hpp"

#include "platform/portal/pipewire_params.h"

#include <cstring>
#include <mutex>
#include <spa/param/video/raw.h>
#include <stdexcept>
#include <unistd.h>

namespace zel::portal {
namespace {

PipeWireFrames& self(void* data) {
    return *static_cast<PipeWireFrames*>(data);
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                              const char* error) { self(data).stateChanged(state, error); };
    events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format) {
            self(data).formatChanged(param);
        }
    };
    events.process = [](void* data) { self(data).process(); };
    return events;
}();

// Byte positions of blue, green and red in a 32-bit pixel of the format; nullopt for others.
struct Order {
    int blue;
    int green;
    int red;
};

std::optional<Order> orderOf(std::uint32_t format) {
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
        return Order{0, 1, 2};
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
        return Order{2, 1, 0};
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
        return Order{3, 2, 1};
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
        return Order{1, 2, 3};
    default:
        return std::nullopt;
    }
}

void convert(const std::uint8_t* source, std::size_t stride, Order order, Image& target) {
    for (int y = 0; y < target.height(); ++y) {
        const std::uint8_t* from = source + static_cast<std::size_t>(y) * stride;
        std::uint8_t* to = target.data() + static_cast<std::size_t>(y) * target.stride();
        if (order.blue == 0 && order.green == 1 && order.red == 2) {
            std::memcpy(to, from, target.stride());
            for (int x = 0; x < target.width(); ++x) {
                to[x * 4 + 3] = 0xff; // the x formats leave it undefined; the screen is opaque
            }
            continue;
        }
        for (int x = 0; x < target.width(); ++x, from += 4, to += 4) {
            to[0] = from[order.blue];
            to[1] = from[order.green];
            to[2] = from[order.red];
            to[3] = 0xff;
        }
    }
}

} // namespace

PipeWireFrames::PipeWireFrames(int fd, std::uint32_t node) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    loop_.reset(pw_thread_loop_new("zel-pipewire", nullptr));
    if (!loop_) {
        ::close(fd);
        throw std::runtime_error("PipeWire could not be started.");
    }
    context_.reset(pw_context_new(pw_thread_loop_get_loop(loop_.get()), nullptr, 0));
    if (!context_ || pw_thread_loop_start(loop_.get()) != 0) {
        ::close(fd);
        stopLoop();
        throw std::runtime_error("PipeWire could not be started.");
    }
    pw_thread_loop_lock(loop_.get());
    core_.reset(pw_context_connect_fd(context_.get(), fd, nullptr, 0)); // takes the descriptor
    if (core_) {
        stream_.reset(
            pw_stream_new(core_.get(), "zel-desktop-agent",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
    }
    int connected = -1;
    if (stream_) {
        pw_stream_add_listener(stream_.get(), listener_.get(), &kStreamEvents, this);
        std::uint8_t buffer[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, buffer, sizeof(buffer));
        const spa_pod* params[] = {zel_video_formats(&builder)};
        connected = pw_stream_connect(
            stream_.get(), PW_DIRECTION_INPUT, node,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
    }
    pw_thread_loop_unlock(loop_.get());
    if (connected < 0) {
        stopLoop();
        throw std::runtime_error("The screen stream could not be reached over PipeWire.");
    }
}

PipeWireFrames::~PipeWireFrames() {
    stopLoop();
}

void PipeWireFrames::stopLoop() noexcept {
    if (loop_) {
        pw_thread_loop_stop(loop_.get());
    }
}

void PipeWireFrames::stateChanged(int state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        {
            const std::lock_guard guard(mutex_);
            error_ = std::string("The screen stream ended") +
                     (error != nullptr ? std::string(": ") + error : std::string()) + ".";
        }
        arrived_.notify_all();
    }
}

void PipeWireFrames::formatChanged(const void* param) {
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (zel_video_parse(static_cast<const spa_pod*>(param), &format, &width, &height) == 0) {
        return;
    }
    format_ = format;
    width_ = static_cast<int>(width);
    height_ = static_cast<int>(height);
    std::uint8_t buffer[256];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof(buffer));
    const spa_pod* params[] = {zel_video_buffers(&builder)};
    pw_stream_update_params(stream_.get(), params, 1);
}

void PipeWireFrames::process() {
    // Only the newest buffer matters; older ones go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_.get())) {
        if (newest != nullptr) {
            pw_stream_queue_buffer(stream_.get(), newest);
        }
        newest = buffer;
    }
    if (newest == nullptr) {
        return;
    }
    const spa_data& data = newest->buffer->datas[0];
    const auto order = orderOf(format_);
    const bool usable = data.data != nullptr && data.chunk != nullptr && data.chunk->size > 0 &&
                        (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 && order &&
                        width_ > 0 && height_ > 0;
    if (usable) {
        const auto stride = data.chunk->stride > 0 ? static_cast<std::size_t>(data.chunk->stride)
                                                   : static_cast<std::size_t>(width_) * 4;
        const auto needed =
            stride * static_cast<std::size_t>(height_ - 1) + static_cast<std::size_t>(width_) * 4;
        if (data.chunk->offset + needed <= data.maxsize) {
            try {
                Image frame(width_, height_);
                convert(static_cast<const std::uint8_t*>(data.data) + data.chunk->offset, stride,
                        *order, frame);
                {
                    const std::lock_guard guard(mutex_);
                    newest_ = std::move(frame);
                    ++sequence_;
                }
                arrived_.notify_all();
            } catch (const std::exception&) { // NOLINT(bugprone-empty-catch): the next one may do
            }
        }
    }
    pw_stream_queue_buffer(stream_.get(), newest);
}

std::optional<PipeWireFrames::Frame>
PipeWireFrames::next(std::uint64_t after, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(mutex_);
    arrived_.wait_until(guard, deadline,
                        [&] { return !error_.empty() || (newest_ && sequence_ > after); });
    if (newest_ && sequence_ > after) {
        return Frame{*newest_, sequence_};
    }
    if (!error_.empty()) {
        throw std::runtime_error(error_);
    }
    return std::nullopt;
}

bool PipeWireFrames::broken() const {
    const std::lock_guard guard(mutex_);
    return !error_.empty();
}

} // namespace zel::portal
