#include "pipeline/PipelineError.h"

#include <array>
#include <string>

namespace dravelin {

namespace {

struct CaseText {
    PipelineError::Case errorCase;
    std::string_view rawValue;
    std::string_view description;
};

constexpr std::array<CaseText, 4> kCases{{
    {PipelineError::Case::missingUnetInputs, "missingUnetInputs",
     "The denoising network is missing inputs it needs"},
    {PipelineError::Case::startingImageProvidedWithoutEncoder,
     "startingImageProvidedWithoutEncoder",
     "A starting image was given, but the model has no image encoder"},
    {PipelineError::Case::startingText2ImgWithoutTextEncoder, "startingText2ImgWithoutTextEncoder",
     "Text-to-image needs the first text encoder, which the model does not have"},
    {PipelineError::Case::unsupportedOSVersion, "unsupportedOSVersion",
     "This system is too old for the requested feature"},
}};

const CaseText& entry(PipelineError::Case errorCase) {
    for (const CaseText& candidate : kCases) {
        if (candidate.errorCase == errorCase) {
            return candidate;
        }
    }
    return kCases.front();
}

} // namespace

// what() is the human-readable description the application shows, derived
// from the case alone.
PipelineError::PipelineError(Case errorCase)
    : std::runtime_error(std::string(entry(errorCase).description) + " (" +
                         std::string(entry(errorCase).rawValue) + ")."),
      case_(errorCase) {}

std::string_view PipelineError::rawValue(Case errorCase) {
    return entry(errorCase).rawValue;
}

std::optional<PipelineError::Case> PipelineError::caseFromRawValue(std::string_view rawValue) {
    for (const CaseText& candidate : kCases) {
        if (candidate.rawValue == rawValue) {
            return candidate.errorCase;
        }
    }
    return std::nullopt;
}

} // namespace dravelin
