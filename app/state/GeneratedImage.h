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
    // The model it was made with, as a PNG's parameters name it; the hash is
    // empty where the model is no single file.
    QString modelName;
    QString modelHash;
    QString sampler = QStringLiteral("PNDM");
    // The "parameters" text its PNG carries (prompt, sampler, size, model,
    // LoRAs, …) as the generation wrote it; empty for results made without.
    QString parameters;

    // The name offered when saving: the prompt's first eight words (letters
    // and numbers of any script, lower-cased, joined by "-"), at most 60
    // characters, then "_seed-<seed>.png".
    QString suggestedFileName() const;
    // The "parameters" text of a saved PNG, as image tools read it:
    // `parameters` where the generation wrote it, otherwise made from the
    // fields: the prompt, "Negative prompt: …", then "Steps: 20, Sampler:
    // PNDM, CFG scale: 7.5, Seed: 42, Size: 512x512, Model hash: 0123456789,
    // Model: name".
    QString parametersText() const;
};

} // namespace dravelin

Q_DECLARE_METATYPE(dravelin::GeneratedImage)
