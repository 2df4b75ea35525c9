#include "state/GeneratedImage.h"

#include "pipeline/GenerationParameters.h"

#include <QStringList>
#include <QTextBoundaryFinder>

namespace dravelin {

namespace {

// The user-perceived characters (grapheme clusters) of a text.
QStringList characters(const QString& text) {
    QStringList result;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        if (end > start) {
            result.append(text.mid(start, end - start));
        }
        start = end;
    }
    return result;
}

// A character counts as a letter or number by its base code point, so an
// accented letter written with a combining mark stays whole.
bool isLetterOrNumber(const QString& character) {
    const QList<uint> codePoints = character.toUcs4();
    return !codePoints.isEmpty() && QChar::isLetterOrNumber(static_cast<char32_t>(codePoints[0]));
}

} // namespace

QString GeneratedImage::suggestedFileName() const {
    QString cleaned;
    for (const QString& character : characters(prompt.toLower())) {
        cleaned += isLetterOrNumber(character) ? character : QStringLiteral("-");
    }
    const QStringList words = cleaned.split(QLatin1Char('-'), Qt::SkipEmptyParts);
    const QString joined = words.mid(0, 8).join(QLatin1Char('-'));
    const QString stem = characters(joined).mid(0, 60).join(QString());
    return stem + QStringLiteral("_seed-") + QString::number(seed) + QStringLiteral(".png");
}

namespace {

// A value holding a comma or a quote is written in double quotes (quotes and
// backslashes escaped), so readers split the pairs where they should.
QString parameterValue(const QString& value) {
    if (!value.contains(QLatin1Char(',')) && !value.contains(QLatin1Char('"'))) {
        return value;
    }
    QString quoted(QLatin1Char('"'));
    for (const QChar c : value) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        }
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

} // namespace

QString GeneratedImage::parametersText() const {
    if (!parameters.isEmpty()) {
        // What the generation wrote (sampler, schedule, LoRAs, …), with the
        // fields a result's holder may change since taken from them.
        try {
            GenerationParameters p = parseGenerationParameters(parameters.toStdString());
            p.negativePrompt = negativePrompt.toStdString();
            p.model = modelName.isEmpty() ? std::nullopt
                                          : std::optional<std::string>(modelName.toStdString());
            p.modelHash = modelHash.isEmpty()
                              ? std::nullopt
                              : std::optional<std::string>(modelHash.toStdString());
            return QString::fromStdString(writeGenerationParameters(p));
        } catch (const std::exception&) {
            return parameters;
        }
    }
    QString text = prompt + QLatin1Char('\n');
    if (!negativePrompt.isEmpty()) {
        text += QStringLiteral("Negative prompt: ") + negativePrompt + QLatin1Char('\n');
    }
    text += QStringLiteral("Steps: %1, Sampler: %2, CFG scale: %3, Seed: %4, Size: %5x%6")
                .arg(steps)
                .arg(sampler)
                .arg(QString::number(guidance))
                .arg(seed)
                .arg(image.width())
                .arg(image.height());
    if (!modelHash.isEmpty()) {
        text += QStringLiteral(", Model hash: ") + modelHash;
    }
    if (!modelName.isEmpty()) {
        text += QStringLiteral(", Model: ") + parameterValue(modelName);
    }
    return text;
}

} // namespace dravelin
