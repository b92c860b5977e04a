// The app's own windows as Qt knows them: which one has the keyboard focus, on every platform.
// Where a window lies, and whether another covers it, the platform tells (`placement`: the X
// server's stacking, sway's tree); without one, no point is ours.
#pragma once

#include "input/own_windows.hpp"

#include <QObject>
#include <atomic>
#include <memory>

namespace zel {

class QtOwnWindows final : public QObject, public OwnWindows {
public:
    explicit QtOwnWindows(std::shared_ptr<OwnWindows> placement = {});

    bool covers(ScreenPoint point) override;
    bool focused() override;

private:
    std::shared_ptr<OwnWindows> placement_;
    // Set on the GUI thread as the focus moves, read by the request threads.
    std::atomic<bool> focused_ = false;
};

} // namespace zel
