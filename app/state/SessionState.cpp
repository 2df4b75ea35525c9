#include "state/SessionState.h"

#include "state/ModelStore.h"
#include "state/library/ModelLibrary.h"

namespace dravelin {

SessionState::SessionState(Generator& generator, ModelStore& store, QObject* parent)
    : QObject(parent), library_(store.applicationFolder()),
      fastMode_(generator, settings_, store.applicationFolder()),
      launcher_(generator, settings_, library_, fastMode_, store), reader_(generator, settings_, library_) {
    modelDirectory_ = store.modelDirectory();
    library_.setModelDirectory(modelDirectory_);
    reader_.setModelName(launcher_.modelName());
}

void SessionState::attachModelLibrary(ModelLibrary& library) {
    launcher_.setModelLibrary(&library);
    const auto follow = [this, &library] {
        settings_.setXL(library.chosenIsXL());
        // LoRAs chosen from now on are checked against the chosen model.
        const std::optional<ModelChoice> choice = library.choice();
        if (choice && !choice->model.isHub) {
            library_.setModelDirectory(choice->model.path);
        } else {
            library_.setModelDirectory(modelDirectory_);
        }
        reader_.setModelName(launcher_.modelName());
    };
    connect(&library, &ModelLibrary::choiceChanged, this, follow);
    follow();
}

} // namespace dravelin
