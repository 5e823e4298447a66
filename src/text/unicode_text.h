// Unicode-aware text helpers over UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace qln::text {

// Removes leading and trailing white space and line breaks (every Unicode
// space separator, tab, line feed, vertical tab, form feed, carriage return,
// U+0085, U+2028, U+2029). Text that is not valid UTF-8 is returned as is.
std::string trimWhitespaceAndNewlines(std::string_view s);

}  // namespace qln::text
