#include "app/QtTestApplication.h"
#include "state/ModelStore.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <filesystem>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class ModelStoreTest : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;
    QString folder = QString::fromStdString(directory.path().string());
    std::unique_ptr<ModelStore> store;
    std::vector<ModelState::Kind> seen;

    ModelStoreTest() { qtApplication(); }

    void makeStore() {
        store = std::make_unique<ModelStore>(folder);
        QObject::connect(store.get(), &ModelStore::stateChanged,
                         [this] { seen.push_back(store->state().kind); });
    }

    void install() {
        writeTinyModel(directory.path() / "Model");
        QFile marker(folder + QStringLiteral("/Model/.complete"));
        ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    }

    bool settled() {
        return waitUntil([this] { return store->state().kind != ModelState::Kind::loading; });
    }
};

} // namespace

TEST_F(ModelStoreTest, StartsMissingWithoutTheMarker) {
    writeTinyModel(directory.path() / "Model"); // files, but no marker
    makeStore();
    EXPECT_FALSE(store->isInstalled());
    store->startUp();
    EXPECT_EQ(store->state(), ModelState::missing());
    EXPECT_FALSE(store->pipeline());
}

TEST_F(ModelStoreTest, LoadsAnInstalledModel) {
    install();
    makeStore();
    store->startUp();
    EXPECT_EQ(store->state().kind, ModelState::Kind::loading);
    ASSERT_TRUE(settled());
    EXPECT_EQ(store->state(), ModelState::ready());
    EXPECT_TRUE(store->pipeline());
    EXPECT_EQ(seen,
              (std::vector<ModelState::Kind>{ModelState::Kind::loading, ModelState::Kind::ready}));
}

TEST_F(ModelStoreTest, DamagedFilesFailWithTheLoadMessage) {
    install();
    const auto weights = directory.path() / "Model" / "TextEncoder.model" / "model.safetensors";
    std::filesystem::resize_file(weights, std::filesystem::file_size(weights) / 2);
    makeStore();
    store->startUp();
    ASSERT_TRUE(settled());
    ASSERT_EQ(store->state().kind, ModelState::Kind::failed);
    const QString message = store->state().message;
    EXPECT_TRUE(message.startsWith(QStringLiteral("The model could not be loaded: ")));
    EXPECT_TRUE(message.endsWith(
        QString::fromUtf8(" The files may be damaged — use Delete model and download it again.")));
    EXPECT_TRUE(message.contains(QStringLiteral("TextEncoder.model"))) << message.toStdString();
    EXPECT_FALSE(store->pipeline());
    EXPECT_TRUE(store->isInstalled()); // so the screen offers Try again / Delete model

    // Repaired, "Try again" loads; damaged again, the old pipeline is dropped.
    install();
    store->loadModel();
    ASSERT_TRUE(settled());
    EXPECT_EQ(store->state(), ModelState::ready());
    std::filesystem::resize_file(weights, 10);
    store->loadModel();
    ASSERT_TRUE(settled());
    EXPECT_EQ(store->state().kind, ModelState::Kind::failed);
    EXPECT_FALSE(store->pipeline());
}

TEST_F(ModelStoreTest, DeleteRemovesEverythingAndIgnoresAStaleLoad) {
    install();
    QDir().mkpath(folder + QStringLiteral("/Model.partial/TextEncoder.model"));
    makeStore();
    store->startUp();
    store->deleteModel(); // while loading
    EXPECT_EQ(store->state(), ModelState::missing());
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/Model")));
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/Model.partial")));
    // The load that was running finishes without resurrecting the model.
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(store->state(), ModelState::missing());
    EXPECT_FALSE(store->pipeline());

    store->deleteModel(); // nothing on disk
    EXPECT_EQ(store->state(), ModelState::missing());
}
