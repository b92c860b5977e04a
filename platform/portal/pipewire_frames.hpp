// The frames of one portal stream over PipeWire, converted to BGRA. The newest frame is kept, so
// a screenshot is served at once instead of waiting for the screen's next change.
#pragma once

#include "capture/change_source.hpp"
#include "capture/image.hpp"
#include "platform/portal/portal_handles.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

    // What each new frame changed, in its pixels (`width` × `height`): the stream's damage, or the
    // frame held against the one before where a buffer carries none. Called on PipeWire's thread
    // after the frame is kept, and once with `ended` when the stream fails; never after `unlisten`
    // has returned.
    using Listener = std::function<void(const ChangeReport& report, int width, int height)>;
    std::uint64_t listen(Listener listener);
    void unlisten(std::uint64_t id);
    // The pixels of `area` of the newest frame into `into` (the area's size); false unless that
    // frame is `width` × `height` and holds the whole area.
    bool read(const ChangeRect& area, PixelView into, int width, int height) const;

    // Stream callbacks, on PipeWire's loop thread; public for the C listener only.
    void formatChanged(const void* format);
    void process();
    void stateChanged(int state, const char* error);

private:
    // Before the objects go: the loop thread must no longer use them.
    void stopLoop() noexcept;
    void tell(const ChangeReport& report, int width, int height);

    // Declared before the PipeWire objects, so that they outlive them: destroying the stream
    // calls stateChanged, which writes error_ under mutex_.
    // Negotiated on the loop thread, read there only.
    std::uint32_t format_ = 0;
    int width_ = 0;
    int height_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::optional<Image> newest_; // replaced by the loop thread alone, under mutex_
    std::uint64_t sequence_ = 0;
    std::string error_;

    std::mutex listenersMutex_; // held while they are called
    std::vector<std::pair<std::uint64_t, Listener>> listeners_;
    std::uint64_t listenerIds_ = 0;

    // Released in reverse: the stream first, the listener it calls last.
    std::unique_ptr<spa_hook> listener_ = std::make_unique<spa_hook>();
    ThreadLoopPtr loop_;
    PipeWireContextPtr context_;
    CorePtr core_;
    StreamPtr stream_;
};

} // namespace zel::portal
