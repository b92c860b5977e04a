// The main queue: work items that must run on the GUI thread, one at a time, in posted order.
#pragma once

#include <functional>

namespace zel {

class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void post(std::function<void()> item) = 0;
};

} // namespace zel
