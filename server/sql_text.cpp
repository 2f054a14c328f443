#include "server/sql_text.h"

#include <algorithm>

namespace velmora::server {
namespace {

template <class Char>
bool IsSpace(Char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

template <class Char>
bool IsLetter(Char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A character that may continue an unquoted name: PostgreSQL and MySQL take '$'
// and every non-ASCII character there too.
template <class Char>
bool IsNameChar(Char c) {
  return IsLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '$' || static_cast<std::uint32_t>(c) >= 0x80;
}

enum class Token : std::uint8_t {
  Space,
  Code,        // one character of code, or a word
  Semicolon,   // a ";" that is code
  Literal,     // a string literal or dollar-quoted string
  QuotedName,  // "..." (where it is a name) or `...`
  Bracket,     // [...]
  Comment,
};

// Reads text token by token as a server of dialect does. backslash: whether a
// backslash escapes the next character in the literals whose reading depends on
// the server's settings (PostgreSQL's '...', MySQL's '...' and "...").
template <class Char>
class Lexer {
 public:
  using View = std::basic_string_view<Char>;

  Lexer(View text, SqlDialect dialect, bool backslash) : FText(text), FDialect(dialect), FBackslash(backslash) {}

  bool AtEnd() const { return FPos >= FText.size(); }
  std::size_t Position() const { return FPos; }

  // The next token, from Position() to the returned end; closed is false when a
  // literal, name or comment runs to the end of the text unclosed.
  Token Next(std::size_t& end, bool& closed) {
    closed = true;
    const std::size_t i = FPos;
    const Char c = FText[i];
    Token token = Token::Code;
    if (IsSpace(c)) {
      end = i + 1;
      token = Token::Space;
    } else if (c == ';') {
      end = i + 1;
      token = Token::Semicolon;
    } else if (c == '\'') {
      const bool escapes = FDialect == SqlDialect::Generic ? false : FBackslash;
      end = Quoted(i, '\'', EscapedLiteralPrefix(i) || escapes, closed);
      token = Token::Literal;
    } else if (c == '"') {
      if (FDialect == SqlDialect::Mysql) {
        end = Quoted(i, '"', FBackslash, closed);
        token = FBackslash ? Token::Literal : Token::QuotedName;
      } else {
        end = Quoted(i, '"', false, closed);
        token = Token::QuotedName;
      }
    } else if (c == '`' && FDialect != SqlDialect::Postgres) {
      end = Quoted(i, '`', false, closed);
      token = Token::QuotedName;
    } else if (c == '[' && FDialect == SqlDialect::Generic) {
      end = Quoted(i, ']', false, closed);
      token = Token::Bracket;
    } else if (c == '[' && FDialect == SqlDialect::Mysql) {
      // MySQL has no bracketed names; the utility's are still found and rewritten.
      end = Quoted(i, ']', false, closed);
      token = Token::Bracket;
    } else if (c == '[' && FDialect == SqlDialect::Postgres && !AfterOperand(i)) {
      end = Quoted(i, ']', false, closed);
      token = Token::Bracket;
    } else if (c == '-' && At(i + 1) == '-' && (FDialect != SqlDialect::Mysql || DashCommentOpens(i))) {
      end = LineEnd(i);
      token = Token::Comment;
    } else if (c == '#' && FDialect == SqlDialect::Mysql) {
      end = LineEnd(i);
      token = Token::Comment;
    } else if (c == '/' && At(i + 1) == '*') {
      if (FDialect == SqlDialect::Mysql && (At(i + 2) == '!' || (At(i + 2) == 'M' && At(i + 3) == '!'))) {
        // Code the server runs: only its opener is skipped, as a blank.
        end = i + (At(i + 2) == '!' ? 3 : 4);
        while (end < FText.size() && FText[end] >= '0' && FText[end] <= '9') ++end;
        token = Token::Space;
      } else {
        end = BlockCommentEnd(i, closed);
        token = Token::Comment;
      }
    } else if (c == '$' && FDialect == SqlDialect::Postgres && !AfterNameChar(i)) {
      const std::size_t tagEnd = DollarTagEnd(i);
      if (tagEnd == View::npos) {
        end = i + 1;
      } else {
        end = DollarQuoteEnd(i, tagEnd, closed);
        token = Token::Literal;
      }
    } else if (IsNameChar(c)) {
      end = i + 1;
      while (end < FText.size() && IsNameChar(FText[end])) ++end;
    } else {
      end = i + 1;
    }
    FPos = end;
    return token;
  }

 private:
  Char At(std::size_t i) const { return i < FText.size() ? FText[i] : Char(0); }

  bool AfterNameChar(std::size_t i) const { return i > 0 && IsNameChar(FText[i - 1]); }

  // A "[" right after a name, a closing bracket or a quoted name is a subscript.
  bool AfterOperand(std::size_t i) const {
    if (i == 0) return false;
    const Char p = FText[i - 1];
    return IsNameChar(p) || p == ']' || p == ')' || p == '"';
  }

  // PostgreSQL's E'...' takes backslash escapes whatever the settings say.
  bool EscapedLiteralPrefix(std::size_t i) const {
    if (FDialect != SqlDialect::Postgres || i == 0) return false;
    const Char p = FText[i - 1];
    if (p != 'E' && p != 'e') return false;
    return i == 1 || !IsNameChar(FText[i - 2]);
  }

  // MySQL takes "--" for a comment only when a blank or control character follows.
  bool DashCommentOpens(std::size_t i) const {
    const std::size_t next = i + 2;
    return next >= FText.size() || static_cast<std::uint32_t>(FText[next]) <= ' ';
  }

  std::size_t LineEnd(std::size_t i) const {
    const auto end = FText.find(Char('\n'), i);
    return end == View::npos ? FText.size() : end + 1;
  }

  // One past the quote that closes the one at i: a doubled quote stands for
  // itself, and so does an escaped one.
  std::size_t Quoted(std::size_t i, Char close, bool backslash, bool& closed) const {
    for (std::size_t j = i + 1; j < FText.size(); ++j) {
      if (backslash && FText[j] == '\\') {
        ++j;
        continue;
      }
      if (FText[j] != close) continue;
      if (j + 1 < FText.size() && FText[j + 1] == close) {
        ++j;
        continue;
      }
      return j + 1;
    }
    closed = false;
    return FText.size();
  }

  std::size_t BlockCommentEnd(std::size_t i, bool& closed) const {
    int depth = 0;
    for (std::size_t j = i; j + 1 < FText.size(); ++j) {
      if (FText[j] == '/' && FText[j + 1] == '*' && (depth == 0 || FDialect == SqlDialect::Postgres)) {
        ++depth;
        ++j;
      } else if (FText[j] == '*' && FText[j + 1] == '/') {
        if (--depth == 0) return j + 2;
        ++j;
      }
    }
    closed = false;
    return FText.size();
  }

  // One past the tag of a dollar quote opening at i ($$ or $tag$); npos when i
  // opens none (a parameter such as $1, or a lone $).
  std::size_t DollarTagEnd(std::size_t i) const {
    std::size_t j = i + 1;
    if (j < FText.size() && FText[j] >= '0' && FText[j] <= '9') return View::npos;
    while (j < FText.size() && FText[j] != '$') {
      if (!IsNameChar(FText[j]) || FText[j] == '$') return View::npos;
      ++j;
    }
    return j < FText.size() ? j + 1 : View::npos;
  }

  std::size_t DollarQuoteEnd(std::size_t i, std::size_t tagEnd, bool& closed) const {
    const View tag = FText.substr(i, tagEnd - i);
    const auto close = FText.find(tag, tagEnd);
    if (close == View::npos) {
      closed = false;
      return FText.size();
    }
    return close + tag.size();
  }

  View FText;
  SqlDialect FDialect;
  bool FBackslash;
  std::size_t FPos = 0;
};

template <class Char>
std::string FirstKeywordOf(std::basic_string_view<Char> s, SqlDialect dialect) {
  Lexer<Char> lexer(s, dialect, dialect == SqlDialect::Mysql);
  while (!lexer.AtEnd()) {
    const std::size_t start = lexer.Position();
    std::size_t end = 0;
    bool closed = true;
    const Token token = lexer.Next(end, closed);
    if (token == Token::Space || token == Token::Comment) continue;
    std::string word;
    for (std::size_t i = start; i < end && IsLetter(s[i]); ++i) {
      word += static_cast<char>(s[i] >= 'a' ? s[i] - 'a' + 'A' : s[i]);
    }
    return token == Token::Code ? word : std::string();
  }
  return {};
}

std::size_t CountOneReading(std::u16string_view text, SqlDialect dialect, bool backslash) {
  Lexer<char16_t> lexer(text, dialect, backslash);
  std::size_t count = 0;
  bool code = false;
  while (!lexer.AtEnd()) {
    std::size_t end = 0;
    bool closed = true;
    const Token token = lexer.Next(end, closed);
    if (token == Token::Semicolon) {
      if (code) ++count;
      code = false;
    } else if (token != Token::Space && token != Token::Comment) {
      code = true;
    }
  }
  return count + (code ? 1 : 0);
}

}  // namespace

std::string FirstKeyword(std::string_view sql) { return FirstKeywordOf(sql, SqlDialect::Generic); }
std::string FirstKeyword(std::u16string_view sql) { return FirstKeywordOf(sql, SqlDialect::Generic); }
std::string FirstKeyword(std::u16string_view sql, SqlDialect dialect) { return FirstKeywordOf(sql, dialect); }

std::vector<std::string> CodeWords(std::u16string_view text, SqlDialect dialect) {
  std::vector<std::string> words;
  Lexer<char16_t> lexer(text, dialect, dialect == SqlDialect::Mysql);
  while (!lexer.AtEnd()) {
    const std::size_t start = lexer.Position();
    std::size_t end = 0;
    bool closed = true;
    if (lexer.Next(end, closed) != Token::Code || !IsLetter(text[start])) continue;
    std::string word;
    for (std::size_t i = start; i < end; ++i) {
      const char16_t c = text[i];
      word += c < 0x80 ? static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c) : '?';
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::size_t CountStatements(std::u16string_view text, SqlDialect dialect) {
  std::size_t count = CountOneReading(text, dialect, false);
  if (dialect != SqlDialect::Generic) count = std::max(count, CountOneReading(text, dialect, true));
  return count;
}

std::vector<std::u16string_view> SplitStatements(std::u16string_view text) {
  std::vector<std::u16string_view> statements;
  Lexer<char16_t> lexer(text, SqlDialect::Generic, false);
  std::size_t start = 0;
  bool code = false;
  while (!lexer.AtEnd()) {
    const std::size_t at = lexer.Position();
    std::size_t end = 0;
    bool closed = true;
    const Token token = lexer.Next(end, closed);
    if (token == Token::Semicolon) {
      if (code) statements.push_back(text.substr(start, at - start));
      start = end;
      code = false;
    } else if (token != Token::Space && token != Token::Comment) {
      code = true;
    }
  }
  if (code) statements.push_back(text.substr(start));
  return statements;
}

std::u16string QuoteBracketedNames(std::u16string_view text, char16_t quote, SqlDialect dialect) {
  if (quote == u'[' || quote == u' ' || quote == 0) return std::u16string(text);
  std::u16string out;
  out.reserve(text.size() + 8);
  Lexer<char16_t> lexer(text, dialect, dialect == SqlDialect::Mysql);
  while (!lexer.AtEnd()) {
    const std::size_t i = lexer.Position();
    std::size_t end = 0;
    bool closed = true;
    const Token token = lexer.Next(end, closed);
    if (token != Token::Bracket || !closed) {
      out.append(text.substr(i, end - i));
      continue;
    }
    out += quote;
    for (std::size_t j = i + 1; j + 1 < end; ++j) {
      if (text[j] == u']') ++j;  // "]]" is one "]"
      if (text[j] == quote) out += quote;
      out += text[j];
    }
    out += quote;
  }
  return out;
}

}  // namespace velmora::server
