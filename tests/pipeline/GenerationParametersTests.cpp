#include "pipeline/GenerationParameters.h"
#include "pipeline/SamplerChoice.h"
#include "pipeline/SchedulerTable.h"

#include <gtest/gtest.h>

#include <random>

using namespace dravelin;

namespace {

// Pieces prompts are made of: the characters the format treats specially
// (commas, colons, quotes, backslashes, line breaks), unicode, and words.
const std::vector<std::string> kPieces{
    "a cat", ", ", ":", "\"", "\\", "\n", "(masterpiece:1.2)", "Steps: 3", "caf\xC3\xA9",
    "\xE7\x8C\xAB", "\xF0\x9F\x98\x80", "  ", "[blue]", "x>y", "\t", "BREAK", "Model: m",
};

std::string randomText(std::mt19937& random, int most) {
    std::string text;
    const int count = std::uniform_int_distribution<int>(0, most)(random);
    for (int i = 0; i < count; ++i) {
        text += kPieces[std::uniform_int_distribution<size_t>(0, kPieces.size() - 1)(random)];
    }
    // A line that opens with the negative prompt's label is the one text the
    // format cannot tell apart; a prompt never holds it.
    return text;
}

GenerationParameters randomParameters(std::mt19937& random) {
    PipelineConfiguration c(randomText(random, 6));
    c.negativePrompt = randomText(random, 3);
    const auto table = schedulerTable();
    c.schedulerType = table[std::uniform_int_distribution<size_t>(0, table.size() - 1)(random)].type;
    c.schedulerTimestepSpacing = takesKarrasSpacing(c.schedulerType) && random() % 2
                                     ? TimeStepSpacing::karras
                                     : TimeStepSpacing::linspace;
    c.stepCount = std::uniform_int_distribution<int64_t>(1, 1000)(random);
    c.guidanceScale = std::uniform_real_distribution<float>(0.0f, 30.0f)(random);
    const uint32_t seeds[] = {0u, 4294967295u, static_cast<uint32_t>(random())};
    c.seed = seeds[random() % 3];
    const int width = 8 * std::uniform_int_distribution<int>(8, 256)(random);
    const int height = 8 * std::uniform_int_distribution<int>(8, 256)(random);
    GenerationParameters p = parametersOf(c, width, height);
    const std::string names[] = {"detail", "my style v2", "\xE7\x8C\xAB-lora", "a.b_c"};
    const int loraCount = std::uniform_int_distribution<int>(0, 3)(random);
    for (int i = 0; i < loraCount; ++i) {
        p.loras.push_back({names[random() % 4] + std::to_string(i),
                           std::uniform_real_distribution<float>(-2.0f, 2.0f)(random),
                           random() % 2 ? "7ab3c2d1e0f4" : ""});
    }
    if (random() % 2) {
        p.model = randomText(random, 2);
        p.modelHash = "31e35c80fc";
    }
    if (random() % 2) {
        p.clipSkip = std::uniform_int_distribution<int>(1, 12)(random);
    }
    // Image-to-image's strength alone, or the hires fix's with its scale and
    // steps (and another tool's upscaler name).
    switch (random() % 3) {
    case 1:
        p.denoisingStrength = std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
        break;
    case 2:
        p.denoisingStrength = std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
        p.hiresUpscale = std::uniform_real_distribution<float>(1.0f, 4.0f)(random);
        p.hiresSteps = std::uniform_int_distribution<int64_t>(0, 150)(random);
        if (random() % 2) {
            p.hiresUpscaler = random() % 2 ? "Latent" : "R-ESRGAN 4x+, \"anime\"";
        }
        break;
    }
    return p;
}

} // namespace

TEST(GenerationParameters, EverySettingsCombinationReadsBackAsWritten) {
    std::mt19937 random(26);
    for (int i = 0; i < 3000; ++i) {
        const GenerationParameters written = randomParameters(random);
        const std::string text = writeGenerationParameters(written);
        GenerationParameters read;
        ASSERT_NO_THROW(read = parseGenerationParameters(text)) << text;
        ASSERT_EQ(read, written) << text;
        const std::optional<SamplerChoice> choice = samplerChoice(*read.sampler, read.scheduleType);
        ASSERT_TRUE(choice) << text;
        GenerationParameters again;
        describeSampler(*choice, again);
        EXPECT_EQ(again.sampler, written.sampler);
        EXPECT_EQ(again.scheduleType, written.scheduleType);
    }
}

TEST(GenerationParameters, ReadsTheWebUIsText) {
    const GenerationParameters p = parseGenerationParameters(
        "masterpiece, a (red:1.2) fox <lora:fox style:0.8>\nin snow <lora:detail>\n"
        "Negative prompt: blurry, lowres\n"
        "Steps: 28, Sampler: DPM++ 2M, Schedule type: Karras, CFG scale: 6.5, Seed: 1234, "
        "Size: 512x768, Model hash: 31e35c80fc, Model: \"v1-5, pruned: emaonly\", "
        "Clip skip: 2, Denoising strength: 0.4, Lora hashes: \"fox style: 7ab3c2d1e0f4, detail: "
        "0123456789ab\", TI hashes: \"x: 1\", Version: v1.9.4\n");
    EXPECT_EQ(p.prompt, "masterpiece, a (red:1.2) fox\nin snow");
    EXPECT_EQ(p.negativePrompt, "blurry, lowres");
    EXPECT_EQ(p.steps, 28);
    EXPECT_EQ(p.sampler, "DPM++ 2M");
    EXPECT_EQ(p.scheduleType, "Karras");
    EXPECT_EQ(p.guidance, 6.5f);
    EXPECT_EQ(p.seed, 1234u);
    EXPECT_EQ(p.width, 512);
    EXPECT_EQ(p.height, 768);
    EXPECT_EQ(p.modelHash, "31e35c80fc");
    EXPECT_EQ(p.model, "v1-5, pruned: emaonly");
    EXPECT_EQ(p.clipSkip, 2);
    EXPECT_EQ(p.denoisingStrength, 0.4f);
    EXPECT_FALSE(p.hiresUpscale);
    ASSERT_EQ(p.loras.size(), 2u);
    EXPECT_EQ(p.loras[0], (PromptLora{"fox style", 0.8f, "7ab3c2d1e0f4"}));
    EXPECT_EQ(p.loras[1], (PromptLora{"detail", 1.0f, "0123456789ab"}));
    EXPECT_EQ(samplerChoice(*p.sampler, p.scheduleType),
              (SamplerChoice{StableDiffusionScheduler::dpmSolverMultistepScheduler,
                             TimeStepSpacing::karras}));

    // The older form names Karras in the sampler; no prompt at all is allowed.
    const GenerationParameters old =
        parseGenerationParameters("Steps: 20, Sampler: DPM++ 2M Karras, Seed: 5");
    EXPECT_EQ(old.prompt, "");
    EXPECT_EQ(old.sampler, "DPM++ 2M");
    EXPECT_EQ(old.scheduleType, "Karras");
    EXPECT_FALSE(old.guidance);
    // A sampler the table lacks, or Karras where the sampler has none, is no choice.
    EXPECT_FALSE(samplerChoice("Restart", std::nullopt));
    EXPECT_FALSE(samplerChoice("PNDM", std::string("Karras")));
    EXPECT_FALSE(samplerChoice("DPM++ 2M", std::string("Exponential")));
}

// Found by fuzzing: an unclosed "<lora:" in the prompt swallowed the tag
// written after it, so the text no longer read back.
TEST(GenerationParameters, AnUnclosedTagIsTextAndTheTagsAfterItStillRead) {
    const GenerationParameters read =
        parseGenerationParameters("a cat <lora:café:2>\nsofa <lora:caf \"quoted\" prompt\n"
                                  "Steps: 25, Sampler: Euler, Seed: 1");
    EXPECT_EQ(read.prompt, "a cat\nsofa <lora:caf \"quoted\" prompt");
    ASSERT_EQ(read.loras.size(), 1u);
    EXPECT_EQ(read.loras[0].name, "café");
    EXPECT_EQ(parseGenerationParameters(writeGenerationParameters(read)), read);

    const GenerationParameters nested = parseGenerationParameters(
        "<lora:<lora:x:0.5> and <lora:y\nSteps: 20, Sampler: Euler, Seed: 1");
    EXPECT_EQ(nested.prompt, "<lora: and <lora:y");
    ASSERT_EQ(nested.loras.size(), 1u);
    EXPECT_EQ(nested.loras[0].name, "x");
    EXPECT_EQ(parseGenerationParameters(writeGenerationParameters(nested)), nested);

    // Taking the inner tag out joins the outer text into a tag of its own.
    const GenerationParameters joined = parseGenerationParameters(
        "x <lora:film:0.8:\nblur <lora:film:0.8>\nqual>\nSteps: 20, Sampler: Euler, Seed: 1");
    EXPECT_EQ(joined.prompt, "x");
    EXPECT_EQ(joined.loras.size(), 2u);
    EXPECT_EQ(parseGenerationParameters(writeGenerationParameters(joined)), joined);
}

// Found by fuzzing: "X Karras Karras" read as "X Karras" and then as "X".
TEST(GenerationParameters, ARepeatedKarrasSuffixIsAllSchedule) {
    const GenerationParameters read =
        parseGenerationParameters("a cat\nSteps: 30, Sampler: Euler Karras Karras, Seed: 1");
    EXPECT_EQ(read.sampler, "Euler");
    EXPECT_EQ(read.scheduleType, "Karras");
    EXPECT_EQ(parseGenerationParameters(writeGenerationParameters(read)), read);
}

TEST(GenerationParameters, MalformedTextIsRefusedWithASentence) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"a cat on a mat", "does not end in a line of settings"},
        {"", "does not end in a line of settings"},
        {"a cat\nSampler: Euler, Seed: 1", "does not end in a line of settings"},
        {"a cat\nSteps: 20, Model: \"open, never closed", "not closed"},
        {"a cat\nSteps: 20, Model: \"bad \\q escape\"", "not closed"},
        {"a cat\nSteps: 20, Model: \"name\" trailing", "goes on after"},
        {"a cat\nSteps: twenty", "Steps as \"twenty\""},
        {"a cat\nSteps: 0", "Steps as \"0\""},
        {"a cat\nSteps: 20, Seed: 4294967296", "a seed from 0 to 4294967295"},
        {"a cat\nSteps: 20, Seed: -1", "a seed from 0 to 4294967295"},
        {"a cat\nSteps: 20, Size: 512", "a size such as 512x768"},
        {"a cat\nSteps: 20, Size: 0x512", "a size such as 512x768"},
        {"a cat\nSteps: 20, CFG scale: nan", "guidance scale"},
        {"a cat\nSteps: 20, CFG scale: -1", "guidance scale"},
        {"a cat <lora::0.5>\nSteps: 20", "without a name"},
        {"a cat <lora:x:heavy>\nSteps: 20", "weight that is not a number"},
        {"a cat\nSteps: 20, Lora hashes: \"x 1234\"", "name: hash"},
        {"a cat\nSteps: 20, Clip skip: 0", "a whole number of layers"},
        {"a cat\nSteps: 20, Denoising strength: 1.5", "a strength from 0 to 1"},
        {"a cat\nSteps: 20, Hires upscale: 0", "a scale above 0"},
        {"a cat\nSteps: 20, Hires steps: -1", "a whole number of steps"},
    };
    for (const auto& [text, expected] : cases) {
        try {
            parseGenerationParameters(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ParametersError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos)
                << text << " → " << error.what();
        }
    }
    // Names that would break the prompt tag are not written.
    GenerationParameters p;
    p.steps = 1;
    for (const std::string name : {"", "a:b", "a>b", " padded", "a,b"}) {
        p.loras = {{name, 1.0f, ""}};
        EXPECT_THROW(writeGenerationParameters(p), std::invalid_argument) << name;
    }
}
