#pragma once

#include <stdexcept>

namespace dravelin {

// A bundle that cannot be loaded: missing, unreadable, malformed, of an
// unknown network class, or with weights that do not fit its network. The
// message names the bundle and, where it applies, the file or tensor.
class ModelLoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A prediction refused or failed: a missing input, an input of the wrong
// shape, or a network that did not produce its outputs.
class PredictionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace dravelin
