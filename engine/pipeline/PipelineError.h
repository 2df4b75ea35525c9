#pragma once

#include <optional>
#include <stdexcept>
#include <string_view>

namespace dravelin {

// The engine's own failures. Each case's raw value is its name; the error
// carries nothing but the case.
class PipelineError : public std::runtime_error {
public:
    enum class Case {
        missingUnetInputs,
        startingImageProvidedWithoutEncoder,
        startingText2ImgWithoutTextEncoder,
        unsupportedOSVersion,
    };

    explicit PipelineError(Case errorCase);

    Case errorCase() const { return case_; }
    std::string_view rawValue() const { return rawValue(case_); }

    static std::string_view rawValue(Case errorCase);
    // Exact, case-sensitive match of a raw value; anything else gives nothing.
    static std::optional<Case> caseFromRawValue(std::string_view rawValue);

private:
    Case case_;
};

} // namespace dravelin
