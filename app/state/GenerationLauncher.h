#pragma once

#include "pipeline/GenerationParameters.h"
#include "runtime/ModelConfiguration.h"

#include <QObject>
#include <QSize>
#include <QString>

#include <optional>
#include <vector>

namespace dravelin {

class FastMode;
class GenerationSettings;
class Generator;
class LoraLibrary;
class ModelLibrary;
class ModelStore;

// What a click on Generate does: gathers the LoRAs (chosen in the library,
// named by the prompt's tags, the fast mode's), checks that they fit the
// model, has the model reloaded with them when they changed (or waits for
// the fast mode's LoRA to arrive), then starts the generator's queue with
// the sampler, size and count of the settings. Problems are reported in
// the generator's errorMessage.
class GenerationLauncher : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isWaiting READ isWaiting NOTIFY waitingChanged)

public:
    GenerationLauncher(Generator& generator, GenerationSettings& settings, LoraLibrary& library,
                       FastMode& fastMode, ModelStore& store, QObject* parent = nullptr);

    void launch();
    // True while a launch waits for a reload or a download before it starts.
    bool isWaiting() const { return waiting_; }
    // Drops a waiting launch.
    void cancel();
    // The name PNG parameters give the model: the model library's chosen
    // model's where there is a library, otherwise the one set here.
    void setModelName(const QString& name) { modelName_ = name; }
    QString modelName() const;
    // Generates with the library's chosen model (null: the store's model),
    // its networks built with the launch's LoRAs and sized for the settings'
    // size; a LoRA that does not fit the chosen model is refused with a
    // sentence.
    void setModelLibrary(ModelLibrary* library) { models_ = library; }

signals:
    void waitingChanged();

private:
    void setWaiting(bool waiting);
    void start();
    // The size to build the networks for, given their own; empty: their own.
    QSize sizeFor(const std::optional<QSize>& own) const;

    Generator& generator_;
    GenerationSettings& settings_;
    LoraLibrary& library_;
    FastMode& fastMode_;
    ModelStore& store_;
    ModelLibrary* models_ = nullptr;
    QString modelName_ = QStringLiteral("stable-diffusion-v1-5");
    bool waiting_ = false;
    // The LoRAs of the launch under way, as its images' parameters name them.
    std::vector<PromptLora> named_;
    // What a library model's launch builds its networks with.
    std::vector<LoraFile> files_;
    QSize librarySize_;
};

} // namespace dravelin
