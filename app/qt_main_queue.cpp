#include "app/qt_main_queue.hpp"

#include <QMetaObject>
#include <QObject>

namespace zel {

void QtMainQueue::post(std::function<void()> item) {
    // Queued invocations on one receiver run in the order they were posted.
    QMetaObject::invokeMethod(&guiObject_, std::move(item), Qt::QueuedConnection);
}

} // namespace zel
