// Frame streams over the X11 root window: one thread per stream grabs, blends the cursor and
// scales at most ten times a second, handing each frame to its output on that thread.
#include "platform/x11/x11_capture.hpp"

#include "capture/image_scaling.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_frame_grabber.hpp"

#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <thread>

namespace zel::x11 {
namespace {

class X11FrameStream final : public FrameStream {
public:
    X11FrameStream(std::shared_ptr<Connection> connection, SegmentPool& segments,
                   const CaptureDisplay& display, const StreamConfiguration& configuration)
        : connection_(std::move(connection)),
          segments_(segments), area_{display.x, display.y, display.width, display.height},
          configuration_(configuration) {}

    ~X11FrameStream() override {
        stopCapture();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void addStreamOutput(std::shared_ptr<FrameStreamOutput> output) override {
        if (!output) {
            throw std::invalid_argument("A stream output is required.");
        }
        if (output_) {
            throw std::logic_error("The stream already has an output.");
        }
        output_ = std::move(output);
    }

    void startCapture() override {
        if (!output_) {
            throw std::logic_error("The stream has no output.");
        }
        if (grabber_) {
            throw std::logic_error("The stream was already started.");
        }
        if (configuration_.pixelFormat != PixelFormat::bgra || configuration_.width < 1 ||
            configuration_.height < 1) {
            throw std::invalid_argument("The stream configuration cannot be captured.");
        }
        // Set up on the caller's thread so that a failure is the start's own error.
        grabber_ = std::make_unique<FrameGrabber>(connection_, area_, configuration_.showsCursor,
                                                  &segments_);
        thread_ = std::thread([this] { run(); });
        // Linux thread names stop at 15 characters.
        pthread_setname_np(thread_.native_handle(), "zel-oneshot");
    }

    void stopCapture() noexcept override {
        {
            const std::lock_guard guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
    }

private:
    void run() {
        auto next = std::chrono::steady_clock::now();
        while (true) {
            {
                std::unique_lock guard(mutex_);
                if (wake_.wait_until(guard, next, [this] { return stopping_; })) {
                    return;
                }
            }
            next += configuration_.minimumFrameInterval;
            try {
                Image frame(configuration_.width, configuration_.height);
                const PixelView screen = grabber_->grab();
                if (!scaleInto({screen.data, screen.width, screen.height, screen.stride},
                               frame.view())) {
                    throw std::runtime_error("The screen frame could not be scaled.");
                }
                output_->stream(*this, std::move(frame));
            } catch (...) {
                output_->streamDidStop(*this, std::current_exception());
                return;
            }
        }
    }

    std::shared_ptr<Connection> connection_;
    SegmentPool& segments_;
    Area area_;
    StreamConfiguration configuration_;
    std::shared_ptr<FrameStreamOutput> output_;
    std::unique_ptr<FrameGrabber> grabber_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false; // guarded by mutex_
    std::thread thread_;
};

class X11CaptureBackend final : public CaptureBackend {
public:
    std::vector<CaptureDisplay> displays() override {
        const std::shared_ptr<Connection> connection = connections_.get();
        std::vector<CaptureDisplay> result;
        for (const Monitor& monitor : monitors(*connection)) {
            result.push_back({std::to_string(result.size()), monitor.width, monitor.height,
                              monitor.x, monitor.y});
        }
        return result;
    }

    std::unique_ptr<FrameStream> makeStream(const CaptureDisplay& display,
                                            const StreamConfiguration& configuration) override {
        return std::make_unique<X11FrameStream>(connections_.get(), segments_, display,
                                                configuration);
    }

private:
    ConnectionCache connections_;
    SegmentPool segments_;
};

} // namespace

std::unique_ptr<CaptureBackend> makeCaptureBackend() {
    return std::make_unique<X11CaptureBackend>();
}

} // namespace zel::x11
