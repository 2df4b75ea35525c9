#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dravelin {

// At most `limit` bytes of `text` for a message, cut at a character boundary
// and marked with "…" when cut, so that no message repeats an unbounded value
// (a prompt, a key of a hostile file).
std::string excerpt(std::string_view text, size_t limit = 60);

} // namespace dravelin
