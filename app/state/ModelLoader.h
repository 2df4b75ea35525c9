#pragma once

#include "pipeline/PipelineConfiguration.h"
#include "pipeline/StableDiffusionPipelineProtocol.h"
#include "state/library/ModelChoice.h"

#include <QSize>

#include <memory>
#include <optional>

namespace dravelin {

// A chosen model, built into its pipeline and loaded as the memory plan
// allows, with what a generation's configuration needs for it.
struct LoadedModel {
    std::shared_ptr<StableDiffusionPipelineProtocol> pipeline;
    bool isXL = false;
    // The model's own values: latent scale factors and, for SDXL, the
    // geometry its network was trained for.
    float encoderScaleFactor = 0.18215f;
    float decoderScaleFactor = 0.18215f;
    float originalSize = 1024.0f;
    float targetSize = 1024.0f;
    // The size the networks were built for; empty: their own.
    QSize imageSize;

    // Puts the model's own values into a generation's configuration.
    void adjust(PipelineConfiguration& configuration) const;
};

// Builds the pipeline for a choice (SD 1.5 or SDXL, from a model directory or
// a single-file checkpoint, with the chosen refiner and VAE, previews through
// the tiny autoencoder of its latent space where there is one) and loads it.
// Blocking: runs on the generating thread. Throws one sentence a user can act
// on, among them the one for a machine with too little memory, before any
// network is loaded.
LoadedModel loadChosenModel(const ModelChoice& choice);

// Has the pipeline let its text encoders go once a generation's prompts are
// encoded, where that is worth their reload for a changed prompt.
void releaseTextEncodersAfterEncoding(StableDiffusionPipelineProtocol& pipeline);

// The image size a library model's denoising network was made for, read from
// the file's or bundle's header (milliseconds); absent when it cannot be read.
std::optional<QSize> ownImageSize(const LibraryEntry& model);

} // namespace dravelin
