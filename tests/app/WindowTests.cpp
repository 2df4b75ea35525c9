#include "app/QtTestApplication.h"
#include "app/ScriptedStore.h"
#include "make-model/ModelMaker.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "runtime/CheckpointWriter.h"
#include "state/Generator.h"
#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "state/library/ModelLibrary.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"
#include "ui/ControlsPanel.h"
#include "ui/InputImagePanel.h"
#include "ui/MaskCanvas.h"
#include "ui/MainView.h"
#include "ui/MainWindow.h"
#include "ui/ModelPicker.h"
#include "ui/PreviewArea.h"
#include "ui/ResultDelegate.h"
#include "ui/ResultsGrid.h"
#include "ui/SetupView.h"

#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QMimeData>
#include <QUrl>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

QApplication& widgetsApplication() {
    static int argc = 1;
    static char name[] = "dravelin-window-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        // Offscreen unless a run on a real display server asks for another
        // (tests/slow/xvfb_image_inputs.sh: xcb).
        qputenv("QT_QPA_PLATFORM",
                qEnvironmentVariable("DRAVELIN_TEST_PLATFORM", QStringLiteral("offscreen")).toUtf8());
        return new QApplication(argc, argv);
    }();
    return *application;
}

QPushButton* button(QWidget* root, const QString& text) {
    for (QPushButton* candidate : root->findChildren<QPushButton*>()) {
        if (candidate->text() == text && candidate->isVisibleTo(root)) {
            return candidate;
        }
    }
    return nullptr;
}

bool showsText(QWidget* root, const QString& text) {
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (label->isVisibleTo(root) && label->text().contains(text)) {
            return true;
        }
    }
    return false;
}

class Window : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    QString folder = QString::fromStdString(directory.path().string());
    std::unique_ptr<ScriptedStore> store;
    std::unique_ptr<Generator> generator;
    std::unique_ptr<MainWindow> window;

    Window() { widgetsApplication(); }

    void SetUp() override {
        store = std::make_unique<ScriptedStore>(folder);
        generator = std::make_unique<Generator>();
        window = std::make_unique<MainWindow>(*store, *generator);
        window->resize(1000, 700);
    }

    void TearDown() override {
        window.reset();
        generator.reset();
        store.reset();
    }

    // Installs the tiny model with its marker and loads it for real.
    void installAndLoad(const TinyModelOptions& options = {}) {
        writeTinyModel(directory.path() / "Model", options);
        QFile marker(folder + QStringLiteral("/Model/.complete"));
        ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
        marker.close();
        // Showing the window runs the start-up, which finds the marker and loads.
        window->show();
        QApplication::setActiveWindow(window.get());
        // An X server without a window manager (Xvfb) activates no window:
        // there the window only has to be on screen.
        ASSERT_TRUE(QGuiApplication::platformName() == QStringLiteral("offscreen")
                        ? QTest::qWaitForWindowActive(window.get())
                        : QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(waitUntil([this] { return store->state() == ModelState::ready(); }));
        ASSERT_NE(window->mainView(), nullptr);
    }

    void generateOnce(const QString& prompt) {
        MainView* main = window->mainView();
        auto* editor = main->findChild<QPlainTextEdit*>(QStringLiteral("prompt"));
        editor->setPlainText(prompt);
        QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("generate")),
                          Qt::LeftButton);
        ASSERT_TRUE(waitUntil([this] { return !generator->isGenerating(); }));
    }
};

} // namespace

TEST(WindowText, CaptionsAndLabels) {
    EXPECT_EQ(SetupView::progressCaption(0.375, QStringLiteral("x")),
              QString::fromUtf8("37%  ·  x"));
    EXPECT_EQ(SetupView::progressCaption(0.999, QStringLiteral("x")),
              QString::fromUtf8("99%  ·  x"));
    // In little room the file name gives way, in its middle; the figures never do.
    qtApplication();
    const QFontMetrics metrics{QFont()};
    const QString figures = QString::fromUtf8("1.2 GB of 2.1 GB · 8.4 MB/s · 2 min left");
    const QString detail =
        QString::fromUtf8("diffusion_pytorch_model.fp16.safetensors — ") + figures;
    const QString wide = SetupView::progressCaption(0.5, detail, metrics, 10'000);
    EXPECT_EQ(wide, SetupView::progressCaption(0.5, detail));
    const int room =
        metrics.horizontalAdvance(QString::fromUtf8("50%  ·  diffusion_py… — ") + figures);
    const QString narrow = SetupView::progressCaption(0.5, detail, metrics, room);
    EXPECT_LE(metrics.horizontalAdvance(narrow), room);
    EXPECT_TRUE(narrow.startsWith(QString::fromUtf8("50%  ·  diff"))) << narrow.toStdString();
    EXPECT_TRUE(narrow.contains(QString::fromUtf8("…"))) << narrow.toStdString();
    EXPECT_TRUE(narrow.endsWith(QString::fromUtf8(" — ") + figures)) << narrow.toStdString();
    EXPECT_EQ(SetupView::progressCaption(0.5, detail, metrics, 10),
              QString::fromUtf8("50%  ·  ") + figures);
    EXPECT_EQ(ControlsPanel::guidanceLabel(7.5), QStringLiteral("Guidance scale: 7.5"));
    EXPECT_EQ(ControlsPanel::guidanceLabel(12), QStringLiteral("Guidance scale: 12.0"));
    EXPECT_EQ(ControlsPanel::stepCaption(20, 20), QStringLiteral("Step 20 of 20"));
    EXPECT_EQ(ControlsPanel::timingCaption(2.43, 38.4),
              QStringLiteral("2.4 s per step, 38 s left"));
    EXPECT_EQ(ControlsPanel::timingCaption(5.0, 125.0),
              QStringLiteral("5.0 s per step, 2 min 5 s left"));
    EXPECT_EQ(ControlsPanel::timingCaption(0.034, 0.6),
              QStringLiteral("0.03 s per step, 1 s left"));
    EXPECT_EQ(ControlsPanel::timingCaption(0.0, 0.0), QString());
}

TEST_F(Window, SetupScreenFollowsTheStore) {
    SetupView* setup = window->setupView();
    EXPECT_NE(button(setup, QStringLiteral("Download model")), nullptr);

    store->setState(ModelState::downloading(0.375, QStringLiteral("vocab.json — 1 MB of 2 GB")));
    EXPECT_EQ(button(setup, QStringLiteral("Download model")), nullptr);
    EXPECT_NE(button(setup, QStringLiteral("Cancel")), nullptr);
    EXPECT_TRUE(showsText(setup, QString::fromUtf8("37%  ·  vocab.json")));

    store->setState(ModelState::loading());
    EXPECT_TRUE(showsText(setup, QString::fromUtf8("Loading model…")));

    store->setState(ModelState::failed(QStringLiteral("It broke.")));
    EXPECT_TRUE(showsText(setup, QStringLiteral("It broke.")));
    EXPECT_NE(button(setup, QStringLiteral("Retry download")), nullptr);
    EXPECT_EQ(button(setup, QStringLiteral("Try again")), nullptr);

    QDir().mkpath(folder + QStringLiteral("/Model"));
    QFile(folder + QStringLiteral("/Model/.complete")).open(QIODevice::WriteOnly);
    store->setState(ModelState::failed(QStringLiteral("It broke again.")));
    EXPECT_EQ(button(setup, QStringLiteral("Retry download")), nullptr);
    ASSERT_NE(button(setup, QStringLiteral("Try again")), nullptr);
    ASSERT_NE(button(setup, QStringLiteral("Delete model")), nullptr);

    // "Delete model" removes the files and returns to the download offer.
    QTest::mouseClick(button(setup, QStringLiteral("Delete model")), Qt::LeftButton);
    EXPECT_EQ(store->state(), ModelState::missing());
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/Model")));
    EXPECT_NE(button(setup, QStringLiteral("Download model")), nullptr);
}

TEST_F(Window, GeneratesFromTheControlsAndShowsResults) {
    installAndLoad();
    MainView* main = window->mainView();
    EXPECT_EQ(main->previewArea()->placeholderText(),
              QStringLiteral("Your image will appear here"));
    EXPECT_TRUE(showsText(main, QStringLiteral("Results from this session appear here.")));

    auto* steps = main->findChild<QSpinBox*>(QStringLiteral("steps"));
    steps->setValue(4);
    EXPECT_EQ(generator->steps(), 4);
    auto* slider = main->findChild<QSlider*>(QStringLiteral("guidance"));
    slider->setValue(24);
    EXPECT_EQ(generator->guidance(), 12.0);
    EXPECT_TRUE(showsText(main, QStringLiteral("Guidance scale: 12.0")));

    // Ctrl+Return generates; Stop replaces Generate and Delete is disabled meanwhile.
    main->findChild<QPlainTextEdit*>(QStringLiteral("prompt"))
        ->setPlainText(QStringLiteral("a cat"));
    // What the controls look like the moment the run starts.
    bool stopShown = false;
    bool generateShown = true;
    bool deleteEnabled = true;
    QObject::connect(generator.get(), &Generator::isGeneratingChanged, main, [&] {
        if (generator->isGenerating()) {
            stopShown = main->findChild<QPushButton*>(QStringLiteral("stop"))->isVisibleTo(main);
            generateShown =
                main->findChild<QPushButton*>(QStringLiteral("generate"))->isVisibleTo(main);
            deleteEnabled =
                main->findChild<QPushButton*>(QStringLiteral("deleteModel"))->isEnabled();
        }
    });
    QTest::keyClick(window->windowHandle(), Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([this] { return !generator->results().isEmpty(); }));
    EXPECT_TRUE(stopShown);
    EXPECT_FALSE(generateShown);
    EXPECT_FALSE(deleteEnabled);
    ASSERT_TRUE(waitUntil([this] { return !generator->isGenerating(); }));
    // The last step reported is the fifth timestep (PNDM visits one more).
    EXPECT_EQ(main->findChild<QLabel*>(QStringLiteral("stepCaption"))->text(),
              QStringLiteral("Step 4 of 4"));
    ResultsGrid* grid = main->grid();
    ASSERT_EQ(grid->model()->rowCount(), 1);
    EXPECT_FALSE(showsText(main, QStringLiteral("Results from this session appear here.")));
    EXPECT_TRUE(main->findChild<QPushButton*>(QStringLiteral("deleteModel"))->isEnabled());

    generateOnce(QStringLiteral("a dog"));
    ASSERT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(grid->resultAt(0).prompt, QStringLiteral("a dog"));
    const GeneratedImage older = grid->resultAt(1);
    EXPECT_EQ(older.prompt, QStringLiteral("a cat"));
    EXPECT_EQ(grid->model()->index(1, 0).data(Qt::ToolTipRole).toString(),
              QStringLiteral("a cat\nSeed ") + QString::number(older.seed));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->cellRect(1).center());
    EXPECT_EQ(generator->preview(), older.image);
    // The keyboard moves the selection, and the preview follows it.
    QTest::keyClick(grid, Qt::Key_Left);
    EXPECT_EQ(grid->currentIndex().row(), 0);
    EXPECT_EQ(generator->preview(), grid->resultAt(0).image);

    // Save through the cell's button, with the dialog answered by the test.
    const QString path = folder + QStringLiteral("/saved.png");
    QString offered;
    main->askSavePath = [&](QWidget*, const QString& suggested) {
        offered = suggested;
        return path;
    };
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      ResultDelegate::saveButtonRect(grid->cellRect(1)).center());
    EXPECT_TRUE(offered.startsWith(QStringLiteral("a-cat_seed-")));
    EXPECT_TRUE(QFileInfo::exists(path));
    // The button acts on its own result and does not change the selection.
    EXPECT_EQ(grid->currentIndex().row(), 0);
    offered.clear();
    QTest::keyClick(grid, Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(offered.startsWith(QStringLiteral("a-dog_seed-")));
}

TEST_F(Window, GenerateWithoutAModelDoesNothingAndErrorsShow) {
    installAndLoad();
    MainView* main = window->mainView();
    generator->setSteps(1); // the default scheduler refuses a single step
    generateOnce(QStringLiteral("a cat"));
    EXPECT_TRUE(showsText(main, QStringLiteral("Generation failed: ")));
    EXPECT_EQ(main->grid()->model()->rowCount(), 0);
}

TEST_F(Window, DeleteAsksFirstThenShowsTheSetupScreen) {
    installAndLoad();
    MainView* main = window->mainView();
    QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("deleteModel")), Qt::LeftButton);
    QMessageBox* confirmation = main->deleteConfirmation();
    ASSERT_NE(confirmation, nullptr);
    EXPECT_TRUE(confirmation->isVisible());
    EXPECT_EQ(confirmation->text(), QStringLiteral("Delete the downloaded model?"));
    EXPECT_EQ(store->state(), ModelState::ready());
    QTest::mouseClick(confirmation->findChild<QPushButton*>(QStringLiteral("confirmDelete")),
                      Qt::LeftButton);
    EXPECT_EQ(store->state(), ModelState::missing());
    EXPECT_EQ(window->mainView(), nullptr);
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/Model")));
}

TEST_F(Window, GridColumnsAdaptToTheWidth) {
    installAndLoad();
    for (int i = 0; i < 5; ++i) {
        generator->setSteps(2);
        generateOnce(QStringLiteral("a cat ") + QString::number(i));
    }
    ResultsGrid standalone(*generator);
    ResultsGrid* grid = &standalone;
    grid->show();
    ASSERT_EQ(grid->model()->rowCount(), 5);
    grid->resize(320, 190);
    EXPECT_EQ(grid->columnCount(), 2);
    grid->resize(760, 190);
    EXPECT_EQ(grid->columnCount(), 5);
    // Square cells of at least 130, 10 apart, newest at the top-left.
    for (int row = 0; row < 5; ++row) {
        const QRect cell = grid->cellRect(row);
        EXPECT_EQ(cell.width(), cell.height());
        EXPECT_GE(cell.width(), 130);
        EXPECT_EQ(cell.top(), grid->cellRect(0).top());
        if (row > 0) {
            EXPECT_EQ(cell.left() - grid->cellRect(row - 1).right() - 1, 10);
        }
    }
}

// With DRAVELIN_WINDOW_SHOTS set (tests/slow/xvfb_image_inputs.sh sets it),
// the window as it stands is saved there as NAME.png.
static void saveWindowShot(QWidget& window, const char* name) {
    const QByteArray folder = qgetenv("DRAVELIN_WINDOW_SHOTS");
    if (!folder.isEmpty()) {
        std::printf("%s: on the %s platform, %dx%d\n", name,
                    qPrintable(QGuiApplication::platformName()), window.width(), window.height());
        window.grab().save(QString::fromUtf8(folder) + QLatin1Char('/') +
                           QString::fromUtf8(name) + QStringLiteral(".png"));
    }
}

// Open an image, paint a mask over part of it, inpaint, then take the result
// as the next input: all through the window's own controls.
TEST_F(Window, OpensPaintsInpaintsAndReusesAResult) {
    installAndLoad({.encoder = true});
    MainView* main = window->mainView();
    InputImagePanel* panel = main->inputPanel();
    ImageInput& input = *generator->imageInput();
    const QString path = folder + QStringLiteral("/input.png");
    QImage picture(64, 64, QImage::Format_RGB888);
    picture.fill(QColor(30, 120, 200));
    ASSERT_TRUE(picture.save(path));
    panel->askOpenPath = [&](QWidget*) { return path; };
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("openInput")), Qt::LeftButton);
    ASSERT_TRUE(input.hasImage());
    EXPECT_EQ(input.image().size(), QSize(64, 64));

    auto* canvas = panel->findChild<MaskCanvas*>(QStringLiteral("maskCanvas"));
    const QRectF area = canvas->imageRect();
    ASSERT_FALSE(area.isEmpty());
    const QPoint from = (area.topLeft() + QPointF(area.width() * 0.2, area.height() * 0.2)).toPoint();
    const QPoint to = (area.topLeft() + QPointF(area.width() * 0.8, area.height() * 0.2)).toPoint();
    QTest::mousePress(canvas, Qt::LeftButton, {}, from);
    QTest::mouseMove(canvas, to);
    QTest::mouseRelease(canvas, Qt::LeftButton, {}, to);
    EXPECT_TRUE(input.hasMask());
    EXPECT_TRUE(panel->findChild<QPushButton*>(QStringLiteral("undoStroke"))->isEnabled());
    EXPECT_TRUE(showsText(panel, QStringLiteral("(inpainting)")));

    saveWindowShot(*window, "painted");

    generateOnce(QStringLiteral("a cat"));
    ASSERT_EQ(generator->results().size(), 1) << generator->errorMessage().toStdString();
    saveWindowShot(*window, "inpainted");

    // "Use as input" on the result replaces the input and empties the mask.
    emit main->grid()->useAsInputRequested(generator->results().front());
    EXPECT_EQ(input.image().size(), generator->results().front().image.size());
    EXPECT_FALSE(input.hasMask());
    saveWindowShot(*window, "result-as-input");

    // An image dropped on the canvas becomes the input, not the settings.
    QImage other(48, 40, QImage::Format_RGB888);
    other.fill(QColor(200, 60, 20));
    const QString otherPath = folder + QStringLiteral("/dropped.png");
    ASSERT_TRUE(other.save(otherPath));
    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(otherPath)});
    QDragEnterEvent enter(canvas->rect().center(), Qt::CopyAction, &dropped, Qt::LeftButton, {});
    QApplication::sendEvent(canvas, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(canvas->rect().center()), Qt::CopyAction, &dropped, Qt::LeftButton,
                    {});
    QApplication::sendEvent(canvas, &drop);
    EXPECT_EQ(input.image().size(), QSize(48, 40));
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("removeInput")),
                      Qt::LeftButton);
    EXPECT_FALSE(input.hasImage());
}

TEST_F(Window, ImportsPicksAndGeneratesWithTheChosenModel) {
    installAndLoad();
    MainView* main = window->mainView();
    ModelPicker* picker = main->controls()->modelPicker();
    auto* models = main->findChild<QComboBox*>(QStringLiteral("model"));
    ASSERT_EQ(models->count(), 1);
    EXPECT_EQ(models->currentText().section(QString::fromUtf8(" — "), 0, 0),
              QStringLiteral("Stable Diffusion 1.5"));
    EXPECT_FALSE(main->findChild<QPushButton*>(QStringLiteral("removeModel"))->isEnabled());

    // "Import model…" with the dialog answered by the test.
    TemporaryDirectory downloads;
    writeTinyXLModel(downloads.path() / "Tiny XL");
    picker->askImportPath = [&](QWidget*) {
        return QString::fromStdString((downloads.path() / "Tiny XL").string());
    };
    QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("importModel")), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([this] { return !window->library().isImporting(); }));
    ASSERT_EQ(models->count(), 2);
    EXPECT_TRUE(models->currentText().startsWith(QString::fromUtf8("Tiny XL — SDXL, ")))
        << models->currentText().toStdString();
    EXPECT_TRUE(main->findChild<QPushButton*>(QStringLiteral("removeModel"))->isEnabled());

    generator->setSteps(3);
    generateOnce(QStringLiteral("a photo of a cat"));
    ASSERT_TRUE(generator->errorMessage().isNull()) << generator->errorMessage().toStdString();
    ASSERT_EQ(generator->results().size(), 1);
    EXPECT_EQ(generator->results().front().modelName, QStringLiteral("Tiny XL"));

    // Back to the hub model with the keyboard, as a user picks.
    models->setFocus();
    QTest::keyClick(models, Qt::Key_Up);
    EXPECT_EQ(window->library().chosenId(), QStringLiteral("hub"));
    generateOnce(QStringLiteral("a dog"));
    ASSERT_EQ(generator->results().size(), 2);
    const GeneratedImage made = generator->results().front();
    EXPECT_EQ(made.modelName, QStringLiteral("Stable Diffusion 1.5"));
    const QString path = folder + QStringLiteral("/dog.png");
    main->askSavePath = [&](QWidget*, const QString&) { return path; };
    QTest::mouseClick(main->grid()->viewport(), Qt::LeftButton, {},
                      main->grid()->cellRect(0).center());
    QTest::keyClick(main->grid(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(QImage(path).text(QStringLiteral("parameters"))
                    .endsWith(QStringLiteral(", Model: Stable Diffusion 1.5")));

    // A file dropped on the window is imported; what is no model says why.
    writeAffineBundle(downloads.path() / "notes");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(
        QString::fromStdString((downloads.path() / "notes").string()))});
    EXPECT_TRUE(window->importDropped(&data));
    ASSERT_TRUE(waitUntil([this] { return !window->library().isImporting(); }));
    EXPECT_TRUE(showsText(main, QStringLiteral("is not a model folder")))
        << window->library().message().toStdString();

    // A dropped image is no import: it gives its settings back.
    generator->setPrompt(QStringLiteral("something else"));
    QMimeData image;
    image.setUrls({QUrl::fromLocalFile(path)});
    EXPECT_TRUE(window->importDropped(&image));
    EXPECT_FALSE(window->library().isImporting());
    EXPECT_EQ(generator->prompt(), QStringLiteral("a dog"));
    const QString notice = window->session().reader().notice();
    EXPECT_TRUE(notice.startsWith(QStringLiteral("Took the settings of \"dog.png\"."))) << notice.toStdString();
    EXPECT_FALSE(notice.contains(QStringLiteral("the model"))) << notice.toStdString(); // the chosen one

    // Remove asks first, for the chosen model (the hub model is chosen
    // again) and, from the menu beside it, for any other (the choice stays).
    auto* removeModel = main->findChild<QPushButton*>(QStringLiteral("removeModel"));
    auto* removeOther = main->findChild<QPushButton*>(QStringLiteral("removeOtherModel"));
    const std::function<void()> asks[] = {
        [&] {
            models->setFocus();
            QTest::keyClick(models, Qt::Key_Down);
            ASSERT_EQ(window->library().chosenName(), QStringLiteral("Tiny XL"));
            QTest::mouseClick(removeModel, Qt::LeftButton);
        },
        [&] {
            QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("importModel")),
                              Qt::LeftButton);
            ASSERT_TRUE(waitUntil([this] { return !window->library().isImporting(); }));
            models->setFocus();
            QTest::keyClick(models, Qt::Key_Up);
            ASSERT_EQ(window->library().chosenId(), QStringLiteral("hub"));
            EXPECT_FALSE(removeModel->isEnabled());
            EXPECT_TRUE(removeOther->isEnabled());
            emit picker->removeMenu()->aboutToShow();
            const QList<QAction*> actions = picker->removeMenu()->actions();
            ASSERT_EQ(actions.size(), 1);
            EXPECT_TRUE(actions.front()->text().startsWith(QStringLiteral("Tiny XL")));
            actions.front()->trigger();
        }};
    for (const auto& ask : asks) {
        ask();
        ASSERT_NE(picker->removeConfirmation(), nullptr);
        EXPECT_EQ(models->count(), 2);
        QTest::mouseClick(
            picker->removeConfirmation()->findChild<QPushButton*>(QStringLiteral("confirmRemove")),
            Qt::LeftButton);
        EXPECT_EQ(models->count(), 1);
        EXPECT_EQ(window->library().chosenId(), QStringLiteral("hub"));
        EXPECT_FALSE(removeOther->isEnabled());
    }
    EXPECT_TRUE(std::filesystem::exists(downloads.path() / "Tiny XL" / "Unet.model"));
}

TEST_F(Window, GeneratesWithAnImportedCheckpointThenWithTheHubModelAgain) {
    // A hub model and a single-file checkpoint of real (tiny) networks.
    const auto hub = directory.path() / "Model";
    writeRandomModel(hub, {.checkpointRules = true});
    TemporaryDirectory downloads;
    writeRandomModel(downloads.path() / "other", {.checkpointRules = true, .seed = 5});
    const auto file = downloads.path() / "photon_v1.safetensors";
    writeCheckpoint(downloads.path() / "other", file, CheckpointContents::model);
    QFile marker(folder + QStringLiteral("/Model/.complete"));
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();
    window->show();
    ASSERT_TRUE(waitUntil([this] { return store->state() == ModelState::ready(); },
                          std::chrono::seconds(60)));
    MainView* main = window->mainView();
    main->controls()->modelPicker()->askImportPath = [&](QWidget*) {
        return QString::fromStdString(file.string());
    };
    QTest::mouseClick(main->findChild<QPushButton*>(QStringLiteral("importModel")), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([this] { return !window->library().isImporting(); }));
    ASSERT_TRUE(window->library().message().isNull()) << window->library().message().toStdString();
    auto* models = main->findChild<QComboBox*>(QStringLiteral("model"));
    EXPECT_TRUE(models->currentText().startsWith(QString::fromUtf8("photon_v1 — SD 1.5, ")));
    const LibraryEntry imported = *window->library().entry(window->library().chosenId());

    generator->setSteps(2);
    generateOnce(QStringLiteral("a photo of a cat"));
    ASSERT_TRUE(generator->errorMessage().isNull()) << generator->errorMessage().toStdString();
    models->setFocus();
    QTest::keyClick(models, Qt::Key_Up); // the hub model again
    generateOnce(QStringLiteral("a photo of a cat"));
    ASSERT_TRUE(generator->errorMessage().isNull()) << generator->errorMessage().toStdString();

    ASSERT_EQ(generator->results().size(), 2);
    const GeneratedImage& fromFile = generator->results()[1];
    const GeneratedImage& fromHub = generator->results()[0];
    EXPECT_EQ(fromFile.image.size(), fromHub.image.size());
    EXPECT_TRUE(fromFile.parametersText().endsWith(
        QStringLiteral(", Model hash: ") + imported.sha256.left(10) +
        QStringLiteral(", Model: photon_v1")))
        << fromFile.parametersText().toStdString();
    EXPECT_TRUE(fromHub.parametersText().endsWith(
        QStringLiteral("x128, Model: Stable Diffusion 1.5")));
    // Same seed and prompt, other weights: another image.
    EXPECT_NE(fromFile.image, fromHub.image);
}
