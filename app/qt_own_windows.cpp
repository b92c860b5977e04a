#include "app/qt_own_windows.hpp"

#include <QEvent>
#include <QGuiApplication>
#include <QWindow>

namespace zel {

QtOwnWindows::QtOwnWindows(std::shared_ptr<OwnWindows> also) : also_(std::move(also)) {
    QGuiApplication::instance()->installEventFilter(this);
    QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this] { refresh(); });
    refresh();
}

bool QtOwnWindows::eventFilter(QObject* watched, QEvent* event) {
    if (watched->isWindowType()) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::Expose:
        case QEvent::WindowStateChange:
        case QEvent::FocusIn:
        case QEvent::FocusOut:
            refresh();
            break;
        default:
            break;
        }
    }
    return false;
}

void QtOwnWindows::refresh() {
    OwnWindowState state;
    state.focused = QGuiApplication::focusWindow() != nullptr;
    // Elsewhere (Wayland) a client does not learn where its windows are.
    if (QGuiApplication::platformName() == "xcb") {
        for (const QWindow* window : QGuiApplication::topLevelWindows()) {
            if (!window->isVisible() || (window->windowStates() & Qt::WindowMinimized) != 0) {
                continue;
            }
            const QRect frame = window->frameGeometry();
            const double scale = window->devicePixelRatio();
            state.areas.push_back({frame.x() * scale, frame.y() * scale, frame.width() * scale,
                                   frame.height() * scale});
        }
    }
    const std::lock_guard lock(mutex_);
    snapshot_ = std::move(state);
}

OwnWindowState QtOwnWindows::current() {
    OwnWindowState state;
    {
        const std::lock_guard lock(mutex_);
        state = snapshot_;
    }
    if (also_) {
        const OwnWindowState other = also_->current();
        state.focused = state.focused || other.focused;
        state.areas.insert(state.areas.end(), other.areas.begin(), other.areas.end());
    }
    return state;
}

} // namespace zel
