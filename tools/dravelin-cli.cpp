// Command-line generator. The text-to-image pipeline is not part of this build
// yet, so for now it says so and shows what the engine can already do: the
// seeded noise every generation starts from.

#include "pipeline/RandomSource.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

int main(int argc, char** argv) {
    std::fprintf(stderr, "dravelin-cli: image generation is not available in this build yet; the "
                         "text-to-image pipeline is still being built. Nothing was generated.\n");
    if (argc > 1) {
        // `dravelin-cli SEED` prints the first initial-latent values that seed
        // gives with the default (NumPy-compatible) source.
        try {
            const std::string text = argv[1];
            size_t used = 0;
            const unsigned long long seed = std::stoull(text, &used);
            if (used != text.size() || text.front() == '-' || seed > 0xffffffffULL) {
                throw std::invalid_argument(text);
            }
            auto source = dravelin::makeRandomSource(dravelin::StableDiffusionRNG::numpyRNG,
                                                     static_cast<uint32_t>(seed));
            std::printf("First latent values for seed %llu:", seed);
            for (double value : source->normalArray(4)) {
                std::printf(" %.6f", value);
            }
            std::printf("\n");
        } catch (const std::exception&) {
            std::fprintf(stderr, "dravelin-cli: the seed must be a whole number from 0 to "
                                 "4294967295.\n");
            return EXIT_FAILURE;
        }
    }
    return EXIT_SUCCESS;
}
