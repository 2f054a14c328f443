// The statement texts' lexing: what the ODBC backend rewrites and where it splits.

#include <gtest/gtest.h>

#include "server/sql_text.h"
#include "service/utf.h"

namespace velmora::server {
namespace {

std::string Quoted(const char* text, char16_t quote = u'"') {
  return Utf16ToUtf8(QuoteBracketedNames(Utf8ToUtf16(text), quote));
}

TEST(SqlText, BracketedNamesTakeTheServersQuotingAndNothingElseChanges) {
  struct Case {
    const char* Label;
    const char* Text;
    const char* Expected;
  } cases[] = {
      {"alias", "SELECT x AS [Controller Type] FROM t", "SELECT x AS \"Controller Type\" FROM t"},
      {"several, line ends and tab kept", "\t  ,a AS [Disabled]\r\n,[b]\r\n", "\t  ,a AS \"Disabled\"\r\n,\"b\"\r\n"},
      {"quote inside doubled", "SELECT 1 AS [say \"hi\"]", "SELECT 1 AS \"say \"\"hi\"\"\""},
      {"]] is one ]", "SELECT 1 AS [a]]b]", "SELECT 1 AS \"a]b\""},
      {"inside a literal", "SELECT '[x]', 'it''s [y]'", "SELECT '[x]', 'it''s [y]'"},
      {"inside a line comment", "SELECT 1 -- [x]\r\n, [y]", "SELECT 1 -- [x]\r\n, \"y\""},
      {"inside a block comment", "SELECT /* [x] */ [y]", "SELECT /* [x] */ \"y\""},
      {"inside a quoted name", "SELECT \"[x]\"", "SELECT \"[x]\""},
      {"unclosed bracket", "SELECT [x", "SELECT [x"},
      {"unclosed literal", "SELECT '[x]", "SELECT '[x]"},
      {"non-ASCII name", "SELECT 1 AS [Z\xC3\xBCrich]", "SELECT 1 AS \"Z\xC3\xBCrich\""},
  };
  for (const Case& c : cases) EXPECT_EQ(Quoted(c.Text), c.Expected) << c.Label;
}

TEST(SqlText, ServersThatTakeBracketsOrNoQuotingGetTheTextAsItIs) {
  for (const char16_t quote : {u'[', u' '}) {
    EXPECT_EQ(Quoted("SELECT a AS [Controller Type]", quote), "SELECT a AS [Controller Type]") << int(quote);
  }
  EXPECT_EQ(Quoted("SELECT a AS [b`c]", u'`'), "SELECT a AS `b``c`");
}

TEST(SqlText, StatementsSplitAtSemicolonsOutsideLiteralsNamesAndComments) {
  struct Case {
    const char* Label;
    const char* Text;
    std::vector<std::string> Expected;
  } cases[] = {
      {"one", "UPDATE t SET a=1", {"UPDATE t SET a=1"}},
      {"two, trailing blanks and comment dropped", "UPDATE t SET a=1;\r\n UPDATE t SET a=2;  \r\n  -- done\r\n",
       {"UPDATE t SET a=1", "\r\n UPDATE t SET a=2"}},
      {"semicolon in a literal", "SELECT 'a;b'", {"SELECT 'a;b'"}},
      {"semicolon in names", "SELECT 1 AS [a;b], 2 AS \"c;d\"", {"SELECT 1 AS [a;b], 2 AS \"c;d\""}},
      {"semicolon in comments", "SELECT 1 -- a;b\r\n/* c;d */", {"SELECT 1 -- a;b\r\n/* c;d */"}},
      {"only blanks and comments", "  -- x\r\n /* y */ ;;", {}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    const std::u16string text = Utf8ToUtf16(c.Text);
    for (const std::u16string_view statement : SplitStatements(text)) got.push_back(Utf16ToUtf8(statement));
    EXPECT_EQ(got, c.Expected) << c.Label;
  }
}

TEST(SqlText, FirstKeywordSkipsBlanksAndComments) {
  struct Case {
    const char* Text;
    const char* Keyword;
  } cases[] = {
      {"update t", "UPDATE"},
      {"  -- note\r\n /* more */ Begin;", "BEGIN"},
      {"/* unclosed", ""},
      {"(SELECT 1)", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FirstKeyword(std::string_view(c.Text)), c.Keyword) << c.Text;
    EXPECT_EQ(FirstKeyword(std::u16string_view(Utf8ToUtf16(c.Text))), c.Keyword) << c.Text;
  }
}

}  // namespace
}  // namespace velmora::server
