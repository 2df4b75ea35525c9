// What a prompt of k chunks costs: the text encoder runs once per chunk (the
// prompt's k, the negative prompt's and the empty chunks that pad it), and
// every denoising step attends to 77·k text positions. Prints, for k = 1, 2,
// 3 and 4, the time to encode prompt and negative prompt, the passes that
// took, the time to rebuild the denoising network for 77·k positions, and the
// time of one denoising step of the guidance batch.
//
//   dravelin-bench-prompt MODEL_DIR     (an SD 1.x model directory, e.g. one
//                                        from dravelin-make-model --full-size)

#include "pipeline/StableDiffusionPipeline.h"

#include <chrono>
#include <cstdio>
#include <string>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dravelin-bench-prompt MODEL_DIR\n");
        return 2;
    }
    try {
        StableDiffusionPipeline pipeline(argv[1], {}, {}, true, false);
        pipeline.loadResources();
        const Shape sample = pipeline.unet.latentSampleShape();
        std::printf("chunks  positions  encoder passes  encode ms  rebuild ms  step ms  step/k=1\n");
        double firstStep = 0.0;
        for (int k = 1; k <= 4; ++k) {
            std::string prompt = "a photo of a (cat:1.2) on a mat";
            for (int i = 1; i < k; ++i) {
                prompt += " BREAK a photo of a dog";
            }
            PipelineConfiguration c(prompt);
            c.negativePrompt = "blurry";
            c.promptSyntax = PromptSyntax::emphasis;
            const auto encodeStart = Clock::now();
            const ShapedArray embeddings = pipeline.encodePrompts(c);
            const double encode = millisecondsSince(encodeStart);
            // Prompt: k chunks; negative prompt: one, and k - 1 empty ones.
            const int passes = k + 1 + (k > 1 ? 1 : 0);
            const ShapedArray states = toHiddenStates(embeddings);
            const ShapedArray latent(Shape{2, sample[1], sample[2], sample[3]}, 0.1f);
            const auto rebuildStart = Clock::now();
            pipeline.unet.fitTextPositions(states);
            pipeline.unet.loadResources();
            const double rebuild = millisecondsSince(rebuildStart);
            double step = 1e300;
            for (int repeat = 0; repeat < 3; ++repeat) {
                const auto stepStart = Clock::now();
                pipeline.unet.predictNoise({latent}, 500, states);
                step = std::min(step, millisecondsSince(stepStart));
            }
            if (k == 1) {
                firstStep = step;
            }
            std::printf("%6d  %9lld  %14d  %9.1f  %10.1f  %7.1f  %8.2f\n", k,
                        static_cast<long long>(states.shape().back()), passes, encode, rebuild,
                        step, step / firstStep);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dravelin-bench-prompt: %s\n", error.what());
        return 1;
    }
    return 0;
}
