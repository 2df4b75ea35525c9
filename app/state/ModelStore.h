#pragma once

#include "state/ModelState.h"
#include "state/download/ModelDownload.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QTimer>

#include "runtime/ModelConfiguration.h"

#include <memory>
#include <optional>
#include <vector>

namespace dravelin {

class StableDiffusionPipeline;
struct ManifestEntry;

// Owns the model on disk and in memory: decides at start-up whether a
// complete model is installed, downloads it, builds and loads the pipeline
// (on a worker thread), deletes it, and publishes one ModelState.
//
// On disk, under the application folder: "Model/" (the installed model, with
// the empty marker "Model/.complete" written last, and the manifest of its
// files written just before) and "Model.partial/" (the download's staging
// area, kept across failures so a download resumes).
class ModelStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(dravelin::ModelState state READ state NOTIFY stateChanged)

public:
    // The application folder ($XDG_DATA_HOME or ~/.local/share, then "Dravelin").
    static QString defaultApplicationFolder();

    explicit ModelStore(QString applicationFolder = defaultApplicationFolder(),
                        QObject* parent = nullptr);
    ~ModelStore() override;

    const ModelState& state() const { return state_; }
    // Present exactly while the state is `ready`.
    std::shared_ptr<StableDiffusionPipeline> pipeline() const { return pipeline_; }

    QString applicationFolder() const { return applicationFolder_; }
    QString modelDirectory() const;
    QString partialDirectory() const;
    QString markerPath() const;
    // True exactly when the completion marker exists.
    bool isInstalled() const;
    bool isDownloading() const { return !download_.isNull(); }

    // The LoRA files merged into the pipeline. Changing them reloads a loaded
    // (or loading) model with them, through `loading` to `ready`; returns
    // whether a reload started. Should that load fail, the model is loaded
    // again without LoRAs and lorasFailed() says why.
    const std::vector<LoraFile>& loras() const { return loras_; }
    bool setLoras(const std::vector<LoraFile>& loras);
    // The same for the image size the networks' inputs are sized for; 0 × 0
    // leaves them at the networks' own size. One reload for both.
    bool setLorasAndSize(const std::vector<LoraFile>& loras, int width, int height);
    // The image size of the installed denoising network (8 pixels per
    // latent cell), absent when its bundle does not say.
    std::optional<QSize> ownImageSize() const;
    // True while such a reload runs (the state is `loading`), so the main
    // screen can stay up meanwhile.
    bool isReloading() const { return reloading_; }

    // Loads the installed model, or leaves the state at `missing`.
    void startUp();
    void loadModel();
    // "Try again" after a failed load: checks the installed files against
    // the manifest; when some differ, fetches only those again (then loads),
    // otherwise loads as loadModel() does.
    void tryAgain();
    // Cancels a download, forgets the pipeline and removes both directories.
    void deleteModel();
    // Starts the download unless one is running.
    void startDownload();
    void cancelDownload();
    // For downloads started from now on.
    void setDownloadTimings(const DownloadTimings& timings) { downloadTimings_ = timings; }

signals:
    void stateChanged();
    void lorasFailed(const QString& message);

protected:
    // Screens can be shown in any state (screenshots and window tests).
    void setState(const ModelState& state);

private:
    void publishProgress();
    void downloadFinished(int outcome, const QString& description, bool failedLocally);
    void repair(const QList<ManifestEntry>& differing);

    QString applicationFolder_;
    ModelState state_ = ModelState::missing();
    std::shared_ptr<StableDiffusionPipeline> pipeline_;
    std::vector<LoraFile> loras_;
    QSize imageSize_;
    bool reloading_ = false;
    QNetworkAccessManager network_;
    QPointer<ModelDownload> download_;
    DownloadTimings downloadTimings_;
    // Network progress can arrive thousands of times a second: the latest
    // value waits here and is published at most once per frame.
    QTimer progressTimer_;
    double pendingFraction_ = 0.0;
    QString pendingDetail_;
    // Identifies the current load, so a load that finishes after a delete or
    // a newer load is dropped.
    quint64 loadToken_ = 0;
};

} // namespace dravelin
