// Frame streams over the X11 root window: each running stream borrows a pool thread that runs
// the paced frame loop, grabbing with the cursor blended in.
#include "platform/x11/x11_capture.hpp"

#include "capture/platform_frame_stream.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_frame_grabber.hpp"

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <thread>

namespace zel::x11 {
namespace {

// Threads that serve one stream at a time and then wait for the next. A screenshot is a
// stream of a single frame, so a fresh thread per request would cost its creation, a new stack
// and a join on every screenshot; a few kept warm cost nothing while idle.
class StreamThreads {
public:
    explicit StreamThreads(std::size_t maxIdle) : maxIdle_(maxIdle) {}
    StreamThreads(const StreamThreads&) = delete;
    StreamThreads& operator=(const StreamThreads&) = delete;

    // Every job has returned by now: streams never outlive their backend.
    ~StreamThreads() {
        {
            const std::lock_guard guard(mutex_);
            closing_ = true;
        }
        for (Worker& worker : workers_) {
            worker.wake.notify_all();
        }
        for (Worker& worker : workers_) {
            worker.thread.join();
        }
    }

    // Runs job on an idle thread, or on a new one when none is idle; throws std::system_error
    // when no thread can be made.
    void run(std::function<void()> job) {
        const std::lock_guard guard(mutex_);
        reapRetired();
        for (Worker& worker : workers_) {
            if (!worker.job && !worker.retired) {
                worker.job = std::move(job);
                worker.wake.notify_one();
                return;
            }
        }
        Worker& worker = workers_.emplace_back();
        worker.job = std::move(job);
        try {
            worker.thread = std::thread([this, &worker] { serve(worker); });
        } catch (...) {
            workers_.pop_back();
            throw;
        }
        // Linux thread names stop at 15 characters.
        pthread_setname_np(worker.thread.native_handle(), "zel-capture");
    }

private:
    struct Worker {
        std::thread thread;
        std::condition_variable wake;
        std::function<void()> job; // guarded by mutex_; empty while idle, kept while it runs
        bool retired = false;      // guarded by mutex_; the thread has left serve()
    };

    void serve(Worker& worker) {
        std::unique_lock guard(mutex_);
        while (true) {
            worker.wake.wait(guard, [&] { return worker.job || closing_; });
            if (!worker.job) {
                return;
            }
            // A copy runs, so that the slot stays taken (not idle) until the job has returned.
            std::function<void()> job = worker.job;
            guard.unlock();
            job();
            job = nullptr;
            guard.lock();
            worker.job = nullptr;
            // After a burst of concurrent captures only a few threads stay.
            if (idleCount() > maxIdle_) {
                worker.retired = true;
                return;
            }
        }
    }

    [[nodiscard]] std::size_t idleCount() const {
        std::size_t count = 0;
        for (const Worker& worker : workers_) {
            count += !worker.job && !worker.retired ? 1 : 0;
        }
        return count;
    }

    // A retired thread is leaving or gone; joining it takes no time.
    void reapRetired() {
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->retired) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }

    const std::size_t maxIdle_;
    std::mutex mutex_;
    std::list<Worker> workers_; // guarded by mutex_; a list, so a serving thread's node stays put
    bool closing_ = false;      // guarded by mutex_
};

class X11FrameStream final : public PlatformFrameStream {
public:
    X11FrameStream(std::shared_ptr<Connection> connection, SegmentPool& segments,
                   StreamThreads& threads, const CaptureDisplay& display,
                   const StreamConfiguration& configuration)
        : connection_(std::move(connection)), segments_(segments),
          threads_(threads), area_{display.x, display.y, display.width, display.height},
          configuration_(configuration) {}

    ~X11FrameStream() override {
        stopCapture();
        auto guard = lock();
        signal().wait(guard, [this] { return !running_; });
    }

    void startCapture() override {
        checkStart(grabber_ != nullptr, configuration_);
        // Set up on the caller's thread so that a failure is the start's own error.
        grabber_ = std::make_unique<FrameGrabber>(connection_, area_, configuration_.includesCursor,
                                                  &segments_);
        {
            const auto guard = lock();
            running_ = true;
        }
        try {
            threads_.run([this] {
                runFrames(configuration_);
                const auto guard = lock();
                running_ = false;
                // Still under the lock: once it is released the destructor may free the signal.
                signal().notify_all();
            });
        } catch (...) {
            const auto guard = lock();
            running_ = false;
            throw;
        }
    }

private:
    ConstPixelView grab() override {
        const PixelView screen = grabber_->grab();
        return {screen.data, screen.width, screen.height, screen.stride};
    }

    std::shared_ptr<Connection> connection_;
    SegmentPool& segments_;
    StreamThreads& threads_;
    Area area_;
    StreamConfiguration configuration_;
    std::unique_ptr<FrameGrabber> grabber_;
    bool running_ = false; // guarded by lock() once started: the frame loop has not returned yet
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
        return std::make_unique<X11FrameStream>(connections_.get(), segments_, threads_, display,
                                                configuration);
    }

private:
    ConnectionCache connections_;
    SegmentPool segments_;
    StreamThreads threads_{2};
};

} // namespace

std::unique_ptr<CaptureBackend> makeCaptureBackend() {
    return std::make_unique<X11CaptureBackend>();
}

} // namespace zel::x11
