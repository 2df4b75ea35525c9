#include "state/SettingsReader.h"

#include "pipeline/GenerationParameters.h"
#include "pipeline/SamplerChoice.h"
#include "state/GenerationSettings.h"
#include "state/Generator.h"
#include "state/ImageInput.h"
#include "state/LoraLibrary.h"
#include "state/PngText.h"

#include <QFileInfo>
#include <QImageReader>
#include <QStringList>

#include <algorithm>

namespace dravelin {

namespace {

constexpr double kSmallestHiresScale = ImageInput::kSmallestHiresScale;
constexpr double kLargestHiresScale = ImageInput::kLargestHiresScale;

} // namespace

SettingsReader::SettingsReader(Generator& generator, GenerationSettings& settings,
                               LoraLibrary& library, QObject* parent)
    : QObject(parent), generator_(generator), settings_(settings), library_(library) {}

void SettingsReader::setNotice(const QString& notice) {
    if (notice != notice_) {
        notice_ = notice;
        emit noticeChanged();
    }
}

void SettingsReader::clearNotice() {
    setNotice(QString());
}

bool SettingsReader::readFile(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    QImageReader reader(path);
    if (!reader.canRead()) {
        setNotice(QStringLiteral("\"%1\" is not an image that can be read.").arg(name));
        return false;
    }
    const QString text = readPngText(path, "parameters").value_or(QString());
    if (text.isEmpty()) {
        setNotice(QStringLiteral("\"%1\" carries no generation settings.").arg(name));
        return false;
    }
    return apply(text, name);
}

bool SettingsReader::apply(const QString& text, const QString& source) {
    GenerationParameters p;
    try {
        p = parseGenerationParameters(text.toStdString());
    } catch (const ParametersError& error) {
        setNotice(QStringLiteral("The settings of \"%1\" cannot be read: %2")
                      .arg(source, QString::fromUtf8(error.what())));
        return false;
    }
    QStringList missing;
    generator_.setPrompt(QString::fromStdString(p.prompt));
    generator_.setNegativePrompt(QString::fromStdString(p.negativePrompt));
    if (p.seed) {
        generator_.setSeedText(QString::number(*p.seed));
    }
    if (p.steps) {
        generator_.setSteps(*p.steps);
    }
    if (p.guidance) {
        generator_.setGuidance(*p.guidance);
    }
    if (p.sampler) {
        if (const auto choice = samplerChoice(*p.sampler, p.scheduleType)) {
            settings_.setSamplerChoice(*choice);
        } else {
            missing.append(
                QStringLiteral("the sampler \"%1\" is not available (%2 is kept)")
                    .arg(QString::fromStdString(*p.sampler) +
                             (p.scheduleType ? QStringLiteral(" ") +
                                                   QString::fromStdString(*p.scheduleType)
                                             : QString()),
                         settings_.sampler()));
        }
    }
    if (p.width && p.height && !settings_.setSize(*p.width, *p.height)) {
        missing.append(QStringLiteral("the size %1 \u00d7 %2 cannot be made: %3")
                           .arg(*p.width)
                           .arg(*p.height)
                           .arg(GenerationSettings::sizeProblem(*p.width, *p.height)));
    }
    // Settings the image does not give were off when it was made.
    const int clipSkip = p.clipSkip.value_or(1);
    if (clipSkip > GenerationSettings::kMostClipSkip) {
        missing.append(QStringLiteral("the clip skip %1 is beyond the text encoder's %2 layers")
                           .arg(clipSkip)
                           .arg(GenerationSettings::kMostClipSkip));
    } else {
        settings_.setClipSkip(clipSkip);
    }
    ImageInput& input = *generator_.imageInput();
    if (p.hiresUpscale) {
        if (*p.hiresUpscale >= kSmallestHiresScale && *p.hiresUpscale <= kLargestHiresScale) {
            input.setHiresEnabled(true);
            input.setHiresScale(*p.hiresUpscale);
            if (p.denoisingStrength && *p.denoisingStrength > 0.0f &&
                *p.denoisingStrength < 1.0f) {
                input.setHiresStrength(*p.denoisingStrength);
            }
            input.setHiresSteps(static_cast<int>(
                std::min<int64_t>(p.hiresSteps.value_or(0), ImageInput::kMostHiresSteps)));
            if (p.hiresUpscaler) {
                missing.append(QStringLiteral("the hires upscaler \"%1\" is not available (the "
                                              "image is enlarged smoothly)")
                                   .arg(QString::fromStdString(*p.hiresUpscaler)));
            }
        } else {
            input.setHiresEnabled(false);
            missing.append(QStringLiteral("the hires upscale \u00d7%1 cannot be made (from "
                                          "\u00d7%2 to \u00d7%3)")
                               .arg(static_cast<double>(*p.hiresUpscale))
                               .arg(kSmallestHiresScale)
                               .arg(kLargestHiresScale));
        }
    } else {
        input.setHiresEnabled(false);
        // Without the hires fix the strength is image-to-image's.
        if (p.denoisingStrength && *p.denoisingStrength > 0.0f) {
            input.setStrength(*p.denoisingStrength);
        }
    }
    if (p.model && QString::fromStdString(*p.model) != modelName_) {
        missing.append(QStringLiteral("the model \"%1\" is not installed (%2 is used)")
                           .arg(QString::fromStdString(*p.model), modelName_));
    }
    library_.clearChosen();
    for (const PromptLora& lora : p.loras) {
        const QString name = QString::fromStdString(lora.name);
        if (!library_.entry(name)) {
            missing.append(QStringLiteral("the LoRA \"%1\" is not installed").arg(name));
        } else if (!library_.choose(name, lora.weight)) {
            missing.append(library_.errorMessage());
        }
    }
    QString notice = QStringLiteral("Took the settings of \"%1\".").arg(source);
    if (!missing.isEmpty()) {
        notice += QStringLiteral(" Not taken: ") + missing.join(QStringLiteral("; ")) +
                  QStringLiteral(".");
    }
    setNotice(notice);
    return true;
}

} // namespace dravelin
