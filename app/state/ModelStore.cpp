#include "state/ModelStore.h"

#include "state/ModelLoader.h"

#include "pipeline/ImageSize.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "runtime/BundleDescription.h"
#include "state/ResidencyPolicy.h"
#include "state/download/ModelDownload.h"
#include "state/download/ModelManifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

namespace dravelin {

namespace {

struct LoadResult {
    std::shared_ptr<StableDiffusionPipeline> pipeline;
    QString error;
};

// Builds and loads the pipeline; runs on a worker thread. Where the machine
// has room, every network stays loaded, so no generation waits for a reload.
LoadResult buildPipeline(const QString& modelDirectory, const std::vector<LoraFile>& loras,
                         QSize size) {
    try {
        const std::filesystem::path directory = modelDirectory.toStdString();
        ModelConfiguration configuration{ComputeUnits::cpuAndGPU, ComputePrecision::automatic,
                                         loras};
        if (!size.isEmpty()) {
            configuration = sizedForImages(configuration, size.width(), size.height());
        }
        auto pipeline = std::make_shared<StableDiffusionPipeline>(
            directory, std::vector<std::string>{}, configuration,
            /*disableSafety=*/true, /*reduceMemory=*/!keepNetworksResident(directory));
        releaseTextEncodersAfterEncoding(*pipeline);
        pipeline->loadResources();
        return {std::move(pipeline), {}};
    } catch (const std::exception& error) {
        return {nullptr, QString::fromUtf8(error.what())};
    } catch (...) {
        return {nullptr, QStringLiteral("An unknown error occurred.")};
    }
}

constexpr int kProgressIntervalMs = 16; // about one frame

} // namespace

QString ModelStore::defaultApplicationFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Dravelin");
}

ModelStore::ModelStore(QString applicationFolder, QObject* parent)
    : QObject(parent), applicationFolder_(std::move(applicationFolder)) {
    progressTimer_.setSingleShot(true);
    progressTimer_.setInterval(kProgressIntervalMs);
    connect(&progressTimer_, &QTimer::timeout, this, &ModelStore::publishProgress);
}

ModelStore::~ModelStore() {
    if (download_) {
        download_->disconnect(this);
        download_->cancel();
    }
}

QString ModelStore::modelDirectory() const {
    return applicationFolder_ + QStringLiteral("/Model");
}

QString ModelStore::partialDirectory() const {
    return applicationFolder_ + QStringLiteral("/Model.partial");
}

QString ModelStore::markerPath() const {
    return modelDirectory() + QStringLiteral("/.complete");
}

bool ModelStore::isInstalled() const {
    return QFileInfo::exists(markerPath());
}

void ModelStore::setState(const ModelState& state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    emit stateChanged();
}

void ModelStore::startUp() {
    if (isInstalled()) {
        loadModel();
    } else {
        setState(ModelState::missing());
    }
}

void ModelStore::loadModel() {
    setState(ModelState::loading());
    const quint64 token = ++loadToken_;
    auto* watcher = new QFutureWatcher<LoadResult>(this);
    connect(watcher, &QFutureWatcher<LoadResult>::finished, this, [this, watcher, token] {
        watcher->deleteLater();
        if (token != loadToken_) {
            return; // deleted or reloaded meanwhile
        }
        const LoadResult result = watcher->result();
        pipeline_ = result.pipeline;
        reloading_ = false;
        if (pipeline_) {
            setState(ModelState::ready());
        } else if (!loras_.empty()) {
            // The LoRAs, not the model, may be at fault: load without them.
            loras_.clear();
            reloading_ = true;
            emit lorasFailed(QStringLiteral("The LoRAs could not be merged: ") + result.error);
            loadModel();
        } else {
            setState(ModelState::failed(
                QStringLiteral("The model could not be loaded: ") + result.error +
                QStringLiteral(" The files may be damaged \u2014 use Delete model and download "
                               "it again.")));
        }
    });
    watcher->setFuture(QtConcurrent::run(buildPipeline, modelDirectory(), loras_, imageSize_));
}

bool ModelStore::setLoras(const std::vector<LoraFile>& loras) {
    return setLorasAndSize(loras, imageSize_.width(), imageSize_.height());
}

std::optional<QSize> ModelStore::ownImageSize() const {
    try {
        const std::optional<FeatureDescription> sample =
            describeBundle((modelDirectory() + QStringLiteral("/Unet.model")).toStdString())
                .input("sample");
        if (sample && sample->shape.size() == 4) {
            return QSize(static_cast<int>(kLatentCell * sample->shape[3]),
                         static_cast<int>(kLatentCell * sample->shape[2]));
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

bool ModelStore::setLorasAndSize(const std::vector<LoraFile>& loras, int width, int height) {
    const QSize size = width > 0 && height > 0 ? QSize(width, height) : QSize();
    if (loras == loras_ && size == imageSize_) {
        return false;
    }
    loras_ = loras;
    imageSize_ = size;
    if (pipeline_ || state_ == ModelState::loading()) {
        pipeline_.reset();
        reloading_ = true;
        loadModel();
        return true;
    }
    return false;
}

void ModelStore::tryAgain() {
    const std::optional<QList<ManifestEntry>> manifest = readManifest(modelDirectory());
    if (download_ || !isInstalled() || !manifest) {
        loadModel();
        return;
    }
    setState(ModelState::loading());
    const quint64 token = ++loadToken_;
    pipeline_.reset();
    auto* watcher = new QFutureWatcher<QList<ManifestEntry>>(this);
    connect(watcher, &QFutureWatcher<QList<ManifestEntry>>::finished, this, [this, watcher, token] {
        watcher->deleteLater();
        if (token != loadToken_) {
            return; // deleted or reloaded meanwhile
        }
        const QList<ManifestEntry> differing = watcher->result();
        if (differing.isEmpty()) {
            loadModel();
        } else {
            repair(differing);
        }
    });
    watcher->setFuture(QtConcurrent::run(differingFiles, modelDirectory(), *manifest));
}

// The files that are still good become the staging area of a download,
// which then fetches only the others.
void ModelStore::repair(const QList<ManifestEntry>& differing) {
    QFile::remove(markerPath());
    const QDir model(modelDirectory());
    for (const ManifestEntry& entry : differing) {
        QFile::remove(model.filePath(entry.path));
    }
    QDir(partialDirectory()).removeRecursively();
    // Should the move fail, the download fetches everything and replaces
    // the model directory at its end.
    QDir().rename(modelDirectory(), partialDirectory());
    startDownload();
}

void ModelStore::deleteModel() {
    if (download_) {
        download_->cancel();
    }
    reloading_ = false;
    ++loadToken_;
    pipeline_.reset();
    QDir(modelDirectory()).removeRecursively();
    QDir(partialDirectory()).removeRecursively();
    setState(ModelState::missing());
}

void ModelStore::startDownload() {
    if (download_) {
        return;
    }
    setState(ModelState::downloading(0.0, QStringLiteral("Preparing\u2026")));
    auto* download = new ModelDownload(&network_, partialDirectory(), modelDirectory(), this);
    download->setTimings(downloadTimings_);
    download_ = download;
    connect(download, &ModelDownload::progress, this,
            [this](double fraction, const QString& detail) {
                pendingFraction_ = fraction;
                pendingDetail_ = detail;
                if (!progressTimer_.isActive()) {
                    progressTimer_.start();
                }
            });
    connect(download, &ModelDownload::finished, this,
            [this, download](ModelDownload::Outcome outcome, const QString& description) {
                downloadFinished(static_cast<int>(outcome), description, download->failedLocally());
            });
    download->start();
}

void ModelStore::cancelDownload() {
    if (download_) {
        download_->cancel();
    }
}

void ModelStore::publishProgress() {
    // Progress that arrives after the download ended changes nothing.
    if (state_.kind == ModelState::Kind::downloading) {
        setState(ModelState::downloading(pendingFraction_, pendingDetail_));
    }
}

void ModelStore::downloadFinished(int outcome, const QString& description, bool failedLocally) {
    progressTimer_.stop();
    if (download_) {
        download_->deleteLater();
        download_.clear();
    }
    switch (static_cast<ModelDownload::Outcome>(outcome)) {
    case ModelDownload::Outcome::installed:
        loadModel();
        break;
    case ModelDownload::Outcome::cancelled:
        setState(ModelState::missing());
        break;
    case ModelDownload::Outcome::failed:
        // Advice about the connection would mislead when the disk is full.
        setState(ModelState::failed(
            QStringLiteral("The model download failed: ") + description +
            (failedLocally ? QString()
                           : QStringLiteral(" Check your internet connection and try again.")) +
            QStringLiteral(" Partially downloaded files are kept so the download can resume.")));
        break;
    }
}

} // namespace dravelin
