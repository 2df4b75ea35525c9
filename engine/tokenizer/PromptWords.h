#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dravelin {

// How CLIP reads a prompt before byte-pair encoding, in two steps.

// Cleans the prompt: Unicode composed form (NFC), HTML character references
// replaced (twice, so "&amp;amp;" is "&"), every run of white space made one
// space, the ends trimmed, then lower-cased with the locale-independent
// Unicode mapping. White space is what Python's str.isspace() accepts.
// Malformed UTF-8 becomes U+FFFD.
std::string cleanPrompt(std::string_view prompt);

// Splits a cleaned prompt into words as CLIP's pattern does, scanning left
// to right and taking at each point the first of these that matches:
// "<|startoftext|>", "<|endoftext|>", the endings 's 't 're 've 'm 'll 'd,
// a run of letters, a single digit (any number character), or a run of
// characters that are neither space, letter nor number. Spaces separate
// words and are dropped. So "8k," is "8", "k", ",".
std::vector<std::string> splitWords(std::string_view cleaned);

} // namespace dravelin
