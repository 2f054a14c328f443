#include "server/sql_text.h"

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

template <class Char>
std::string FirstKeywordOf(std::basic_string_view<Char> s) {
  for (;;) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    if (s.size() >= 2 && s[0] == '-' && s[1] == '-') {
      const auto end = s.find(Char('\n'));
      s = end == s.npos ? std::basic_string_view<Char>() : s.substr(end + 1);
    } else if (s.size() >= 2 && s[0] == '/' && s[1] == '*') {
      std::size_t end = 2;
      while (end + 1 < s.size() && !(s[end] == '*' && s[end + 1] == '/')) ++end;
      s = end + 1 < s.size() ? s.substr(end + 2) : std::basic_string_view<Char>();
    } else {
      break;
    }
  }
  std::string word;
  for (const Char c : s) {
    if (!IsLetter(c)) break;
    word += static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
  }
  return word;
}

// Where the token that starts at text[i] ends: one past a literal, quoted name or
// comment that opens there (the end of text when it is not closed, and closed is
// then set false), else i + 1. code is set false for a comment.
std::size_t TokenEnd(std::u16string_view text, std::size_t i, bool& code, bool& closed) {
  code = true;
  closed = true;
  const char16_t c = text[i];
  const auto closedBy = [&](char16_t close) {
    // A doubled closing character stands for itself and does not close.
    for (std::size_t j = i + 1; j < text.size(); ++j) {
      if (text[j] != close) continue;
      if (j + 1 < text.size() && text[j + 1] == close) {
        ++j;
        continue;
      }
      return j + 1;
    }
    closed = false;
    return text.size();
  };
  if (c == u'\'' || c == u'"') return closedBy(c);
  if (c == u'[') return closedBy(u']');
  if (c == u'-' && i + 1 < text.size() && text[i + 1] == u'-') {
    code = false;
    const auto end = text.find(u'\n', i);
    return end == text.npos ? text.size() : end + 1;
  }
  if (c == u'/' && i + 1 < text.size() && text[i + 1] == u'*') {
    code = false;
    const auto end = text.find(u"*/", i + 2);
    return end == text.npos ? text.size() : end + 2;
  }
  return i + 1;
}

bool HoldsCode(std::u16string_view statement) {
  for (std::size_t i = 0; i < statement.size();) {
    bool code = true, closed = true;
    const std::size_t end = TokenEnd(statement, i, code, closed);
    if (code && !IsSpace(statement[i])) return true;
    i = end;
  }
  return false;
}

}  // namespace

std::string FirstKeyword(std::string_view sql) { return FirstKeywordOf(sql); }
std::string FirstKeyword(std::u16string_view sql) { return FirstKeywordOf(sql); }

std::vector<std::u16string_view> SplitStatements(std::u16string_view text) {
  std::vector<std::u16string_view> statements;
  std::size_t start = 0;
  const auto add = [&](std::size_t end) {
    const std::u16string_view statement = text.substr(start, end - start);
    if (HoldsCode(statement)) statements.push_back(statement);
  };
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == u';') {
      add(i);
      start = ++i;
      continue;
    }
    bool code = true, closed = true;
    i = TokenEnd(text, i, code, closed);
  }
  add(text.size());
  return statements;
}

std::u16string QuoteBracketedNames(std::u16string_view text, char16_t quote) {
  if (quote == u'[' || quote == u' ' || quote == 0) return std::u16string(text);
  std::u16string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    bool code = true, closed = true;
    const std::size_t end = TokenEnd(text, i, code, closed);
    const bool closedName = text[i] == u'[' && closed;
    if (!closedName) {
      out.append(text.substr(i, end - i));
      i = end;
      continue;
    }
    out += quote;
    for (std::size_t j = i + 1; j + 1 < end; ++j) {
      if (text[j] == u']') ++j;  // "]]" is one "]"
      if (text[j] == quote) out += quote;
      out += text[j];
    }
    out += quote;
    i = end;
  }
  return out;
}

}  // namespace velmora::server
