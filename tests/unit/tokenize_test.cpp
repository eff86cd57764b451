// Tokenizer: token codes, keywords, lexical rules, statement completeness.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "parser.h"
#include "tarvikInt.h"

const char *tarvikTestKeywordName(int i);
int tarvikTestKeywordHashOk();

namespace {

// The token codes in their fixed order, from 1.
const char *const kTokenOrder =
    "END_OF_FILE ILLEGAL SPACE UNCLOSED_STRING COMMENT FUNCTION COLUMN AGG_FUNCTION SEMI EXPLAIN "
    "BEGIN TRANSACTION COMMIT END ROLLBACK CREATE TABLE TEMP LP RP AS COMMA ID ABORT AFTER ASC "
    "ATTACH BEFORE CASCADE CLUSTER CONFLICT COPY DATABASE DEFERRED DELIMITERS DESC DETACH EACH "
    "FAIL FOR GLOB IGNORE IMMEDIATE INITIALLY INSTEAD LIKE MATCH KEY OF OFFSET PRAGMA RAISE "
    "REPLACE RESTRICT ROW STATEMENT TRIGGER VACUUM VIEW OR AND NOT EQ NE ISNULL NOTNULL IS "
    "BETWEEN IN GT GE LT LE BITAND BITOR LSHIFT RSHIFT PLUS MINUS STAR SLASH REM CONCAT UMINUS "
    "UPLUS BITNOT STRING JOIN_KW INTEGER CONSTRAINT DEFAULT FLOAT NULL PRIMARY UNIQUE CHECK "
    "REFERENCES COLLATE ON DELETE UPDATE INSERT SET DEFERRABLE FOREIGN DROP UNION ALL INTERSECT "
    "EXCEPT SELECT DISTINCT DOT FROM JOIN USING ORDER BY GROUP HAVING LIMIT WHERE INTO VALUES "
    "VARIABLE CASE WHEN THEN ELSE INDEX";

int codeOfName(const std::string &name) {
  for (int i = 1; i <= TK_INDEX; i++) {
    if (name == tarvikParserTokenName(i)) return i;
  }
  return -1;
}

// (code, text) of every token of z, spaces included.
std::vector<std::pair<int, std::string>> tokens(const char *z) {
  std::vector<std::pair<int, std::string>> out;
  while (*z) {
    int type;
    int n = tarvikGetToken((const unsigned char *)z, &type);
    EXPECT_GE(n, 1);
    out.push_back({type, std::string(z, n)});
    z += n;
  }
  return out;
}

std::string show(const std::vector<std::pair<int, std::string>> &toks) {
  std::string s;
  for (auto &[t, x] : toks) {
    if (!s.empty()) s += " ";
    s += std::string(tarvikParserTokenName(t)) + ":" + x;
  }
  return s;
}

std::string lex(const char *z) { return show(tokens(z)); }

TEST(Tokenize, TokenCodesKeepTheirFixedNumbers) {
  std::istringstream in(kTokenOrder);
  std::string name;
  int code = 1;
  while (in >> name) {
    EXPECT_STREQ(tarvikParserTokenName(code), name.c_str()) << "code " << code;
    code++;
  }
  EXPECT_EQ(code - 1, 130);
  EXPECT_EQ(TK_SEMI, 9);
  EXPECT_EQ(TK_ID, 23);
  EXPECT_EQ(TK_STRING, 87);
  EXPECT_EQ(TK_INDEX, 130);
  EXPECT_STREQ(tarvikParserTokenName(131), "error");
  EXPECT_STREQ(tarvikParserTokenName(0), "Unknown");
  EXPECT_STREQ(tarvikParserTokenName(100000), "Unknown");
}

TEST(Tokenize, EveryKeywordIsRecognisedInAnyCase) {
  int n = 0;
  for (const char *z; (z = tarvikTestKeywordName(n)) != nullptr; n++) {
    std::string upper = z, lower, mixed;
    for (size_t i = 0; i < upper.size(); i++) {
      lower += (char)tolower(upper[i]);
      mixed += i % 2 ? (char)tolower(upper[i]) : upper[i];
    }
    int expect = codeOfName(upper);
    if (upper == "CROSS" || upper == "FULL" || upper == "INNER" || upper == "LEFT" ||
        upper == "NATURAL" || upper == "OUTER" || upper == "RIGHT") {
      expect = TK_JOIN_KW;
    }
    if (upper == "TEMPORARY") expect = TK_TEMP;
    ASSERT_GT(expect, 0) << upper;
    EXPECT_EQ(tarvikKeywordCode(upper.c_str(), (int)upper.size()), expect) << upper;
    EXPECT_EQ(tarvikKeywordCode(lower.c_str(), (int)lower.size()), expect) << lower;
    EXPECT_EQ(tarvikKeywordCode(mixed.c_str(), (int)mixed.size()), expect) << mixed;
    // A keyword read through the tokenizer, followed by other text.
    std::string text = mixed + " x";
    int type;
    EXPECT_EQ(tarvikGetToken((const unsigned char *)text.c_str(), &type), (int)upper.size());
    EXPECT_EQ(type, expect) << mixed;
  }
  EXPECT_EQ(n, 100);
  EXPECT_EQ(tarvikTestKeywordHashOk(), 1) << "compile-time hash differs from tarvikHashNoCase";
}

TEST(Tokenize, NonKeywordsAreIdentifiers) {
  for (const char *z : {"selec", "selects", "x", "TEMPORAR", "JOINS", "rowid", "_", "a1"}) {
    EXPECT_EQ(tarvikKeywordCode(z, (int)strlen(z)), TK_ID) << z;
  }
  // Only the first n bytes count.
  EXPECT_EQ(tarvikKeywordCode("SELECTED", 6), TK_SELECT);
  EXPECT_EQ(tarvikKeywordCode("INX", 2), TK_IN);
}

TEST(Tokenize, OperatorsAndPunctuation) {
  EXPECT_EQ(lex("(),;+*%&~?.-"),
            "LP:( RP:) COMMA:, SEMI:; PLUS:+ STAR:* REM:% BITAND:& BITNOT:~ VARIABLE:? DOT:. "
            "MINUS:-");
  EXPECT_EQ(lex("x==1"), "ID:x EQ:== INTEGER:1");
  EXPECT_EQ(lex("x=1"), "ID:x EQ:= INTEGER:1");
  EXPECT_EQ(lex("x<>1"), "ID:x NE:<> INTEGER:1");
  EXPECT_EQ(lex("x!=1"), "ID:x NE:!= INTEGER:1");
  EXPECT_EQ(lex("<= < << >= > >>"),
            "LE:<= SPACE:  LT:< SPACE:  LSHIFT:<< SPACE:  GE:>= SPACE:  GT:> SPACE:  RSHIFT:>>");
  EXPECT_EQ(lex("a||b|c"), "ID:a CONCAT:|| ID:b BITOR:| ID:c");
  EXPECT_EQ(lex("a/b"), "ID:a SLASH:/ ID:b");
}

TEST(Tokenize, IllegalBytes) {
  EXPECT_EQ(lex("a!b"), "ID:a ILLEGAL:!b");
  EXPECT_EQ(lex("!"), "ILLEGAL:!") << "never past the end";
  EXPECT_EQ(lex("#"), "ILLEGAL:#");
  EXPECT_EQ(lex("$x"), "ILLEGAL:$ ID:x");
  EXPECT_EQ(lex("\x01"), "ILLEGAL:\x01");
}

TEST(Tokenize, SpacesAndComments) {
  EXPECT_EQ(lex(" \t\n\v\f\rx"), "SPACE: \t\n\v\f\r ID:x");
  EXPECT_EQ(lex("\vx"), "ILLEGAL:\v ID:x") << "vertical tab continues white space, never starts it";
  EXPECT_EQ(lex("--c\nx"), "COMMENT:--c SPACE:\n ID:x");
  EXPECT_EQ(lex("--to the end"), "COMMENT:--to the end");
  EXPECT_EQ(lex("/* a */x"), "COMMENT:/* a */ ID:x");
  EXPECT_EQ(lex("/**/x"), "COMMENT:/**/ ID:x");
  EXPECT_EQ(lex("/*/ x */y"), "COMMENT:/*/ x */ ID:y") << "the opening star does not close";
  EXPECT_EQ(lex("/* open"), "COMMENT:/* open");
  EXPECT_EQ(lex("/*"), "SLASH:/ STAR:*") << "no third byte";
  EXPECT_EQ(lex("-1"), "MINUS:- INTEGER:1");
}

TEST(Tokenize, StringsAndQuotedNames) {
  EXPECT_EQ(lex("'it''s'"), "STRING:'it''s'");
  EXPECT_EQ(lex("\"a\"\"b\"x"), "STRING:\"a\"\"b\" ID:x");
  EXPECT_EQ(lex("'a\"b'"), "STRING:'a\"b'");
  EXPECT_EQ(lex("''"), "STRING:''");
  // An unterminated string is illegal rather than a string to the end.
  EXPECT_EQ(lex("'abc"), "ILLEGAL:'abc");
  EXPECT_EQ(lex("'ab''"), "ILLEGAL:'ab''");
  EXPECT_EQ(lex("\"x"), "ILLEGAL:\"x");
  EXPECT_EQ(lex("[a b]c"), "ID:[a b] ID:c");
  EXPECT_EQ(lex("[a"), "ID:[a") << "an unterminated bracket runs to the end";
  EXPECT_EQ(lex("[]"), "ID:[]");
}

TEST(Tokenize, Numbers) {
  EXPECT_EQ(lex("123"), "INTEGER:123");
  EXPECT_EQ(lex("1."), "INTEGER:1 DOT:.");
  EXPECT_EQ(lex("1.5"), "FLOAT:1.5");
  EXPECT_EQ(lex("1.5e"), "FLOAT:1.5 ID:e");
  EXPECT_EQ(lex("1e5"), "FLOAT:1e5");
  EXPECT_EQ(lex("2.5E-3"), "FLOAT:2.5E-3");
  EXPECT_EQ(lex("1.5e+3"), "FLOAT:1.5e+3");
  EXPECT_EQ(lex("1e+"), "INTEGER:1 ID:e PLUS:+");
  EXPECT_EQ(lex(".5"), "DOT:. INTEGER:5");
  EXPECT_EQ(lex("12abc"), "INTEGER:12 ID:abc");
  EXPECT_EQ(lex("1.2.3"), "FLOAT:1.2 DOT:. INTEGER:3");
}

TEST(Tokenize, HighBytesAreIdentifierLetters) {
  EXPECT_EQ(lex("caf\xc3\xa9 x"), "ID:caf\xc3\xa9 SPACE:  ID:x");
  EXPECT_EQ(lex("\xc3\xa9t\xc3\xa9"), "ID:\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(lex("\xff"), "ID:\xff");
  EXPECT_EQ(lex("sel\x80"), "ID:sel\x80") << "not the keyword with a byte appended";
  EXPECT_EQ(lex("a_1 _b"), "ID:a_1 SPACE:  ID:_b");
}

TEST(Tokenize, CompleteOnSimpleStatements) {
  EXPECT_EQ(tarvik_complete(""), 1);
  EXPECT_EQ(tarvik_complete("   \n"), 1);
  EXPECT_EQ(tarvik_complete("-- only a comment"), 1);
  EXPECT_EQ(tarvik_complete("/* c */"), 1);
  EXPECT_EQ(tarvik_complete("SELECT 1"), 0);
  EXPECT_EQ(tarvik_complete("SELECT 1;"), 1);
  EXPECT_EQ(tarvik_complete("SELECT 1; "), 1);
  EXPECT_EQ(tarvik_complete("SELECT 1; -- note"), 1);
  EXPECT_EQ(tarvik_complete("SELECT 1; -- note\n"), 1);
  EXPECT_EQ(tarvik_complete("SELECT 1 -- ;"), 0);
  EXPECT_EQ(tarvik_complete("SELECT 1; SELECT 2"), 0);
  EXPECT_EQ(tarvik_complete("SELECT '1;"), 0);
  EXPECT_EQ(tarvik_complete("SELECT '1;'"), 0);
  EXPECT_EQ(tarvik_complete("SELECT '1;';"), 1);
  EXPECT_EQ(tarvik_complete("SELECT \"a;\";"), 1);
  EXPECT_EQ(tarvik_complete("SELECT [a;b];"), 1);
  EXPECT_EQ(tarvik_complete("SELECT [a;"), 0);
  EXPECT_EQ(tarvik_complete("SELECT 1 /* x"), 0);
  EXPECT_EQ(tarvik_complete("SELECT 1 /* ; */"), 0);
  EXPECT_EQ(tarvik_complete("SELECT 1 /* x */;"), 1);
  EXPECT_EQ(tarvik_complete("SELECT 4/2;"), 1);
  EXPECT_EQ(tarvik_complete("SELECT 4-2;"), 1);
  EXPECT_EQ(tarvik_complete(";"), 1);
  EXPECT_EQ(tarvik_complete("EXPLAIN SELECT 1;"), 1);
  EXPECT_EQ(tarvik_complete("CREATE TABLE t(a);"), 1);
  EXPECT_EQ(tarvik_complete("SELECT caf\xc3\xa9;"), 1);
}

TEST(Tokenize, CompleteWaitsForTheEndOfATriggerBody) {
  EXPECT_EQ(tarvik_complete("CREATE TRIGGER t AFTER INSERT ON x BEGIN SELECT 1; END;"), 1);
  EXPECT_EQ(tarvik_complete("CREATE TRIGGER t AFTER INSERT ON x BEGIN SELECT 1; END"), 0);
  EXPECT_EQ(tarvik_complete("CREATE TRIGGER t AFTER INSERT ON x BEGIN SELECT 1;"), 0);
  EXPECT_EQ(tarvik_complete("create temp trigger t after insert on x begin\n"
                            "  insert into y values(1);\n"
                            "  delete from z;\n"
                            "  update w set a = 1;\n"
                            "end;"),
            1);
  EXPECT_EQ(tarvik_complete("CREATE TEMPORARY TRIGGER t BEFORE DELETE ON x BEGIN\n"
                            "  DELETE FROM y; -- end;\n"
                            "  SELECT 'end;';\n"),
            0);
  EXPECT_EQ(tarvik_complete("CREATE TRIGGER t DELETE ON x BEGIN DELETE FROM y; END /* c */ ;"), 1);
  EXPECT_EQ(tarvik_complete("CREATE TRIGGER t DELETE ON x BEGIN DELETE FROM y; END -- c\n;"), 1);
  EXPECT_EQ(tarvik_complete("EXPLAIN CREATE TRIGGER t DELETE ON x BEGIN SELECT 1; END;"), 1);
  EXPECT_EQ(tarvik_complete("EXPLAIN CREATE TRIGGER t DELETE ON x BEGIN SELECT 1;"), 0);
  // END must follow a semicolon directly (space and comments aside).
  EXPECT_EQ(tarvik_complete("CREATE TRIGGER t DELETE ON x BEGIN SELECT CASE 1 WHEN 1 THEN 2 END;"),
            0);
  // Words only count as whole words.
  EXPECT_EQ(tarvik_complete("CREATE TRIGGERS(a);"), 1);
  EXPECT_EQ(tarvik_complete("CREATE TABLE trigger(a);"), 1);
  EXPECT_EQ(tarvik_complete("SELECT create trigger;"), 1) << "CREATE counts only first";
}

}  // namespace
