#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::server {

// Whose lexical rules a text is read by. The service reads a text only to find
// what a server would take for code and what for a literal, a quoted name or a
// comment; the server itself still parses and judges it.
//   Generic   '...' and "..." with the quote doubled, [...] and `...` names,
//             -- and /* */ comments (SQLite's rules; any other server).
//   Postgres  also E'...' with backslash escapes, $$...$$ and $tag$...$tag$,
//             nested /* /* */ */ comments; [ is an array subscript.
//   Mysql     backslash escapes in '...' and "...", `...` names, # and "-- "
//             comments; /*! ... */ is code the server runs.
enum class SqlDialect : std::uint8_t { Generic, Postgres, Mysql };

// The first keyword of a statement, in upper case, past blanks and comments; ""
// when it starts with anything else. Works on UTF-8 and on UTF-16 text.
std::string FirstKeyword(std::string_view sql);
std::string FirstKeyword(std::u16string_view sql);
std::string FirstKeyword(std::u16string_view sql, SqlDialect dialect);

// The words of text that are code (outside literals, quoted names and comments),
// in upper case and in order.
std::vector<std::string> CodeWords(std::u16string_view text, SqlDialect dialect);

// How many statements text holds, each a run of code ended by a ";" that is code.
// Where the server's own settings decide how a literal ends (a backslash in
// PostgreSQL's '...' with standard_conforming_strings off, in MySQL's without
// NO_BACKSLASH_ESCAPES), every reading is tried and the largest count is the
// answer, so that a text is taken for one statement only when every server reads
// it as one.
std::size_t CountStatements(std::u16string_view text, SqlDialect dialect);

// The statements of text, split at each ";" that is code (as the Generic
// dialect reads it). Statements holding only blanks and comments are left out;
// each keeps its own comments and blanks.
std::vector<std::u16string_view> SplitStatements(std::u16string_view text);

// text with each [bracketed name] that is code written as quote + name + quote
// instead, a quote inside the name doubled and "]]" inside it taken as one "]".
// Nothing else changes: not literals of any kind, quoted names, comments, nor (on
// PostgreSQL) a subscript such as a[1]. A quote of "[" or " " (a server without
// identifier quoting) leaves text as it is, and so does an unclosed "[".
std::u16string QuoteBracketedNames(std::u16string_view text, char16_t quote,
                                   SqlDialect dialect = SqlDialect::Generic);

}  // namespace velmora::server
