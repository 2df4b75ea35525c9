// Writes a complete model directory with random weights:
//   dravelin-make-model OUTDIR [--tiny | --full-size] [--encoder] [--safety-checker]
//                              [--preview-decoder] [--seed N] [--tokenizer DIR]
//                              [--controlnet NAME]... [--sdxl [--refiner]]
//                              [--checkpoint FILE]
// or a random LoRA file for such a model:
//   dravelin-make-model --lora FILE [--tiny | --full-size] [--layout kohya|peft]
//                       [--rank N] [--seed N]

#include "make-model/ModelMaker.h"
#include "runtime/CheckpointWriter.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

constexpr char kUsage[] =
    "usage: dravelin-make-model OUTDIR [--tiny | --full-size] [--encoder] [--safety-checker]\n"
    "                           [--preview-decoder] [--seed N] [--tokenizer DIR]\n"
    "                           [--controlnet NAME]... [--sdxl [--refiner]]\n"
    "                           [--checkpoint FILE]\n"
    "       dravelin-make-model --lora FILE [--tiny | --full-size] [--layout kohya|peft]\n"
    "                           [--rank N] [--seed N]\n";

} // namespace

int main(int argc, char** argv) {
    dravelin::ModelMakerOptions options;
    dravelin::LoraMakerOptions lora;
    std::string loraFile;
    std::string output;
    std::string checkpoint;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--tiny") {
            options.fullSize = false;
        } else if (argument == "--full-size") {
            options.fullSize = true;
        } else if (argument == "--encoder") {
            options.imageEncoder = true;
        } else if (argument == "--sdxl") {
            options.sdxl = true;
        } else if (argument == "--refiner") {
            options.refiner = true;
        } else if (argument == "--preview-decoder") {
            options.previewDecoder = true;
        } else if (argument == "--safety-checker") {
            options.safetyChecker = true;
        } else if ((argument == "--seed" || argument == "--tokenizer" ||
                    argument == "--controlnet" || argument == "--lora" ||
                    argument == "--layout" || argument == "--rank" ||
                    argument == "--checkpoint") &&
                   i + 1 < argc) {
            const std::string value = argv[++i];
            if (argument == "--controlnet") {
                if (value.empty() || value.find('/') != std::string::npos) {
                    std::fprintf(stderr, "dravelin-make-model: --controlnet takes a name.\n");
                    return 2;
                }
                options.controlNets.push_back(value);
            } else if (argument == "--checkpoint") {
                checkpoint = value;
                options.checkpointRules = true;
            } else if (argument == "--tokenizer") {
                options.tokenizer = value;
            } else if (argument == "--lora") {
                loraFile = value;
            } else if (argument == "--layout") {
                if (value != "kohya" && value != "peft") {
                    std::fprintf(stderr, "dravelin-make-model: --layout is kohya or peft.\n");
                    return 2;
                }
                lora.layout =
                    value == "kohya" ? dravelin::LoraLayout::kohya : dravelin::LoraLayout::peft;
            } else {
                try {
                    size_t used = 0;
                    const unsigned long long number = std::stoull(value, &used);
                    if (used != value.size() || (argument == "--rank" && number > 1024)) {
                        throw std::invalid_argument(value);
                    }
                    if (argument == "--rank") {
                        lora.rank = static_cast<int64_t>(number);
                    } else {
                        options.seed = number;
                        lora.seed = number;
                    }
                } catch (const std::exception&) {
                    std::fprintf(stderr, "dravelin-make-model: %s takes a whole number.\n",
                                 argument.c_str());
                    return 2;
                }
            }
        } else if (argument.rfind("--", 0) != 0 && output.empty()) {
            output = argument;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!loraFile.empty() && output.empty()) {
        lora.fullSize = options.fullSize;
        try {
            dravelin::writeRandomLora(loraFile, lora);
            std::printf("Wrote %s\n", loraFile.c_str());
            return 0;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "dravelin-make-model: %s\n", error.what());
            return 1;
        }
    }
    if (options.refiner && !options.sdxl) {
        std::fprintf(stderr, "dravelin-make-model: --refiner goes with --sdxl.\n");
        return 2;
    }
    if (output.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        dravelin::writeRandomModel(output, options, [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
        std::printf("Wrote %s\n", output.c_str());
        if (!checkpoint.empty()) {
            // The same weights as one file; an SDXL refiner goes beside it.
            dravelin::writeCheckpoint(output, checkpoint, dravelin::CheckpointContents::model);
            std::printf("Wrote %s\n", checkpoint.c_str());
            if (options.refiner) {
                std::filesystem::path refiner = checkpoint;
                refiner.replace_extension(".refiner.safetensors");
                dravelin::writeCheckpoint(output, refiner, dravelin::CheckpointContents::refiner);
                std::printf("Wrote %s\n", refiner.c_str());
            }
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dravelin-make-model: %s\n", error.what());
        return 1;
    }
}
