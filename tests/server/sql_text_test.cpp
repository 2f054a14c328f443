// The statement texts' lexing: what the ODBC backend rewrites, where each server
// ends a literal, a name or a comment, and how many statements it would see.

#include <gtest/gtest.h>

#include "server/sql_text.h"
#include "service/utf.h"

namespace velmora::server {
namespace {

std::string Quoted(const char* text, char16_t quote = u'"', SqlDialect dialect = SqlDialect::Generic) {
  return Utf16ToUtf8(QuoteBracketedNames(Utf8ToUtf16(text), quote, dialect));
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

// Literals and comments as PostgreSQL and MySQL read them keep their brackets.
TEST(SqlText, BracketsInsideEachServersLiteralsAndCommentsStay) {
  struct Case {
    const char* Label;
    SqlDialect Dialect;
    char16_t Quote;
    const char* Text;
    const char* Expected;
  } cases[] = {
      {"dollar quote", SqlDialect::Postgres, u'"', "SELECT $$[x]$$ AS [y]", "SELECT $$[x]$$ AS \"y\""},
      {"tagged dollar quote", SqlDialect::Postgres, u'"', "SELECT $t$ $$ [x] $t$, [y]", "SELECT $t$ $$ [x] $t$, \"y\""},
      {"parameter is no dollar quote", SqlDialect::Postgres, u'"', "SELECT $1, [y], $2", "SELECT $1, \"y\", $2"},
      {"E string with an escaped quote", SqlDialect::Postgres, u'"', "SELECT E'\\' [x]', [y]",
       "SELECT E'\\' [x]', \"y\""},
      {"plain string ends at its quote", SqlDialect::Postgres, u'"', "SELECT 'a\\', [y]", "SELECT 'a\\', \"y\""},
      {"nested comment", SqlDialect::Postgres, u'"', "SELECT /* /* [x] */ [x] */ [y]", "SELECT /* /* [x] */ [x] */ \"y\""},
      {"array subscript", SqlDialect::Postgres, u'"', "SELECT a[1], f(x)[2], [y]", "SELECT a[1], f(x)[2], \"y\""},
      {"backslash escape", SqlDialect::Mysql, u'`', "SELECT 'it\\'s [x]', [y]", "SELECT 'it\\'s [x]', `y`"},
      {"double-quoted string", SqlDialect::Mysql, u'`', "SELECT \"[x]\", [y]", "SELECT \"[x]\", `y`"},
      {"hash comment", SqlDialect::Mysql, u'`', "SELECT 1 # [x]\n, [y]", "SELECT 1 # [x]\n, `y`"},
      {"backtick name", SqlDialect::Mysql, u'`', "SELECT `[x]`, [y]", "SELECT `[x]`, `y`"},
      {"executable comment is code", SqlDialect::Mysql, u'`', "SELECT 1 /*! , [y] */", "SELECT 1 /*! , `y` */"},
  };
  for (const Case& c : cases) EXPECT_EQ(Quoted(c.Text, c.Quote, c.Dialect), c.Expected) << c.Label;
}

// A text is one statement only when every reading of the server's finds one.
TEST(SqlText, StatementsAreCountedAsEachServerReadsThem) {
  struct Case {
    const char* Label;
    const char* Text;
    std::size_t Generic, Postgres, Mysql;
  } cases[] = {
      {"one", "UPDATE t SET a=1", 1, 1, 1},
      {"trailing semicolon and comment", "UPDATE t SET a=1;  -- done\r\n", 1, 1, 1},
      {"two", "SELECT 1; SELECT 2", 2, 2, 2},
      {"only comments", " -- x\n /* y */ ;", 0, 0, 0},
      {"semicolon in a dollar quote", "SELECT $$;$$", 2, 1, 2},
      {"second statement after a dollar quote", "SELECT $$;$$; COMMIT", 3, 2, 3},
      {"semicolon in a nested comment", "SELECT 1 /* /* */ ; DELETE FROM t; */", 3, 1, 3},
      {"backslash before a quote", "SELECT 'a\\'; DELETE FROM t; -- '", 2, 2, 2},
      {"E string", "SELECT E'\\'; DELETE FROM t; --'", 2, 1, 3},
      {"semicolon in an executable comment", "SELECT 1 /*! ; DELETE FROM t */", 1, 1, 2},
      {"semicolon after a dash comment without blank", "SELECT 1 --; DELETE FROM t", 1, 1, 2},
      {"hash is code but for MySQL", "SELECT 1 # ; DELETE FROM t", 2, 2, 1},
      {"semicolon in backticks", "SELECT 1 AS `a;b`", 1, 2, 1},
      {"semicolon in a double-quoted name or string", "SELECT 1 AS \"a;b\"", 1, 1, 1},
  };
  for (const Case& c : cases) {
    const std::u16string text = Utf8ToUtf16(c.Text);
    EXPECT_EQ(CountStatements(text, SqlDialect::Generic), c.Generic) << c.Label;
    EXPECT_EQ(CountStatements(text, SqlDialect::Postgres), c.Postgres) << c.Label;
    EXPECT_EQ(CountStatements(text, SqlDialect::Mysql), c.Mysql) << c.Label;
  }
}

TEST(SqlText, CodeWordsLeaveLiteralsNamesAndCommentsOut) {
  EXPECT_EQ(CodeWords(u"WITH x AS (SELECT 'UPDATE' AS \"DELETE\") /* INSERT */ SELECT * FROM x FOR UPDATE",
                      SqlDialect::Postgres),
            (std::vector<std::string>{"WITH", "X", "AS", "SELECT", "AS", "SELECT", "FROM", "X", "FOR", "UPDATE"}));
  EXPECT_EQ(CodeWords(u"create temporary table t # x\n", SqlDialect::Mysql),
            (std::vector<std::string>{"CREATE", "TEMPORARY", "TABLE", "T"}));
  EXPECT_EQ(FirstKeyword(u"/* a /* b */ c */ begin", SqlDialect::Postgres), "BEGIN");
  EXPECT_EQ(FirstKeyword(u"/*!40101 SET x = 1 */", SqlDialect::Mysql), "SET");
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
