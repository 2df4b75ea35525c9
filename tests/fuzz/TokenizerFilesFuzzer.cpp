// The tokenizer's two files: input is merges.txt, a NUL, then vocab.json,
// parsed from memory exactly as the files' bytes are. A tokenizer built from
// files that read cleanly must tokenize a prompt.
#include "FuzzInput.h"
#include "tokenizer/BPETokenizer.h"

#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    const auto parts = fuzz::splitInput(data, size, 2);
    try {
        const BPETokenizer tokenizer{BPETokenizer::mergesFromBytes(parts[0], "merges.txt"),
                                     BPETokenizer::vocabularyFromBytes(parts[1], "vocab.json"),
                                     "<|endoftext|>"};
        tokenizer.tokenize("a photo of an astronaut riding a horse, 4k", 77);
    } catch (const BPETokenizer::TokenizerFileError&) {
    } catch (const BPETokenizer::FileReadError&) {
    }
    return 0;
}
