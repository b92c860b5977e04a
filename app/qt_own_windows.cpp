#include "app/qt_own_windows.hpp"

#include <QGuiApplication>
#include <QWindow>

namespace zel {

QtOwnWindows::QtOwnWindows(std::shared_ptr<OwnWindows> placement)
    : placement_(std::move(placement)) {
    const auto update = [this] { focused_ = QGuiApplication::focusWindow() != nullptr; };
    QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, update);
    update();
}

bool QtOwnWindows::covers(ScreenPoint point) {
    return placement_ && placement_->covers(point);
}

bool QtOwnWindows::focused() {
    // Where the platform tells the focus (the X server, sway), it is the truth; Qt's lags behind.
    return placement_ ? placement_->focused() : focused_.load();
}

} // namespace zel
