// Frame streams over wlr-screencopy: each running stream has a thread of its own that asks the
// compositor for a copy of its output into a shared-memory buffer it keeps, converts and scales
// it at most ten times a second and hands each frame to its output on that thread.
#include "platform/wayland/wayland_capture.hpp"

#include "capture/platform_frame_stream.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "platform/wayland/wayland_screencopy.hpp"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zel::wayland {
namespace {

constexpr const char* kNoScreencopy =
    "The Wayland compositor offers no screen capture (zwlr_screencopy_manager_v1).";

// Idle buffers kept for the next stream: fresh shared memory costs a page fault per page on
// both sides of a copy, and a screenshot is a stream of one frame. A buffer sets no listener, so
// it may go on any thread.
class BufferPool {
public:
    std::unique_ptr<SharedBuffer> take(const Connection& connection, std::uint32_t format,
                                       int width, int height, int stride) {
        const std::lock_guard guard(mutex_);
        for (auto it = idle_.begin(); it != idle_.end(); ++it) {
            if (it->connection.get() == &connection &&
                it->buffer->fits(format, width, height, stride)) {
                std::unique_ptr<SharedBuffer> buffer = std::move(it->buffer);
                idle_.erase(it);
                return buffer;
            }
        }
        return nullptr;
    }

    void give(std::shared_ptr<Connection> connection, std::unique_ptr<SharedBuffer> buffer) {
        if (!buffer || connection->broken()) {
            return;
        }
        const std::lock_guard guard(mutex_);
        idle_.push_back({std::move(connection), std::move(buffer)});
        if (idle_.size() > kMaxIdle) {
            idle_.erase(idle_.begin());
        }
    }

private:
    static constexpr std::size_t kMaxIdle = 2;
    struct Idle {
        std::shared_ptr<Connection> connection; // outlives its buffer's proxies
        std::unique_ptr<SharedBuffer> buffer;
    };
    std::mutex mutex_;
    std::vector<Idle> idle_;
};

// Copies along the walk into BGRA order.
void convert(const Walk& from, bool swapRedBlue, Image& target) {
    for (int y = 0; y < from.height; ++y) {
        copyPixels(from, from.at(0, y), from.width, swapRedBlue,
                   target.data() + static_cast<std::size_t>(y) * target.stride());
    }
}

class WaylandFrameStream final : public PlatformFrameStream {
public:
    WaylandFrameStream(std::shared_ptr<Connection> connection, BufferPool& buffers,
                       CaptureDisplay display, const StreamConfiguration& configuration)
        : connection_(std::move(connection)), buffers_(buffers), display_(std::move(display)),
          configuration_(configuration) {}

    ~WaylandFrameStream() override {
        stopCapture();
        if (thread_.joinable()) {
            thread_.join();
        }
        buffers_.give(connection_, std::move(buffer_));
    }

    void startCapture() override {
        checkStart(thread_.joinable(), configuration_);
        {
            // Checked on the caller's thread so that a failure is the start's own error.
            const auto lock = connection_->lock();
            if (connection_->screencopy() == nullptr || connection_->shm() == nullptr) {
                throw std::runtime_error(kNoScreencopy);
            }
            findOutput();
        }
        thread_ = std::thread([this] { runFrames(configuration_); });
        pthread_setname_np(thread_.native_handle(), "zel-capture");
    }

private:
    Output& findOutput() {
        for (const auto& output : connection_->outputs()) {
            if (output->id() == display_.id) {
                return *output;
            }
        }
        throw std::runtime_error("The display " + display_.id + " is no longer connected.");
    }

    // One copy of the output, in BGRA order; valid until the next grab.
    ConstPixelView grab() override {
        CopyState copy;
        int transform = WL_OUTPUT_TRANSFORM_NORMAL;
        {
            const auto lock = connection_->lock();
            const Output& output = findOutput();
            transform = output.transform;
            const Proxy<zwlr_screencopy_frame_v1> frame(zwlr_screencopy_manager_v1_capture_output(
                connection_->screencopy(), configuration_.includesCursor ? 1 : 0,
                output.output.get()));
            zwlr_screencopy_frame_v1_add_listener(frame.get(), &kFrameListener, &copy);
            // Before version 3 the one buffer event is all there is to wait for.
            const bool waitsForDone = connection_->screencopyVersion() >= 3;
            const auto deadline = std::chrono::steady_clock::now() + kAnswerLimit;
            connection_->dispatchUntil(
                [&] { return copy.failed || (copy.format && (copy.bufferDone || !waitsForDone)); },
                deadline);
            if (copy.failed || !copy.format) {
                throw std::runtime_error("The Wayland compositor could not copy the display " +
                                         display_.id + ".");
            }
            if (copy.width < 1 || copy.height < 1 || copy.stride < copy.width * 4) {
                throw std::runtime_error("The Wayland compositor offered an unreadable frame.");
            }
            if (!buffer_ || !buffer_->fits(*copy.format, copy.width, copy.height, copy.stride)) {
                buffer_ =
                    buffers_.take(*connection_, *copy.format, copy.width, copy.height, copy.stride);
            }
            if (!buffer_) {
                buffer_ = std::make_unique<SharedBuffer>(connection_->shm(), *copy.format,
                                                         copy.width, copy.height, copy.stride);
            }
            zwlr_screencopy_frame_v1_copy(frame.get(), buffer_->buffer());
            connection_->dispatchUntil([&] { return copy.ready || copy.failed; }, deadline);
            if (copy.failed) {
                throw std::runtime_error("The Wayland compositor could not copy the display " +
                                         display_.id + ".");
            }
        }
        const std::optional<bool> swap = swapsRedBlue(*copy.format);
        if (!swap) {
            throw std::runtime_error("The Wayland compositor offered an unsupported pixel format.");
        }
        const bool swapRedBlue = *swap;
        // Little-endian XRGB8888 is BGRX in memory: the scaler reads it where it lies.
        if (!swapRedBlue && !copy.yInverted && transform == WL_OUTPUT_TRANSFORM_NORMAL) {
            return buffer_->view();
        }
        const Walk from = walk(buffer_->view(), transform, copy.yInverted);
        if (!converted_ || converted_->width() != from.width ||
            converted_->height() != from.height) {
            converted_.emplace(from.width, from.height);
        }
        convert(from, swapRedBlue, *converted_);
        return std::as_const(*converted_).view();
    }

    std::shared_ptr<Connection> connection_;
    BufferPool& buffers_;
    CaptureDisplay display_;
    StreamConfiguration configuration_;
    std::unique_ptr<SharedBuffer> buffer_; // proxies of connection_; back to the pool at the end
    std::optional<Image> converted_;
    std::thread thread_;
};

class WaylandCaptureBackend final : public CaptureBackend {
public:
    explicit WaylandCaptureBackend(const std::string& socket) : connections_(socket) {}

    std::vector<CaptureDisplay> displays() override {
        const std::shared_ptr<Connection> connection = connections_.get();
        const auto lock = connection->lock();
        // Output changes since the last request arrive with the round trip; a compositor that
        // went away shows here too.
        connection->roundtrip();
        if (connection->screencopy() == nullptr || connection->shm() == nullptr) {
            throw std::runtime_error(kNoScreencopy);
        }
        std::vector<CaptureDisplay> result;
        for (const auto& output : connection->outputs()) {
            const Rect rect = Connection::rect(*output);
            if (rect.width > 0 && rect.height > 0) {
                result.push_back({output->id(), rect.width, rect.height, rect.x, rect.y});
            }
        }
        return result;
    }

    std::unique_ptr<FrameStream> makeStream(const CaptureDisplay& display,
                                            const StreamConfiguration& configuration) override {
        return std::make_unique<WaylandFrameStream>(connections_.get(), buffers_, display,
                                                    configuration);
    }

private:
    ConnectionCache connections_;
    BufferPool buffers_; // after the cache: streams and their buffers never outlive the backend
};

} // namespace

std::unique_ptr<CaptureBackend> makeCaptureBackend(const std::string& socket) {
    return std::make_unique<WaylandCaptureBackend>(socket);
}

} // namespace zel::wayland
