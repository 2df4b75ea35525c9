// Times building the CLIP tokenizer from its files and tokenizing a long
// prompt. Takes the directory holding vocab.json and merges.txt.

#include "tokenizer/BPETokenizer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const std::filesystem::path directory =
        argc > 1 ? argv[1] : "../shared/tokenizer/clip-vit-large-patch14";
    if (!std::filesystem::exists(directory / "merges.txt")) {
        std::fprintf(stderr, "usage: dravelin-bench-tokenizer DIR (with vocab.json, merges.txt)\n");
        return 2;
    }
    std::vector<double> build;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        dravelin::BPETokenizer tokenizer(directory / "merges.txt", directory / "vocab.json",
                                         "<|endoftext|>");
        build.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(build.begin(), build.end());
    std::printf("Build from files: median %.1f ms (min %.1f)\n", build[2], build[0]);

    const dravelin::BPETokenizer tokenizer(directory / "merges.txt", directory / "vocab.json",
                                           "<|endoftext|>");
    std::string prompt;
    const char* words[] = {"a",      "photograph", "of",      "an",        "astronaut",
                           "riding", "a",          "horse",   "on",        "mars,",
                           "highly", "detailed",   "digital", "painting,", "trending"};
    for (int i = 0; i < 75; ++i) {
        prompt += words[i % 15];
        prompt += ' ';
    }
    tokenizer.tokenize(prompt, 77); // first call loads the Unicode data
    std::vector<double> times;
    for (int run = 0; run < 200; ++run) {
        const auto start = Clock::now();
        tokenizer.tokenize(prompt, 77);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("Tokenize a 75-word prompt: median %.0f us (max %.0f)\n", times[100], times.back());
    return 0;
}
