// Lets callbacks that run on other threads (helper output readers) reach an object only while it
// lives: closing the gate waits for a callback inside it and turns later ones into no-ops.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace zel {

class CallbackGate {
public:
    CallbackGate() = default;
    CallbackGate(const CallbackGate&) = delete;
    CallbackGate& operator=(const CallbackGate&) = delete;
    ~CallbackGate() { close(); }

    void close() {
        const std::lock_guard lock(shared_->mutex);
        shared_->open = false;
    }

    // A callable that runs `function` with its arguments while the gate is open, else nothing.
    template <typename Function>
    auto guard(Function function) const {
        return [shared = shared_, function = std::move(function)](auto&&... arguments) {
            const std::lock_guard lock(shared->mutex);
            if (shared->open) {
                function(std::forward<decltype(arguments)>(arguments)...);
            }
        };
    }

private:
    struct Shared {
        std::mutex mutex;
        bool open = true;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

} // namespace zel
