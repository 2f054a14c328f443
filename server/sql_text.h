#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::server {

// The first keyword of a statement, in upper case, past blanks and comments; ""
// when it starts with anything else. Works on UTF-8 and on UTF-16 text.
std::string FirstKeyword(std::string_view sql);
std::string FirstKeyword(std::u16string_view sql);

// The statements of text, split at each ";" that is outside a string literal
// ('...' with '' inside), a quoted identifier ("..." or [...]) and a comment
// (-- to the end of the line, /* ... */). Statements holding only blanks and
// comments are left out; each keeps its own comments and blanks.
std::vector<std::u16string_view> SplitStatements(std::u16string_view text);

// text with each [bracketed name] outside string literals, quoted identifiers and
// comments written as quote + name + quote instead, a quote inside the name doubled
// and "]]" inside it taken as one "]". Nothing else changes. A quote of "[" or " "
// (a server without identifier quoting) leaves text as it is, and so does an
// unclosed "[".
std::u16string QuoteBracketedNames(std::u16string_view text, char16_t quote);

}  // namespace velmora::server
