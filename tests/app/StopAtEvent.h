#pragma once

#include "support/TestPipelineKinds.h"

#include <QMetaObject>
#include <QSemaphore>

#include <atomic>
#include <functional>
#include <string>

namespace dravelin::testing {

// Presses Stop on the GUI thread when the generating thread reaches the
// `count`-th occurrence of `event` (ModelEventLog), and holds that thread
// until it has: the stop lands at that point of the run however busy the
// machine is, instead of racing steps that take a few milliseconds.
class StopAtEvent {
public:
    StopAtEvent(QObject* receiver, std::function<void()> stop, std::string event, int count)
        : receiver_(receiver), stop_(std::move(stop)), event_(std::move(event)), count_(count) {
        ModelEventLog::setObserver([this](const std::string& happened) {
            if (happened != event_ || ++seen_ != count_) {
                return;
            }
            QMetaObject::invokeMethod(
                receiver_,
                [this] {
                    stop_();
                    pressed_.release();
                },
                Qt::QueuedConnection);
            pressed_.acquire();
        });
    }
    ~StopAtEvent() { ModelEventLog::setObserver({}); }
    StopAtEvent(const StopAtEvent&) = delete;
    StopAtEvent& operator=(const StopAtEvent&) = delete;

    bool pressed() const { return seen_ >= count_; }

private:
    QObject* receiver_;
    std::function<void()> stop_;
    std::string event_;
    int count_;
    std::atomic<int> seen_{0};
    QSemaphore pressed_;
};

} // namespace dravelin::testing
