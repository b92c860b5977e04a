// The frames of one portal stream over PipeWire, converted to BGRA. The newest frame is kept, so
// a screenshot is served at once instead of waiting for the screen's next change.
#pragma once

#include "capture/image.hpp"
#include "platform/portal/portal_handles.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zel::portal {

class PipeWireFrames {
public:
    // Connects over the portal's descriptor (taken over) to the stream's node; throws
    // std::runtime_error when PipeWire cannot be reached.
    PipeWireFrames(int fd, std::uint32_t node);
    PipeWireFrames(const PipeWireFrames&) = delete;
    PipeWireFrames& operator=(const PipeWireFrames&) = delete;
    ~PipeWireFrames();

    struct Frame {
        Image image;
        std::uint64_t sequence = 0;
    };
    // The newest frame after `after` (0: any), waiting until the deadline; nullopt when none came.
    // Throws std::runtime_error once the stream has failed.
    std::optional<Frame> next(std::uint64_t after, std::chrono::steady_clock::time_point deadline);
    [[nodiscard]] bool broken() const;

    // Stream callbacks, on PipeWire's loop thread; public for the C listener only.
    void formatChanged(const void* format);
    void process();
    void stateChanged(int state, const char* error);

private:
    // Before the objects go: the loop thread must no longer use them.
    void stopLoop() noexcept;

    // Declared before the PipeWire objects, so that they outlive them: destroying the stream
    // calls stateChanged, which writes error_ under mutex_.
    // Negotiated on the loop thread, read there only.
    std::uint32_t format_ = 0;
    int width_ = 0;
    int height_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::optional<Image> newest_; // guarded by mutex_
    std::uint64_t sequence_ = 0;
    std::string error_;

    // Released in reverse: the stream first, the listener it calls last.
    std::unique_ptr<spa_hook> listener_ = std::make_unique<spa_hook>();
    ThreadLoopPtr loop_;
    PipeWireContextPtr context_;
    CorePtr core_;
    StreamPtr stream_;
};

} // namespace zel::portal
