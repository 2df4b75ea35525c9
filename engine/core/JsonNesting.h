#pragma once

#include <cstddef>
#include <string_view>

namespace dravelin {

// The deepest nesting of arrays and objects in JSON text (0 for a bare value),
// counted outside strings without parsing; counting stops just past `limit`.
// Checked before parsing so that a document nested thousands deep is refused
// before any recursive walk (dump, compare, copy) could exhaust the stack.
size_t jsonNestingDepth(std::string_view text, size_t limit);

// Beyond any configuration or weight-file header by far.
inline constexpr size_t kMaximumJsonNesting = 64;

} // namespace dravelin
