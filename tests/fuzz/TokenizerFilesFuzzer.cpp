// The tokenizer's two files: input is merges.txt, a NUL, then vocab.json. A
// tokenizer built from files that read cleanly must tokenize a prompt.
#include "FuzzInput.h"
#include "tokenizer/BPETokenizer.h"

#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    const auto parts = fuzz::splitInput(data, size, 2);
    const auto merges = fuzz::scratchDirectory() / "merges.txt";
    const auto vocabulary = fuzz::scratchDirectory() / "vocab.json";
    fuzz::writeFile(merges, parts[0]);
    fuzz::writeFile(vocabulary, parts[1]);
    try {
        const BPETokenizer tokenizer(merges, vocabulary, "<|endoftext|>");
        tokenizer.tokenize("a photo of an astronaut riding a horse, 4k", 77);
    } catch (const BPETokenizer::TokenizerFileError&) {
    } catch (const BPETokenizer::FileReadError&) {
    }
    return 0;
}
