// Comparing names the way Windows does: without regard to letter case. The registry's key and
// value names, file names on a Windows drive and process paths all follow this rule.
#pragma once

#include <string>
#include <string_view>

namespace qdt {

// UTF-8 text compared with letter case folded (ASCII, Latin-1, Greek and Cyrillic letters).
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);
bool endsWithIgnoringCase(std::string_view text, std::string_view suffix);

} // namespace qdt
