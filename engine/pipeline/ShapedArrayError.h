#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace dravelin {

// Failures of converting between images and tensors. The raw value of each
// case is its name.
class ShapedArrayError : public std::runtime_error {
public:
    enum class Case {
        wrongNumberOfChannels,
        incorrectFormatsConvertingToShapedArray,
        converterNotInitialized,
    };

    explicit ShapedArrayError(Case errorCase)
        : std::runtime_error(describe(errorCase)), case_(errorCase) {}

    Case errorCase() const { return case_; }
    std::string_view rawValue() const { return rawValue(case_); }

    static std::string_view rawValue(Case errorCase) {
        switch (errorCase) {
        case Case::wrongNumberOfChannels:
            return "wrongNumberOfChannels";
        case Case::incorrectFormatsConvertingToShapedArray:
            return "incorrectFormatsConvertingToShapedArray";
        case Case::converterNotInitialized:
            return "converterNotInitialized";
        }
        return {};
    }

private:
    static std::string describe(Case errorCase) {
        const char* text = errorCase == Case::wrongNumberOfChannels
                               ? "An image tensor must have 3 channels"
                               : "The image's pixel format cannot be converted";
        return std::string(text) + " (" + std::string(rawValue(errorCase)) + ").";
    }

    Case case_;
};

} // namespace dravelin
