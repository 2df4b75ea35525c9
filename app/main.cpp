// Dravelin: text to image, entirely on this computer.

#include "nn/compute/ComputeWaitPolicy.h"
#include "state/Generator.h"
#include "state/ModelStore.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char** argv) {
    // Compute threads that sleep while they wait leave the cores to the
    // desktop; this may start the program again, so it comes first.
    dravelin::usePassiveComputeWaiting(argv);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dravelin"));
    QApplication::setApplicationDisplayName(QStringLiteral("Dravelin"));
    QApplication::setDesktopFileName(QStringLiteral("dravelin"));

    // One store and one generator for the life of the application.
    dravelin::ModelStore store;
    dravelin::Generator generator;
    dravelin::MainWindow window(store, generator);
    window.show();
    return QApplication::exec();
}
