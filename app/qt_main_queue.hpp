// The main queue on Qt: items run on the GUI thread through queued invocations, in posted order.
#pragma once

#include "app/main_queue.hpp"

class QObject;

namespace zel {

class QtMainQueue final : public MainQueue {
public:
    explicit QtMainQueue(QObject& guiObject) : guiObject_(guiObject) {}
    void post(std::function<void()> item) override;

private:
    QObject& guiObject_;
};

} // namespace zel
