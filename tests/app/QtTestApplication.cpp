#include "app/QtTestApplication.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QThread>

namespace dravelin::testing {

QCoreApplication& qtApplication() {
    if (QCoreApplication* existing = QCoreApplication::instance()) {
        return *existing; // a test program that made its own (widgets) application
    }
    static int argc = 1;
    static char name[] = "dravelin-tests";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    return *application;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    qtApplication();
    QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

} // namespace dravelin::testing
