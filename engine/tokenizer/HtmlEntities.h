#pragma once

#include <unicode/unistr.h>

namespace dravelin {

// Replaces HTML character references as web pages (and text copied from them)
// write them: decimal and hexadecimal references, with or without the final
// ";", and the named references of HTML 4 ("&amp;", "&eacute;", "&hellip;"…).
// The Latin-1 names and amp, lt, gt and quot also count without ";", and
// then as the longest such name at the start ("&copy2024" is "©2024").
// Anything else is left as it is. Follows the rules browsers apply to numeric
// references: 0x80–0x9F mean Windows-1252 characters, surrogates and values
// beyond U+10FFFF become U+FFFD, and noncharacters and most controls vanish.
icu::UnicodeString unescapeHtml(const icu::UnicodeString& text);

} // namespace dravelin
