// The app's own windows as Qt knows them: the keyboard focus on every platform, and where each
// visible window lies where Qt knows global positions (X11). Another source (the compositor's
// view, on sway) may add its areas and focus.
#pragma once

#include "input/own_windows.hpp"

#include <QObject>
#include <memory>
#include <mutex>

namespace zel {

class QtOwnWindows final : public QObject, public OwnWindows {
public:
    // Watches the application's windows from now on; `also` is asked too on every request.
    explicit QtOwnWindows(std::shared_ptr<OwnWindows> also = {});

    OwnWindowState current() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // On the GUI thread: takes a fresh snapshot for the request threads.
    void refresh();

    std::shared_ptr<OwnWindows> also_;
    std::mutex mutex_;
    OwnWindowState snapshot_; // guarded by mutex_
};

} // namespace zel
