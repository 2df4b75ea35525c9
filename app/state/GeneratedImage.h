#pragma once

#include <QImage>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <cstdint>

namespace dravelin {

// One finished result, with what it was made from.
struct GeneratedImage {
    QUuid id;
    QImage image;
    QString prompt;         // as sent to the engine (trimmed)
    QString negativePrompt; // as typed
    uint32_t seed = 0;
    qint64 steps = 0;
    double guidance = 0.0;
    // The "parameters" text its PNG carries (prompt, sampler, size, model,
    // LoRAs, …); empty for results made without one.
    QString parameters;

    // The name offered when saving: the prompt's first eight words (letters
    // and numbers of any script, lower-cased, joined by "-"), at most 60
    // characters, then "_seed-<seed>.png".
    QString suggestedFileName() const;
};

} // namespace dravelin

Q_DECLARE_METATYPE(dravelin::GeneratedImage)
