/*
** The tokenizer: splits SQL text into tokens, recognises keywords, feeds the
** parser one token at a time (tarvikRunParser), and tells whether a text
** ends in a complete statement (tarvik_complete).  The text is UTF-8, read
** byte by byte; every byte 0x80-0xFF is a letter of an identifier.
*/
#include <array>
#include <string_view>

#include "parser.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

/* ---------------------------------------------------------------- keywords
** The one list of keywords, in alphabetical order.  The keyword table and
** its hash are computed from it at compile time. */
struct KeywordDef {
  const char *zName;
  u8 tokenType;
};
constexpr KeywordDef aKeywordDefs[] = {
    {"ABORT", TK_ABORT},
    {"AFTER", TK_AFTER},
    {"ALL", TK_ALL},
    {"AND", TK_AND},
    {"AS", TK_AS},
    {"ASC", TK_ASC},
    {"ATTACH", TK_ATTACH},
    {"BEFORE", TK_BEFORE},
    {"BEGIN", TK_BEGIN},
    {"BETWEEN", TK_BETWEEN},
    {"BY", TK_BY},
    {"CASCADE", TK_CASCADE},
    {"CASE", TK_CASE},
    {"CHECK", TK_CHECK},
    {"CLUSTER", TK_CLUSTER},
    {"COLLATE", TK_COLLATE},
    {"COMMIT", TK_COMMIT},
    {"CONFLICT", TK_CONFLICT},
    {"CONSTRAINT", TK_CONSTRAINT},
    {"COPY", TK_COPY},
    {"CREATE", TK_CREATE},
    {"CROSS", TK_JOIN_KW},
    {"DATABASE", TK_DATABASE},
    {"DEFAULT", TK_DEFAULT},
    {"DEFERRED", TK_DEFERRED},
    {"DEFERRABLE", TK_DEFERRABLE},
    {"DELETE", TK_DELETE},
    {"DELIMITERS", TK_DELIMITERS},
    {"DESC", TK_DESC},
    {"DETACH", TK_DETACH},
    {"DISTINCT", TK_DISTINCT},
    {"DROP", TK_DROP},
    {"END", TK_END},
    {"EACH", TK_EACH},
    {"ELSE", TK_ELSE},
    {"EXCEPT", TK_EXCEPT},
    {"EXPLAIN", TK_EXPLAIN},
    {"FAIL", TK_FAIL},
    {"FOR", TK_FOR},
    {"FOREIGN", TK_FOREIGN},
    {"FROM", TK_FROM},
    {"FULL", TK_JOIN_KW},
    {"GLOB", TK_GLOB},
    {"GROUP", TK_GROUP},
    {"HAVING", TK_HAVING},
    {"IGNORE", TK_IGNORE},
    {"IMMEDIATE", TK_IMMEDIATE},
    {"IN", TK_IN},
    {"INDEX", TK_INDEX},
    {"INITIALLY", TK_INITIALLY},
    {"INNER", TK_JOIN_KW},
    {"INSERT", TK_INSERT},
    {"INSTEAD", TK_INSTEAD},
    {"INTERSECT", TK_INTERSECT},
    {"INTO", TK_INTO},
    {"IS", TK_IS},
    {"ISNULL", TK_ISNULL},
    {"JOIN", TK_JOIN},
    {"KEY", TK_KEY},
    {"LEFT", TK_JOIN_KW},
    {"LIKE", TK_LIKE},
    {"LIMIT", TK_LIMIT},
    {"MATCH", TK_MATCH},
    {"NATURAL", TK_JOIN_KW},
    {"NOT", TK_NOT},
    {"NOTNULL", TK_NOTNULL},
    {"NULL", TK_NULL},
    {"OF", TK_OF},
    {"OFFSET", TK_OFFSET},
    {"ON", TK_ON},
    {"OR", TK_OR},
    {"ORDER", TK_ORDER},
    {"OUTER", TK_JOIN_KW},
    {"PRAGMA", TK_PRAGMA},
    {"PRIMARY", TK_PRIMARY},
    {"RAISE", TK_RAISE},
    {"REFERENCES", TK_REFERENCES},
    {"REPLACE", TK_REPLACE},
    {"RESTRICT", TK_RESTRICT},
    {"RIGHT", TK_JOIN_KW},
    {"ROLLBACK", TK_ROLLBACK},
    {"ROW", TK_ROW},
    {"SELECT", TK_SELECT},
    {"SET", TK_SET},
    {"STATEMENT", TK_STATEMENT},
    {"TABLE", TK_TABLE},
    {"TEMP", TK_TEMP},
    {"TEMPORARY", TK_TEMP},
    {"THEN", TK_THEN},
    {"TRANSACTION", TK_TRANSACTION},
    {"TRIGGER", TK_TRIGGER},
    {"UNION", TK_UNION},
    {"UNIQUE", TK_UNIQUE},
    {"UPDATE", TK_UPDATE},
    {"USING", TK_USING},
    {"VACUUM", TK_VACUUM},
    {"VALUES", TK_VALUES},
    {"VIEW", TK_VIEW},
    {"WHEN", TK_WHEN},
    {"WHERE", TK_WHERE},
};
constexpr int nKeyword = sizeof(aKeywordDefs) / sizeof(aKeywordDefs[0]);
constexpr int nKeywordHash = 101;
static_assert(nKeyword == 100);

/* The list is alphabetical except for DEFERRED before DEFERRABLE and END
** before EACH, the order in which the table has always been numbered. */
constexpr bool keywordsInListedOrder() {
  std::string_view prev;
  for (const KeywordDef &k : aKeywordDefs) {
    std::string_view name(k.zName);
    bool exception =
        (name == "DEFERRABLE" && prev == "DEFERRED") || (name == "EACH" && prev == "END");
    if (!prev.empty() && !exception && !(prev < name)) return false;
    prev = name;
  }
  return true;
}
static_assert(keywordsInListedOrder());

struct Keyword {
  const char *zName; /* upper case */
  u8 tokenType;
  u8 len;
  u8 iNext; /* 1-based index of the next keyword in the same chain; 0 ends it */
};

/* The case-insensitive hash of tarvikHashNoCase, usable at compile time
** (the keyword tests check that the two agree). */
constexpr int hashNoCase(std::string_view s) {
  u32 h = 0;
  for (char ch : s) {
    unsigned char c = (unsigned char)ch;
    if (c >= 'A' && c <= 'Z') c = (unsigned char)(c + 32);
    h = (h << 3) ^ h ^ c;
  }
  return (int)(h & 0x7fffffff);
}

struct KeywordTable {
  std::array<Keyword, nKeyword> aKeywordTable{};
  std::array<u8, nKeywordHash> aiHashTable{}; /* 0 empty, else 1-based keyword index */
};

/* Later keywords stand at the head of their chains. */
constexpr KeywordTable buildKeywordTable() {
  KeywordTable t{};
  for (int i = 0; i < nKeyword; i++) {
    std::string_view name(aKeywordDefs[i].zName);
    Keyword &k = t.aKeywordTable[i];
    k.zName = aKeywordDefs[i].zName;
    k.tokenType = aKeywordDefs[i].tokenType;
    k.len = (u8)name.size();
    int h = hashNoCase(name) % nKeywordHash;
    k.iNext = t.aiHashTable[h];
    t.aiHashTable[h] = (u8)(i + 1);
  }
  return t;
}
constexpr KeywordTable keywords = buildKeywordTable();

/* 1 for the characters of identifiers among the 7-bit ones. */
constexpr std::array<u8, 128> isIdCharTable = [] {
  std::array<u8, 128> t{};
  for (int c = '0'; c <= '9'; c++) t[c] = 1;
  for (int c = 'A'; c <= 'Z'; c++) t[c] = 1;
  for (int c = 'a'; c <= 'z'; c++) t[c] = 1;
  t['_'] = 1;
  return t;
}();

inline bool isIdChar(unsigned char c) { return c >= 0x80 || isIdCharTable[c]; }
inline bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

int tarvikKeywordCode(const char *z, int n) {
  int h = tarvikHashNoCase(z, n) % nKeywordHash;
  for (int i = keywords.aiHashTable[h]; i; i = keywords.aKeywordTable[i - 1].iNext) {
    const Keyword &k = keywords.aKeywordTable[i - 1];
    if (k.len == n && tarvikStrNICmp(k.zName, z, n) == 0) return k.tokenType;
  }
  return TK_ID;
}

#ifdef TARVIK_TEST
/* For the tests: the listed keywords, one at a time. */
const char *tarvikTestKeywordName(int i) {
  return i >= 0 && i < nKeyword ? aKeywordDefs[i].zName : nullptr;
}
int tarvikTestKeywordHashOk() {
  for (int i = 0; i < nKeyword; i++) {
    const char *z = aKeywordDefs[i].zName;
    if (hashNoCase(z) != tarvikHashNoCase(z, (int)strlen(z))) return 0;
  }
  return 1;
}
#endif

int tarvikGetToken(const unsigned char *z, int *tokenType) {
  int i;
  switch (z[0]) {
    case ' ':
    case '\t':
    case '\n':
    case '\f':
    case '\r':
      for (i = 1; z[i] == ' ' || z[i] == '\t' || z[i] == '\n' || z[i] == '\v' || z[i] == '\f' ||
                  z[i] == '\r';
           i++) {
      }
      *tokenType = TK_SPACE;
      return i;
    case '-':
      if (z[1] == '-') {
        for (i = 2; z[i] && z[i] != '\n'; i++) {
        }
        *tokenType = TK_COMMENT;
        return i;
      }
      *tokenType = TK_MINUS;
      return 1;
    case '(':
      *tokenType = TK_LP;
      return 1;
    case ')':
      *tokenType = TK_RP;
      return 1;
    case ';':
      *tokenType = TK_SEMI;
      return 1;
    case '+':
      *tokenType = TK_PLUS;
      return 1;
    case '*':
      *tokenType = TK_STAR;
      return 1;
    case '/':
      if (z[1] != '*' || z[2] == 0) {
        *tokenType = TK_SLASH;
        return 1;
      }
      for (i = 3; z[i] && (z[i] != '/' || z[i - 1] != '*'); i++) {
      }
      if (z[i]) i++;
      *tokenType = TK_COMMENT;
      return i;
    case '%':
      *tokenType = TK_REM;
      return 1;
    case '=':
      *tokenType = TK_EQ;
      return 1 + (z[1] == '=');
    case '<':
      if (z[1] == '=') {
        *tokenType = TK_LE;
        return 2;
      } else if (z[1] == '>') {
        *tokenType = TK_NE;
        return 2;
      } else if (z[1] == '<') {
        *tokenType = TK_LSHIFT;
        return 2;
      }
      *tokenType = TK_LT;
      return 1;
    case '>':
      if (z[1] == '=') {
        *tokenType = TK_GE;
        return 2;
      } else if (z[1] == '>') {
        *tokenType = TK_RSHIFT;
        return 2;
      }
      *tokenType = TK_GT;
      return 1;
    case '!':
      /* An illegal '!' takes the byte after it too, but never the NUL. */
      *tokenType = z[1] == '=' ? TK_NE : TK_ILLEGAL;
      return z[1] ? 2 : 1;
    case '|':
      if (z[1] == '|') {
        *tokenType = TK_CONCAT;
        return 2;
      }
      *tokenType = TK_BITOR;
      return 1;
    case ',':
      *tokenType = TK_COMMA;
      return 1;
    case '&':
      *tokenType = TK_BITAND;
      return 1;
    case '~':
      *tokenType = TK_BITNOT;
      return 1;
    case '\'':
    case '"': {
      /* A doubled quote stays inside the string.  A string without its
      ** closing quote is an illegal token, not a string running on. */
      int delim = z[0];
      for (i = 1; z[i]; i++) {
        if (z[i] == delim) {
          if (z[i + 1] == delim) {
            i++;
          } else {
            break;
          }
        }
      }
      if (z[i]) {
        *tokenType = TK_STRING;
        return i + 1;
      }
      *tokenType = TK_ILLEGAL;
      return i;
    }
    case '.':
      *tokenType = TK_DOT;
      return 1;
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      *tokenType = TK_INTEGER;
      for (i = 1; isDigit(z[i]); i++) {
      }
      if (z[i] == '.' && isDigit(z[i + 1])) {
        i += 2;
        while (isDigit(z[i])) i++;
        *tokenType = TK_FLOAT;
      }
      if ((z[i] == 'e' || z[i] == 'E') &&
          (isDigit(z[i + 1]) || ((z[i + 1] == '+' || z[i + 1] == '-') && isDigit(z[i + 2])))) {
        i += 2;
        while (isDigit(z[i])) i++;
        *tokenType = TK_FLOAT;
      }
      return i;
    case '[':
      for (i = 1; z[i] && z[i - 1] != ']'; i++) {
      }
      *tokenType = TK_ID;
      return i;
    case '?':
      *tokenType = TK_VARIABLE;
      return 1;
    default:
      if (!isIdChar(z[0])) break;
      for (i = 1; isIdChar(z[i]); i++) {
      }
      *tokenType = tarvikKeywordCode((const char *)z, i);
      return i;
  }
  *tokenType = TK_ILLEGAL;
  return 1;
}

int tarvikRunParser(Parse *pParse, const char *zSql, char **pzErrMsg) {
  tarvik *db = pParse->db;
  int nErr = 0;
  if (db) db->flags &= ~TARVIK_Interrupt;
  pParse->rc = TARVIK_OK;
  void *pEngine = tarvikParserAlloc(tarvikMalloc);
  if (pEngine == nullptr) {
    tarvikSetString(pzErrMsg, "out of memory", (char *)nullptr);
    return 1;
  }
  pParse->sLastToken.dyn = 0;
  pParse->zTail = zSql;
  int lastTokenParsed = -1;
  int i = 0;
  while (tarvik_malloc_failed == 0 && zSql[i] != 0) {
    int tokenType;
    pParse->sLastToken.z = &zSql[i];
    pParse->sLastToken.n = (unsigned)tarvikGetToken((const unsigned char *)&zSql[i], &tokenType);
    i += pParse->sLastToken.n;
    if (tokenType == TK_SPACE || tokenType == TK_COMMENT) {
      if (db && (db->flags & TARVIK_Interrupt)) {
        pParse->rc = TARVIK_INTERRUPT;
        tarvikSetString(pzErrMsg, "interrupt", (char *)nullptr);
        break;
      }
      continue;
    }
    if (tokenType == TK_ILLEGAL) {
      tarvikSetNString(pzErrMsg, "unrecognized token: \"", -1, pParse->sLastToken.z,
                       (int)pParse->sLastToken.n, "\"", 1, (char *)nullptr);
      nErr++;
      break;
    }
    if (tokenType == TK_SEMI) pParse->zTail = &zSql[i];
    tarvikParser(pEngine, tokenType, pParse->sLastToken, pParse);
    lastTokenParsed = tokenType;
    if (pParse->rc != TARVIK_OK) break;
  }
  if (zSql[i] == 0 && nErr == 0 && pParse->rc == TARVIK_OK) {
    if (lastTokenParsed != TK_SEMI) {
      tarvikParser(pEngine, TK_SEMI, pParse->sLastToken, pParse);
      pParse->zTail = &zSql[i];
    }
    tarvikParser(pEngine, 0, pParse->sLastToken, pParse);
  }
  tarvikParserFree(pEngine, tarvikFree);
  if (pParse->rc != TARVIK_OK && pParse->rc != TARVIK_DONE && pParse->zErrMsg == nullptr) {
    tarvikSetString(&pParse->zErrMsg, tarvik_error_string(pParse->rc), (char *)nullptr);
  }
  if (pParse->zErrMsg) {
    if (pzErrMsg && *pzErrMsg == nullptr) {
      *pzErrMsg = pParse->zErrMsg;
    } else {
      tarvikFree(pParse->zErrMsg);
    }
    pParse->zErrMsg = nullptr;
    if (!nErr) nErr++;
  }
  /* A program built for a statement with errors is never run. */
  if (pParse->pVdbe && pParse->nErr > 0) {
    tarvikVdbeDelete(pParse->pVdbe);
    pParse->pVdbe = nullptr;
  }
  if (pParse->pNewTable) {
    tarvikDeleteTable(db, pParse->pNewTable);
    pParse->pNewTable = nullptr;
  }
  if (pParse->pNewTrigger) {
    tarvikDeleteTrigger(pParse->pNewTrigger);
    pParse->pNewTrigger = nullptr;
  }
  if (nErr > 0 && (pParse->rc == TARVIK_OK || pParse->rc == TARVIK_DONE)) {
    pParse->rc = TARVIK_ERROR;
  }
  return nErr;
}

/* ---------------------------------------------------------------- statement completeness */

namespace {
enum CompleteClass { tkEXPLAIN, tkCREATE, tkTEMP, tkTRIGGER, tkEND, tkSEMI, tkWS, tkOTHER };

/* States: 0 start, 1 after EXPLAIN, 2 after CREATE [TEMP], 3 inside a
** statement, 4 inside a trigger, 5 after ';' in a trigger, 6 after "; END". */
constexpr u8 completeTrans[7][8] = {
    /*          EXPLAIN CREATE TEMP TRIGGER END SEMI WS OTHER */
    /* 0 */ {1, 2, 3, 3, 3, 0, 0, 3},
    /* 1 */ {3, 2, 3, 3, 3, 0, 1, 3},
    /* 2 */ {3, 3, 2, 4, 3, 0, 2, 3},
    /* 3 */ {3, 3, 3, 3, 3, 0, 3, 3},
    /* 4 */ {4, 4, 4, 4, 4, 5, 4, 4},
    /* 5 */ {4, 4, 4, 4, 6, 5, 5, 4},
    /* 6 */ {4, 4, 4, 4, 4, 0, 6, 4},
};

bool wordIs(const char *z, int n, const char *zWord) {
  return (int)strlen(zWord) == n && tarvikStrNICmp(z, zWord, n) == 0;
}
}  // namespace

extern "C" int tarvik_complete(const char *zSql) {
  u8 state = 0;
  const unsigned char *z = (const unsigned char *)zSql;
  while (*z) {
    CompleteClass token;
    switch (*z) {
      case ';':
        token = tkSEMI;
        break;
      case ' ':
      case '\r':
      case '\t':
      case '\n':
      case '\f':
        token = tkWS;
        break;
      case '/':
        if (z[1] != '*') {
          token = tkOTHER;
          break;
        }
        z += 2;
        while (z[0] && (z[0] != '*' || z[1] != '/')) z++;
        if (z[0] == 0) return 0;
        z++;
        token = tkWS;
        break;
      case '-':
        if (z[1] != '-') {
          token = tkOTHER;
          break;
        }
        while (*z && *z != '\n') z++;
        if (*z == 0) return state == 0;
        token = tkWS;
        break;
      case '[':
        z++;
        while (*z && *z != ']') z++;
        if (*z == 0) return 0;
        token = tkOTHER;
        break;
      case '"':
      case '\'': {
        int c = *z;
        z++;
        while (*z && *z != c) z++;
        if (*z == 0) return 0;
        token = tkOTHER;
        break;
      }
      default:
        if (isIdChar(*z)) {
          int n;
          for (n = 1; isIdChar(z[n]); n++) {
          }
          const char *w = (const char *)z;
          if (wordIs(w, n, "create")) {
            token = tkCREATE;
          } else if (wordIs(w, n, "trigger")) {
            token = tkTRIGGER;
          } else if (wordIs(w, n, "temp") || wordIs(w, n, "temporary")) {
            token = tkTEMP;
          } else if (wordIs(w, n, "end")) {
            token = tkEND;
          } else if (wordIs(w, n, "explain")) {
            token = tkEXPLAIN;
          } else {
            token = tkOTHER;
          }
          z += n - 1;
        } else {
          token = tkOTHER;
        }
        break;
    }
    state = completeTrans[state][token];
    z++;
  }
  return state == 0;
}
