#pragma once

#include "state/FastMode.h"
#include "state/GenerationLauncher.h"
#include "state/GenerationSettings.h"
#include "state/LoraLibrary.h"
#include "state/SettingsReader.h"

#include <QObject>

namespace dravelin {

class Generator;
class ModelLibrary;
class ModelStore;

// The state objects of the main screen beside the generator and the store,
// made once for the window and wired to each other: the generation settings,
// the LoRA library, the fast mode, the launcher behind Generate and the
// reader of an image's settings.
class SessionState : public QObject {
    Q_OBJECT
public:
    SessionState(Generator& generator, ModelStore& store, QObject* parent = nullptr);

    GenerationSettings& settings() { return settings_; }
    LoraLibrary& library() { return library_; }
    FastMode& fastMode() { return fastMode_; }
    GenerationLauncher& launcher() { return launcher_; }
    SettingsReader& reader() { return reader_; }

    // Generates with the library's chosen model, and follows its choice:
    // the size presets of its family, the name settings are read against.
    void attachModelLibrary(ModelLibrary& library);

private:
    GenerationSettings settings_;
    LoraLibrary library_;
    FastMode fastMode_;
    GenerationLauncher launcher_;
    SettingsReader reader_;
    QString modelDirectory_; // the hub model's
};

} // namespace dravelin
