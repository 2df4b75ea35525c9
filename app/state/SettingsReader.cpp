#include "state/SettingsReader.h"

#include "pipeline/GenerationParameters.h"
#include "pipeline/SamplerChoice.h"
#include "state/GenerationSettings.h"
#include "state/Generator.h"
#include "state/LoraLibrary.h"
#include "state/PngText.h"

#include <QFileInfo>
#include <QImageReader>
#include <QStringList>

namespace dravelin {

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
