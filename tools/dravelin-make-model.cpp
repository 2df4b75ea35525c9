// Writes a complete model directory with random weights:
//   dravelin-make-model OUTDIR [--tiny | --full-size] [--encoder] [--seed N]
//                              [--tokenizer DIR] [--sdxl [--refiner]]

#include "make-model/ModelMaker.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    dravelin::ModelMakerOptions options;
    std::string output;
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
        } else if ((argument == "--seed" || argument == "--tokenizer") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (argument == "--tokenizer") {
                options.tokenizer = value;
            } else {
                try {
                    options.seed = std::stoull(value);
                } catch (const std::exception&) {
                    std::fprintf(stderr, "dravelin-make-model: --seed takes a whole number.\n");
                    return 2;
                }
            }
        } else if (argument.rfind("--", 0) != 0 && output.empty()) {
            output = argument;
        } else {
            std::fprintf(stderr, "usage: dravelin-make-model OUTDIR [--tiny | --full-size] "
                                 "[--encoder] [--seed N] [--tokenizer DIR] [--sdxl [--refiner]]\n");
            return 2;
        }
    }
    if (options.refiner && !options.sdxl) {
        std::fprintf(stderr, "dravelin-make-model: --refiner goes with --sdxl.\n");
        return 2;
    }
    if (output.empty()) {
        std::fprintf(stderr, "usage: dravelin-make-model OUTDIR [--tiny | --full-size] "
                             "[--encoder] [--seed N] [--tokenizer DIR] [--sdxl [--refiner]]\n");
        return 2;
    }
    try {
        dravelin::writeRandomModel(output, options, [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
        std::printf("Wrote %s\n", output.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dravelin-make-model: %s\n", error.what());
        return 1;
    }
}
