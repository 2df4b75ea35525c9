#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dravelin {

// The byte-to-character table CLIP's vocabulary is written in (GPT-2's): every
// byte value stands for one printable character, so any UTF-8 text becomes a
// string of characters a merge table can name. Printable ASCII and the
// printable Latin-1 bytes stand for themselves; the other 68 bytes map, in
// order, to U+0100 onwards.

// Each byte of `bytes` as the UTF-8 of the character that stands for it.
std::string byteLevelEncoded(std::string_view bytes);
// The same, one string per byte.
std::vector<std::string> byteLevelCharacters(std::string_view bytes);

// The reverse: every stand-in character becomes its byte again; any other
// character (a space, say) is kept as it is. Byte sequences that do not form
// UTF-8 (a character cut off by truncation) become U+FFFD.
std::string byteLevelDecoded(std::string_view text);

} // namespace dravelin
