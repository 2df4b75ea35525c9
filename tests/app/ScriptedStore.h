#pragma once

#include "state/ModelStore.h"

namespace dravelin::testing {

// A model store whose state a test or a screenshot sets directly.
class ScriptedStore : public ModelStore {
public:
    using ModelStore::ModelStore;
    using ModelStore::setState;
};

} // namespace dravelin::testing
