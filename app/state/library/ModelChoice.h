#pragma once

#include "runtime/ModelConfiguration.h"
#include "state/library/LibraryEntry.h"

#include <QSize>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace dravelin {

class StableDiffusionPipelineProtocol;

// Everything a generation needs to know about the model it runs with: the
// chosen library entry, the refiner and VAE chosen with it, and where the
// shared files are. A plain value, handed to the generating thread.
struct ModelChoice {
    LibraryEntry model;
    std::optional<LibraryEntry> refiner; // SDXL base models only
    std::optional<LibraryEntry> vae;     // in place of the model's own
    // The hub model's directory: its tokenizer files serve every model, its
    // tiny autoencoder the previews of SD 1.x latents.
    QString hubDirectory;
    // The tiny autoencoder for SDXL latents, when it has been downloaded.
    QString xlPreviewDecoder;
    // The hub model's pipeline as the store loaded it, used for the hub entry
    // so it is not loaded twice.
    std::shared_ptr<StableDiffusionPipelineProtocol> preloaded;
    // The hub model's pipeline while another model is chosen: its networks
    // are let go before that model loads.
    std::shared_ptr<StableDiffusionPipelineProtocol> idle;
    // Merged into the denoising network and the text encoders as they load.
    std::vector<LoraFile> loras;
    // The image size the networks are built for; empty: their own.
    QSize imageSize;

    // Names what is loaded: equal keys can share one loaded pipeline, and
    // other LoRAs or another size need a reload. The contents' hash and size
    // are part of it, so a model removed and another imported under the same
    // name is never taken for the one still loaded.
    QString key() const {
        const auto part = [](const std::optional<LibraryEntry>& entry) {
            return entry ? entry->id + QLatin1Char('#') + entry->sha256 + QLatin1Char('#') +
                               QString::number(entry->size)
                         : QString();
        };
        QString text = part(model) + QLatin1Char('|') + part(refiner) + QLatin1Char('|') +
                       part(vae) + QLatin1Char('|') + QString::number(imageSize.width()) +
                       QLatin1Char('x') + QString::number(imageSize.height());
        for (const LoraFile& lora : loras) {
            text += QLatin1Char('|') + QString::fromStdString(lora.path.string()) +
                    QLatin1Char(':') + QString::number(static_cast<double>(lora.scale));
        }
        return text;
    }
    // The name results and a PNG's parameters give ("Model: …").
    QString displayName() const { return model.name; }
};

} // namespace dravelin
