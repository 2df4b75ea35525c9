#include "state/FastMode.h"

#include "state/GenerationSettings.h"
#include "state/Generator.h"

#include <QDir>
#include <QFileInfo>

namespace dravelin {

namespace {

const QString kWeightsFile = QStringLiteral("pytorch_lora_weights.safetensors");

} // namespace

FastMode::FastMode(Generator& generator, GenerationSettings& settings, QString applicationFolder,
                   QObject* parent)
    : QObject(parent), generator_(generator), settings_(settings),
      applicationFolder_(std::move(applicationFolder)) {
    // Another family needs its own LoRA.
    connect(&settings_, &GenerationSettings::familyChanged, this, [this] {
        if (!enabled_) {
            return;
        }
        if (download_) {
            download_->disconnect(this);
            download_->cancel();
            download_.clear();
            emit downloadChanged();
        }
        startDownloadIfMissing();
    });
}

FastMode::~FastMode() {
    if (download_) {
        download_->disconnect(this);
        download_->cancel();
    }
}

DownloadSource FastMode::sourceFor(bool isXL) {
    return {isXL ? QStringLiteral("latent-consistency/lcm-lora-sdxl")
                 : QStringLiteral("latent-consistency/lcm-lora-sdv1-5"),
            {{kWeightsFile, kWeightsFile}}};
}

QString FastMode::directoryFor(bool isXL) const {
    return applicationFolder_ + QStringLiteral("/LoRA/Fast/") +
           sourceFor(isXL).repository.section(QLatin1Char('/'), 1);
}

bool FastMode::isInstalled(bool isXL) const {
    return QFileInfo::exists(directoryFor(isXL) + QStringLiteral("/.complete"));
}

std::optional<LoraFile> FastMode::lora() const {
    const bool isXL = settings_.isXL();
    if (!enabled_ || !isInstalled(isXL)) {
        return std::nullopt;
    }
    return LoraFile{(directoryFor(isXL) + QLatin1Char('/') + kWeightsFile).toStdString(), 1.0f};
}

void FastMode::setErrorMessage(const QString& message) {
    if (message != errorMessage_ || message.isNull() != errorMessage_.isNull()) {
        errorMessage_ = message;
        emit errorMessageChanged();
    }
}

void FastMode::setEnabled(bool enabled) {
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    if (enabled) {
        setErrorMessage(QString());
        saved_ = UserSettings{settings_.sampler(), generator_.steps(), generator_.guidance()};
        settings_.setSamplerChoice({StableDiffusionScheduler::lcmScheduler, TimeStepSpacing::linspace});
        generator_.setSteps(kSteps);
        generator_.setGuidance(kGuidance);
        startDownloadIfMissing();
    } else {
        if (download_) {
            download_->disconnect(this);
            download_->cancel();
            download_.clear();
            emit downloadChanged();
        }
        if (saved_) {
            settings_.setSampler(saved_->sampler);
            generator_.setSteps(saved_->steps);
            generator_.setGuidance(saved_->guidance);
            saved_.reset();
        }
    }
    emit enabledChanged();
}

void FastMode::startDownloadIfMissing() {
    const bool isXL = settings_.isXL();
    if (download_ || isInstalled(isXL)) {
        return;
    }
    const QString directory = directoryFor(isXL);
    auto* download = new ModelDownload(&network_, directory + QStringLiteral(".partial"), directory,
                                       this);
    download->setTimings(timings_);
    download->setSources({sourceFor(isXL)});
    download_ = download;
    downloadFraction_ = 0.0;
    downloadDetail_ = QStringLiteral("Preparing\u2026");
    connect(download, &ModelDownload::progress, this,
            [this](double fraction, const QString& detail) {
                downloadFraction_ = fraction;
                downloadDetail_ = detail;
                emit downloadChanged();
            });
    connect(download, &ModelDownload::finished, this,
            [this, download](ModelDownload::Outcome outcome, const QString& description) {
                download->deleteLater();
                download_.clear();
                emit downloadChanged();
                if (outcome == ModelDownload::Outcome::installed) {
                    emit installed();
                    return;
                }
                if (outcome == ModelDownload::Outcome::failed) {
                    setErrorMessage(
                        QStringLiteral("The fast mode's LoRA could not be downloaded: ") +
                        description);
                }
                setEnabled(false);
            });
    emit downloadChanged();
    download->start();
}

void FastMode::cancelDownload() {
    if (download_) {
        download_->cancel();
    }
}

} // namespace dravelin
