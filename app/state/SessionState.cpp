#include "state/SessionState.h"

#include "state/ModelStore.h"
#include "state/library/ModelLibrary.h"

namespace dravelin {

SessionState::SessionState(Generator& generator, ModelStore& store, QObject* parent)
    : QObject(parent), library_(store.applicationFolder()),
      fastMode_(generator, settings_, store.applicationFolder()),
      launcher_(generator, settings_, library_, fastMode_, store), reader_(generator, settings_, library_) {
    library_.setModelDirectory(store.modelDirectory());
    reader_.setModelName(launcher_.modelName());
}

void SessionState::attachModelLibrary(ModelLibrary& library) {
    launcher_.setModelLibrary(&library);
    const auto follow = [this, &library] {
        settings_.setXL(library.chosenIsXL());
        reader_.setModelName(launcher_.modelName());
    };
    connect(&library, &ModelLibrary::choiceChanged, this, follow);
    follow();
}

} // namespace dravelin
