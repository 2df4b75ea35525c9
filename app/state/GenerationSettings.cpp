#include "state/GenerationSettings.h"

#include "pipeline/SchedulerTable.h"

#include <algorithm>

namespace dravelin {

namespace {

const QString kKarrasSuffix = QStringLiteral(" Karras");

const QList<QSize>& presetsOf(bool isXL) {
    static const QList<QSize> sd{{512, 512}, {512, 768}, {768, 512}, {768, 768}};
    // The shapes SDXL was trained on, each close to 1024 × 1024 pixels.
    static const QList<QSize> xl{{1024, 1024}, {896, 1152}, {1152, 896}, {832, 1216},
                                 {1216, 832},  {768, 1344}, {1344, 768}};
    return isXL ? xl : sd;
}

} // namespace

GenerationSettings::GenerationSettings(QObject* parent)
    : QObject(parent), sampler_(samplerName({})) {}

QStringList GenerationSettings::samplerNames() const {
    QStringList names;
    for (const SchedulerEntry& entry : schedulerTable()) {
        names.append(samplerName({entry.type, TimeStepSpacing::linspace}));
        if (takesKarrasSpacing(entry.type)) {
            names.append(samplerName({entry.type, TimeStepSpacing::karras}));
        }
    }
    return names;
}

QString GenerationSettings::samplerName(const SamplerChoice& choice) {
    GenerationParameters parameters;
    describeSampler(choice, parameters);
    QString name = QString::fromStdString(parameters.sampler.value_or(""));
    return parameters.scheduleType ? name + kKarrasSuffix : name;
}

void GenerationSettings::setSampler(const QString& name) {
    if (name != sampler_ && samplerNames().contains(name)) {
        sampler_ = name;
        emit samplerChanged();
    }
}

SamplerChoice GenerationSettings::samplerChoice() const {
    const bool karras = sampler_.endsWith(kKarrasSuffix);
    const QString base = karras ? sampler_.chopped(kKarrasSuffix.size()) : sampler_;
    return dravelin::samplerChoice(base.toStdString(),
                                   karras ? std::optional<std::string>("Karras") : std::nullopt)
        .value_or(SamplerChoice{});
}

void GenerationSettings::setSamplerChoice(const SamplerChoice& choice) {
    setSampler(samplerName(choice));
}

void GenerationSettings::setXL(bool isXL) {
    if (isXL == isXL_) {
        return;
    }
    const bool preset = sizePreset() >= 0;
    isXL_ = isXL;
    emit familyChanged();
    if (preset) {
        chooseSizePreset(0);
    }
}

QList<QSize> GenerationSettings::sizePresets() const {
    return presetsOf(isXL_);
}

QStringList GenerationSettings::sizePresetNames() const {
    QStringList names;
    for (const QSize& size : presetsOf(isXL_)) {
        names.append(QString::number(size.width()) + QStringLiteral(" \u00d7 ") +
                     QString::number(size.height()));
    }
    return names;
}

int GenerationSettings::sizePreset() const {
    return static_cast<int>(presetsOf(isXL_).indexOf(size_));
}

void GenerationSettings::chooseSizePreset(int index) {
    const QList<QSize>& presets = presetsOf(isXL_);
    if (index >= 0 && index < presets.size()) {
        setSize(presets[index].width(), presets[index].height());
    }
}

QString GenerationSettings::sizeProblem(int width, int height) {
    for (const int side : {width, height}) {
        if (side < kSmallestSide || side > kLargestSide) {
            return QStringLiteral("Width and height must be from %1 to %2 pixels.")
                .arg(kSmallestSide)
                .arg(kLargestSide);
        }
        if (side % 8 != 0) {
            return QStringLiteral("Width and height must be multiples of 8 pixels; %1 is not.")
                .arg(side);
        }
    }
    return {};
}

bool GenerationSettings::setSize(int width, int height) {
    if (!sizeProblem(width, height).isEmpty()) {
        return false;
    }
    if (QSize(width, height) != size_) {
        size_ = QSize(width, height);
        emit sizeChanged();
    }
    return true;
}

void GenerationSettings::setImageCount(int count) {
    count = std::clamp(count, 1, kMostImages);
    if (count != imageCount_) {
        imageCount_ = count;
        emit imageCountChanged();
    }
}

void GenerationSettings::setClipSkip(int clipSkip) {
    clipSkip = std::clamp(clipSkip, 1, kMostClipSkip);
    if (clipSkip != clipSkip_) {
        clipSkip_ = clipSkip;
        emit clipSkipChanged();
    }
}

} // namespace dravelin
