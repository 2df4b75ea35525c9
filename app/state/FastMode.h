#pragma once

#include "runtime/ModelConfiguration.h"
#include "state/download/ModelDownload.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

namespace dravelin {

class GenerationSettings;
class Generator;

// One switch for images in a few steps: the latent-consistency LoRA of the
// model's family, the LCM sampler, 4 steps and guidance 1. Switching it off
// gives back the sampler, steps and guidance the user had. The LoRA comes
// from the hub on first use, through the model download (resumed, checked,
// with progress and Cancel), into the application folder's
// "LoRA/Fast/<repository name>/".
class FastMode : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)
    Q_PROPERTY(bool isDownloading READ isDownloading NOTIFY downloadChanged)
    Q_PROPERTY(double downloadFraction READ downloadFraction NOTIFY downloadChanged)
    Q_PROPERTY(QString downloadDetail READ downloadDetail NOTIFY downloadChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)

public:
    static constexpr int kSteps = 4;
    static constexpr double kGuidance = 1.0;

    FastMode(Generator& generator, GenerationSettings& settings, QString applicationFolder,
             QObject* parent = nullptr);
    ~FastMode() override;

    // The hub repository and file of the LoRA for SD 1.x or SDXL models.
    static DownloadSource sourceFor(bool isXL);
    QString directoryFor(bool isXL) const;
    bool isInstalled(bool isXL) const;
    // The LoRA to merge while the mode is on and its file is in place.
    std::optional<LoraFile> lora() const;

    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled);
    bool isDownloading() const { return !download_.isNull(); }
    double downloadFraction() const { return downloadFraction_; }
    QString downloadDetail() const { return downloadDetail_; }
    // Ends the download and switches the mode off.
    void cancelDownload();
    QString errorMessage() const { return errorMessage_; }
    // For downloads started from now on.
    void setDownloadTimings(const DownloadTimings& timings) { timings_ = timings; }

signals:
    void enabledChanged();
    void downloadChanged();
    void errorMessageChanged();
    // The LoRA of the current family is in place (after a download).
    void installed();

private:
    struct UserSettings {
        QString sampler;
        qint64 steps;
        double guidance;
    };
    void startDownloadIfMissing();
    void setErrorMessage(const QString& message);

    Generator& generator_;
    GenerationSettings& settings_;
    QString applicationFolder_;
    bool enabled_ = false;
    std::optional<UserSettings> saved_;
    QNetworkAccessManager network_;
    QPointer<ModelDownload> download_;
    DownloadTimings timings_;
    double downloadFraction_ = 0.0;
    QString downloadDetail_;
    QString errorMessage_;
};

} // namespace dravelin
