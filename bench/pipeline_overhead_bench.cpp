// Measures what the pipeline itself costs per denoising step (tokenising,
// conversions, guidance, scheduler steps, copies) with stand-in networks that
// do almost nothing, at Stable Diffusion 1.5's full tensor sizes.

#include "pipeline/StableDiffusionPipeline.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <chrono>
#include <cstdio>

using namespace dravelin;
using namespace dravelin::testing;
using Clock = std::chrono::steady_clock;

int main() {
    PipelineKinds kinds;
    TemporaryDirectory directory;
    writeTinyModel(directory.path(), {.latentSize = 64, .hiddenSize = 768, .sequenceLength = 77});
    StableDiffusionPipeline pipeline(directory.path(), {}, {}, true, false);
    pipeline.loadResources();

    for (StableDiffusionScheduler scheduler :
         {StableDiffusionScheduler::pndmScheduler,
          StableDiffusionScheduler::dpmSolverMultistepScheduler}) {
        PipelineConfiguration c("a photo of a cat");
        c.stepCount = 20;
        c.schedulerType = scheduler;
        std::vector<double> stepTimes;
        auto last = Clock::now();
        const auto start = last;
        pipeline.generateImages(c, [&](const PipelineProgress&) {
            const auto now = Clock::now();
            stepTimes.push_back(std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
            return true;
        });
        const double total =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        double sum = 0.0;
        for (size_t i = 1; i < stepTimes.size(); ++i) {
            sum += stepTimes[i];
        }
        std::printf("%s, 20 steps at [1, 4, 64, 64]: %.2f ms per step (stand-in network "
                    "included), %.1f ms for the whole call\n",
                    scheduler == StableDiffusionScheduler::pndmScheduler ? "PNDM" : "DPM-Solver",
                    sum / static_cast<double>(stepTimes.size() - 1), total);
    }
    return 0;
}
