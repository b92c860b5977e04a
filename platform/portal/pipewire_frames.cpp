// A PipeWire stream on a thread loop of its own. Each buffer that arrives is converted to BGRA
// at once and kept as the newest frame; the compositor sends a buffer only when the screen
// changed, so an idle screen is served from what was kept and costs nothing. What changed comes
// with the buffer as damage where the compositor gives it; otherwise the frame is compared with
// the one before.
#include "platform/portal/pipewire_frames.hpp"

#include "platform/portal/frame_changes.hpp"
#include "platform/portal/pipewire_params.h"

#include <cstring>
#include <mutex>
#include <spa/param/video/raw.h>
#include <stdexcept>
#include <unistd.h>
#include <utility>

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
        tell({{}, true, true}, width_, height_);
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
    std::uint8_t buffer[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof(buffer));
    // A producer sends damage only to a stream that asked for its meta; one without it sends none.
    const spa_pod* params[] = {zel_video_buffers(&builder), zel_video_damage_meta(&builder)};
    pw_stream_update_params(stream_.get(), params, 2);
}

void PipeWireFrames::process() {
    // Only the newest buffer's pixels matter; older ones go straight back, their damage kept.
    pw_buffer* newest = nullptr;
    std::vector<ChangeRect> damage;
    bool damageKnown = true;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_.get())) {
        if (newest != nullptr) {
            pw_stream_queue_buffer(stream_.get(), newest);
        }
        newest = buffer;
        std::int32_t regions[ZEL_DAMAGE_REGIONS][4];
        const int count = zel_video_damage(buffer->buffer, regions);
        damageKnown = damageKnown && count >= 0;
        for (int i = 0; i < count; ++i) {
            damage.push_back({regions[i][0], regions[i][1], regions[i][2], regions[i][3]});
        }
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
                // Only this thread replaces the kept frame, and nobody writes into one.
                ChangeReport report;
                if (!newest_ || newest_->width() != width_ || newest_->height() != height_) {
                    report.everything = true;
                } else if (damageKnown) {
                    report.rects = std::move(damage);
                } else {
                    report.rects =
                        changedCells(std::as_const(*newest_).view(), std::as_const(frame).view());
                }
                {
                    const std::lock_guard guard(mutex_);
                    newest_ = std::move(frame);
                    ++sequence_;
                }
                arrived_.notify_all();
                if (report.everything || !report.rects.empty()) {
                    tell(report, width_, height_);
                }
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

std::uint64_t PipeWireFrames::listen(Listener listener) {
    const std::lock_guard guard(listenersMutex_);
    listeners_.emplace_back(++listenerIds_, std::move(listener));
    return listenerIds_;
}

void PipeWireFrames::unlisten(std::uint64_t id) {
    const std::lock_guard guard(listenersMutex_);
    std::erase_if(listeners_, [id](const auto& listener) { return listener.first == id; });
}

void PipeWireFrames::tell(const ChangeReport& report, int width, int height) {
    const std::lock_guard guard(listenersMutex_);
    for (const auto& [id, listener] : listeners_) {
        listener(report, width, height);
    }
}

bool PipeWireFrames::read(const ChangeRect& area, PixelView into, int width, int height) const {
    const std::lock_guard guard(mutex_);
    if (!newest_ || newest_->width() != width || newest_->height() != height || area.x < 0 ||
        area.y < 0 || area.x + area.width > newest_->width() ||
        area.y + area.height > newest_->height() || into.width != area.width ||
        into.height != area.height) {
        return false;
    }
    for (int y = 0; y < area.height; ++y) {
        std::memcpy(into.data + y * into.stride,
                    newest_->data() + (area.y + y) * newest_->stride() +
                        static_cast<std::size_t>(area.x) * 4,
                    static_cast<std::size_t>(area.width) * 4);
    }
    return true;
}

bool PipeWireFrames::broken() const {
    const std::lock_guard guard(mutex_);
    return !error_.empty();
}

} // namespace zel::portal
