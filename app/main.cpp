// Dravelin: text to image, entirely on this computer.

#include "nn/compute/ComputeWaitPolicy.h"
#include "state/Generator.h"
#include "state/ModelStore.h"
#include "state/library/ModelLibrary.h"
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
    dravelin::ModelLibrary library(store);
    // SDXL previews through their tiny autoencoder, fetched when first needed.
    library.setFetchesPreviewDecoderAutomatically(true);
    dravelin::MainWindow window(store, generator, library);
    window.show();
    return QApplication::exec();
}
