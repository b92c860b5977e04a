// The app's own windows: where they lie, whether another covers them and which has the keyboard
// focus, the platform tells (`placement`: the X server, sway's tree); without one (the portal) no
// point is ours and Qt tells the focus.
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
