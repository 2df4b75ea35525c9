// A long session in the window: 100 generations with a real tiny model (the
// engine's own networks, oneDNN and the compute threads) must leave resident
// memory, threads and open files where the first few left them. Slow: about
// a minute on two cores.
#include "app/QtTestApplication.h"
#include "make-model/ModelMaker.h"
#include "state/Generator.h"
#include "state/ModelStore.h"
#include "support/TestNetworks.h"
#include "ui/MainView.h"
#include "ui/MainWindow.h"
#include "ui/ResultsGrid.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QPixmapCache>
#include <QTest>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

QApplication& widgetsApplication() {
    static int argc = 1;
    static char name[] = "dravelin-long-session";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *application;
}

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long entries(const char* directory) {
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}

} // namespace

TEST(LongSession, AHundredGenerationsKeepMemoryThreadsAndFilesFlat) {
    widgetsApplication();
    // Qt's pixmap cache fills over a session up to its own bound (10 MB by
    // default) with what the style draws; off, it hides no growth of ours.
    QPixmapCache::setCacheLimit(0);
    TemporaryDirectory directory;
    writeRandomModel(directory.path() / "Model", ModelMakerOptions{});
    ModelStore store(QString::fromStdString(directory.path().string()));
    Generator generator;
    MainWindow window(store, generator);
    window.resize(1000, 700);
    window.show();
    ASSERT_TRUE(waitUntil([&] { return store.state() == ModelState::ready(); },
                          std::chrono::seconds(120)));
    MainView* main = window.mainView();
    ASSERT_NE(main, nullptr);
    main->findChild<QPlainTextEdit*>(QStringLiteral("prompt"))
        ->setPlainText(QStringLiteral("a photo of a cat"));
    generator.setSteps(8);

    int done = 0;
    const auto generateOnce = [&] {
        QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("generate")),
                          Qt::LeftButton);
        ++done;
        return waitUntil(
            [&] { return !generator.isGenerating() && generator.results().size() == done; },
            std::chrono::seconds(60));
    };
    // Threads that end with a run are gone a moment later.
    const auto settledThreads = [&](long atMost) {
        waitUntil([&] { return entries("/proc/self/task") <= atMost; },
                  std::chrono::seconds(30));
        return entries("/proc/self/task");
    };

    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(generateOnce()) << generator.errorMessage().toStdString();
    }
    // The session keeps every result (by design) and the grid a thumbnail of
    // each, the size of a cell in 32-bit pixels: what they hold is counted
    // apart from the rest.
    const auto resultKilobytes = [&] {
        const QSize cell = main->grid()->cellRect(0).size() * main->devicePixelRatioF();
        qint64 bytes = 0;
        for (const GeneratedImage& result : generator.results()) {
            bytes += 2 * result.image.sizeInBytes() + 4 * qint64{cell.width()} * cell.height();
        }
        return static_cast<long>(bytes / 1024);
    };
    const long memory = residentKilobytes() - resultKilobytes();
    const long threads = settledThreads(0);
    const long files = entries("/proc/self/fd");
    long mostMemory = memory;
    while (done < 100) {
        ASSERT_TRUE(generateOnce()) << "generation " << done + 1 << ": "
                                    << generator.errorMessage().toStdString();
        mostMemory = std::max(mostMemory, residentKilobytes() - resultKilobytes());
    }
    EXPECT_TRUE(generator.errorMessage().isNull());
    EXPECT_EQ(main->grid()->model()->rowCount(), 100);
    EXPECT_LE(mostMemory, memory + memory / 20)
        << "resident memory grew from " << memory << " kB to " << mostMemory << " kB";
    EXPECT_LE(settledThreads(threads), threads);
    EXPECT_LE(entries("/proc/self/fd"), files);
    std::printf("resident memory less the results after 5 generations %ld kB, the most until "
                "100 %ld kB (%+.1f %%); results %ld kB; threads %ld; open files %ld\n",
                memory, mostMemory, 100.0 * (mostMemory - memory) / memory, resultKilobytes(),
                threads, files);
}
