// Writes a complete model directory with random weights, or a random LoRA
// file for such a model (--help lists the options).

#include "make-model/ModelMaker.h"
#include "options/CommandLineOptions.h"
#include "runtime/CheckpointWriter.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

constexpr char kUsageIntro[] =
    "usage: dravelin-make-model OUTDIR [options]   a model directory with random weights\n"
    "       dravelin-make-model --lora FILE [--tiny | --full-size] [--layout kohya|peft]\n"
    "                           [--rank N] [--seed N]   a random LoRA file\n";

uint64_t wholeNumber(const std::string& option, const std::string& text, uint64_t most) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > most) {
        throw std::invalid_argument(option + " takes a whole number up to " +
                                    std::to_string(most) + ", not " +
                                    dravelin::quotedValue(text) + ".");
    }
    return value;
}

struct MakeModelRequest {
    dravelin::ModelMakerOptions model;
    dravelin::LoraMakerOptions lora;
    std::string loraFile;
    std::string output;
    std::string checkpoint;
    bool help = false;
};

dravelin::OptionTable makeModelOptionTable(MakeModelRequest& r) {
    dravelin::ModelMakerOptions& o = r.model;
    return {
        {"--tiny", "", "tiny networks for tests (the default)",
         [&o](const std::string&) { o.fullSize = false; }},
        {"--full-size", "", "Stable Diffusion 1.5's sizes (about 2.1 GB; SDXL's with --sdxl)",
         [&o](const std::string&) { o.fullSize = true; }},
        {"--encoder", "", "add the image encoder (VAEEncoder.model)",
         [&o](const std::string&) { o.imageEncoder = true; }},
        {"--preview-decoder", "", "add the tiny autoencoder of the previews",
         [&o](const std::string&) { o.previewDecoder = true; }},
        {"--safety-checker", "", "add the safety checker",
         [&o](const std::string&) { o.safetyChecker = true; }},
        {"--controlnet", "NAME", "add controlnet/NAME.model; may be repeated",
         [&o](const std::string& v) {
             if (v.empty() || v.find('/') != std::string::npos) {
                 throw std::invalid_argument("--controlnet takes a name, not " +
                                             dravelin::quotedValue(v) + ".");
             }
             o.controlNets.push_back(v);
         }},
        {"--sdxl", "", "an SDXL directory instead", [&o](const std::string&) { o.sdxl = true; }},
        {"--refiner", "", "with --sdxl: add the refiner",
         [&o](const std::string&) { o.refiner = true; }},
        {"--checkpoint", "FILE",
         "also write the model as one single-file checkpoint (an SDXL refiner beside it as "
         "FILE's name with .refiner.safetensors); tiny networks then follow the rules such "
         "files are read by",
         [&r](const std::string& v) {
             r.checkpoint = v;
             r.model.checkpointRules = true;
         }},
        {"--tokenizer", "DIR", "copy vocab.json and merges.txt from DIR",
         [&o](const std::string& v) { o.tokenizer = v; }},
        {"--seed", "N", "seed of the random weights (default 0)",
         [&r](const std::string& v) {
             r.model.seed = r.lora.seed =
                 wholeNumber("--seed", v, std::numeric_limits<uint64_t>::max());
         }},
        {"--lora", "FILE", "write a random LoRA file instead of a model",
         [&r](const std::string& v) { r.loraFile = v; }},
        {"--layout", "kohya|peft", "the LoRA's tensor names (default kohya)",
         [&r](const std::string& v) {
             r.lora.layout = dravelin::chooseName("--layout", v, {"kohya", "peft"}) == 0
                                 ? dravelin::LoraLayout::kohya
                                 : dravelin::LoraLayout::peft;
         }},
        {"--rank", "N", "the LoRA's rank, up to 1024",
         [&r](const std::string& v) {
             r.lora.rank = static_cast<int64_t>(wholeNumber("--rank", v, 1024));
         }},
        {"--help", "", "show this text", [&r](const std::string&) { r.help = true; }},
    };
}

} // namespace

int main(int argc, char** argv) {
    MakeModelRequest request;
    const dravelin::OptionTable table = makeModelOptionTable(request);
    const std::string usage = std::string(kUsageIntro) + dravelin::optionsUsage(table);
    try {
        dravelin::applyCommandLine(table, std::vector<std::string>(argv + 1, argv + argc),
                                   [&request](const std::string& argument) {
                                       if (!request.output.empty()) {
                                           throw std::invalid_argument(
                                               "one output directory only, not also " +
                                               dravelin::quotedValue(argument) + ".");
                                       }
                                       request.output = argument;
                                   });
        if (request.model.refiner && !request.model.sdxl) {
            throw std::invalid_argument("--refiner goes with --sdxl.");
        }
        if (!request.help && request.output.empty() && request.loraFile.empty()) {
            throw std::invalid_argument("an output directory (or --lora FILE) is needed.");
        }
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "dravelin-make-model: %s\n%s", error.what(), usage.c_str());
        return 2;
    }
    if (request.help) {
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    dravelin::ModelMakerOptions& options = request.model;
    if (!request.loraFile.empty() && request.output.empty()) {
        request.lora.fullSize = options.fullSize;
        try {
            dravelin::writeRandomLora(request.loraFile, request.lora);
            std::printf("Wrote %s\n", request.loraFile.c_str());
            return 0;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "dravelin-make-model: %s\n", error.what());
            return 1;
        }
    }
    try {
        dravelin::writeRandomModel(request.output, options, [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
        std::printf("Wrote %s\n", request.output.c_str());
        if (!request.checkpoint.empty()) {
            // The same weights as one file; an SDXL refiner goes beside it.
            dravelin::writeCheckpoint(request.output, request.checkpoint,
                                      dravelin::CheckpointContents::model);
            std::printf("Wrote %s\n", request.checkpoint.c_str());
            if (options.refiner) {
                std::filesystem::path refiner = request.checkpoint;
                refiner.replace_extension(".refiner.safetensors");
                dravelin::writeCheckpoint(request.output, refiner,
                                          dravelin::CheckpointContents::refiner);
                std::printf("Wrote %s\n", refiner.c_str());
            }
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dravelin-make-model: %s\n", error.what());
        return 1;
    }
}
