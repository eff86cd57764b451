/*
** The push-parser driver.  It runs the LALR(1) tables that tools/lalrgen
** generates from parse.y: each token handed in is shifted, or causes
** reductions whose actions build parse values and call the code generators.
**
** Ownership: every value on the stack is owned by the stack until a
** reduction hands it to its action.  Values popped without a reduction
** (error recovery, overflow, freeing the parser) go to yy_destructor.
*/
#include "parse_gen.h"
#include "parser.h"

namespace {

constexpr int YYSTACKDEPTH = 100;

struct yyParser {
  int yyidx;    /* top of the stack; -1 when empty */
  int yyerrcnt; /* shifts left before another syntax error is reported */
  Parse *pParse;
  Token curToken; /* the token being pushed, named by an overflow message */
  yyStackEntry yystack[YYSTACKDEPTH];
};

FILE *yyTraceFILE = nullptr;
const char *yyTracePrompt = nullptr;

#ifdef TARVIK_TEST
unsigned yyRuleCounts[YYNRULE];
#endif

const char *symbolName(int code) {
  return code >= 0 && code < YYNSYMBOL ? yyTokenName[code] : "Unknown";
}

int findShiftAction(yyParser *p, int iLookAhead) {
  int stateno = p->yystack[p->yyidx].stateno;
  int i = yy_shift_ofst[stateno];
  if (i == YY_SHIFT_USE_DFLT) return yy_default[stateno];
  if (iLookAhead == YYNOCODE) return YY_NO_ACTION;
  i += iLookAhead;
  if (i < 0 || i >= YY_SZ_ACTTAB || yy_lookahead[i] != iLookAhead) {
    int iFallback;
    if (iLookAhead < YYNTERMINAL && (iFallback = yyFallback[iLookAhead]) != 0) {
      if (yyTraceFILE) {
        fprintf(yyTraceFILE, "%sFALLBACK %s => %s\n", yyTracePrompt, yyTokenName[iLookAhead],
                yyTokenName[iFallback]);
      }
      return findShiftAction(p, iFallback);
    }
    return yy_default[stateno];
  }
  return yy_action[i];
}

int findReduceAction(int stateno, int iLookAhead) {
  int i = yy_reduce_ofst[stateno];
  if (i == YY_REDUCE_USE_DFLT) return yy_default[stateno];
  if (iLookAhead == YYNOCODE) return YY_NO_ACTION;
  i += iLookAhead;
  if (i < 0 || i >= YY_SZ_ACTTAB || yy_lookahead[i] != iLookAhead) return yy_default[stateno];
  return yy_action[i];
}

void popStack(yyParser *p) {
  yyStackEntry *e = &p->yystack[p->yyidx];
  if (yyTraceFILE) fprintf(yyTraceFILE, "%sPopping %s\n", yyTracePrompt, symbolName(e->major));
  yy_destructor(e->major, &e->minor);
  p->yyidx--;
}

/* Records the syntax error at `tok`, unless a message is already held. */
void syntaxError(Parse *pParse, const Token &tok) {
  if (pParse->zErrMsg != nullptr) return;
  if (tok.z == nullptr || tok.z[0] == 0) {
    tarvikErrorMsg(pParse, "incomplete SQL statement");
  } else {
    tarvikErrorMsg(pParse, "near \"%T\": syntax error", &tok);
  }
}

/* Pushes a state.  Past the stack's depth the whole stack and the value are
** destroyed, and the statement fails with a syntax error at the current
** token: a silent restart would run the rest of the statement (the rest of
** a trigger body, say) as statements of its own. */
bool yyShift(yyParser *p, int yyNewState, int yyMajor, YYMINORTYPE *yypMinor) {
  if (p->yyidx + 1 >= YYSTACKDEPTH) {
    if (yyTraceFILE) fprintf(yyTraceFILE, "%sStack Overflow!\n", yyTracePrompt);
    yy_destructor(yyMajor, yypMinor);
    while (p->yyidx >= 0) popStack(p);
    Parse *pParse = p->pParse;
    if (pParse->zErrMsg == nullptr) {
      syntaxError(pParse, p->curToken);
    } else {
      pParse->nErr++;
    }
    return false;
  }
  p->yyidx++;
  yyStackEntry *e = &p->yystack[p->yyidx];
  e->stateno = yyNewState;
  e->major = yyMajor;
  e->minor = *yypMinor;
  if (yyTraceFILE) fprintf(yyTraceFILE, "%sShift %d\n", yyTracePrompt, yyNewState);
  return true;
}

void yyAccept(yyParser *p) {
  if (yyTraceFILE) fprintf(yyTraceFILE, "%sAccept!\n", yyTracePrompt);
  while (p->yyidx >= 0) popStack(p);
}

void yyReduce(yyParser *p, int yyruleno) {
  yyStackEntry *yymsp = &p->yystack[p->yyidx];
  if (yyTraceFILE) fprintf(yyTraceFILE, "%sReduce [%s].\n", yyTracePrompt, yyRuleName[yyruleno]);
#ifdef TARVIK_TEST
  yyRuleCounts[yyruleno]++;
#endif
  YYMINORTYPE yygotominor;
  memset(&yygotominor, 0, sizeof(yygotominor));
  yy_reduce_action(yyruleno, yymsp, &yygotominor, p->pParse);
  int yygoto = yyRuleInfo[yyruleno].lhs;
  p->yyidx -= yyRuleInfo[yyruleno].nrhs;
  int yyact = findReduceAction(p->yystack[p->yyidx].stateno, yygoto);
  if (yyact < YYNSTATE) {
    yyShift(p, yyact, yygoto, &yygotominor);
  } else {
    tvAssert(yyact == YY_ACCEPT_ACTION);
    yyAccept(p);
  }
}

}  // namespace

void *tarvikParserAlloc(void *(*mallocProc)(int)) {
  yyParser *p = (yyParser *)mallocProc((int)sizeof(yyParser));
  if (p) {
    p->yyidx = -1;
    p->yyerrcnt = -1;
  }
  return p;
}

void tarvikParserFree(void *pv, void (*freeProc)(void *)) {
  yyParser *p = (yyParser *)pv;
  if (p == nullptr) return;
  while (p->yyidx >= 0) popStack(p);
  freeProc(p);
}

void tarvikParserTrace(FILE *stream, const char *zPrompt) {
  yyTraceFILE = stream;
  yyTracePrompt = zPrompt;
  if (yyTraceFILE == nullptr || yyTracePrompt == nullptr) {
    yyTraceFILE = nullptr;
    yyTracePrompt = nullptr;
  }
}

const char *tarvikParserTokenName(int code) {
  return code >= 1 && code < YYNSYMBOL ? yyTokenName[code] : "Unknown";
}

void tarvikParser(void *pv, int yymajor, Token yyminor, Parse *pParse) {
  yyParser *p = (yyParser *)pv;
  if (p->yyidx < 0) {
    if (yymajor == 0) return;
    p->yyidx = 0;
    p->yyerrcnt = -1;
    p->yystack[0].stateno = 0;
    p->yystack[0].major = 0;
  }
  YYMINORTYPE yyminorunion;
  memset(&yyminorunion, 0, sizeof(yyminorunion));
  yyminorunion.yy0 = yyminor;
  bool yyendofinput = yymajor == 0;
  bool yyerrorhit = false;
  p->pParse = pParse;
  p->curToken = yyminor;
  if (yyTraceFILE) fprintf(yyTraceFILE, "%sInput %s\n", yyTracePrompt, symbolName(yymajor));
  do {
    int yyact = findShiftAction(p, yymajor);
    if (yyact < YYNSTATE) {
      if (!yyShift(p, yyact, yymajor, &yyminorunion)) break;
      p->yyerrcnt--;
      yymajor = yyendofinput && p->yyidx >= 0 ? 0 : YYNOCODE;
    } else if (yyact < YYNSTATE + YYNRULE) {
      yyReduce(p, yyact - YYNSTATE);
    } else if (yyact == YY_ERROR_ACTION) {
      if (yyTraceFILE) fprintf(yyTraceFILE, "%sSyntax Error!\n", yyTracePrompt);
      if (p->yyerrcnt < 0) syntaxError(pParse, yyminor);
      int yymx = p->yystack[p->yyidx].major;
      if (yymx == YYERRORSYMBOL || yyerrorhit) {
        if (yyTraceFILE) {
          fprintf(yyTraceFILE, "%sDiscard input token %s\n", yyTracePrompt, symbolName(yymajor));
        }
        yy_destructor(yymajor, &yyminorunion);
        yymajor = YYNOCODE;
      } else {
        /* Pop to a state that can shift the error symbol.  No rule of this
        ** grammar uses it, so the whole statement is abandoned. */
        while (p->yyidx >= 0 && yymx != YYERRORSYMBOL &&
               (yyact = findShiftAction(p, YYERRORSYMBOL)) >= YYNSTATE) {
          popStack(p);
          if (p->yyidx >= 0) yymx = p->yystack[p->yyidx].major;
        }
        if (p->yyidx < 0 || yymajor == 0) {
          yy_destructor(yymajor, &yyminorunion);
          if (yyTraceFILE) fprintf(yyTraceFILE, "%sFail!\n", yyTracePrompt);
          while (p->yyidx >= 0) popStack(p);
          yymajor = YYNOCODE;
        } else if (yymx != YYERRORSYMBOL) {
          YYMINORTYPE u0;
          memset(&u0, 0, sizeof(u0));
          yyShift(p, yyact, YYERRORSYMBOL, &u0);
        }
      }
      p->yyerrcnt = 3;
      yyerrorhit = true;
    } else {
      yyAccept(p);
      yymajor = YYNOCODE;
    }
  } while (yymajor != YYNOCODE && p->yyidx >= 0);
}

#ifdef TARVIK_TEST
const unsigned *tarvikParserRuleCounts() { return yyRuleCounts; }
int tarvikParserRuleCount() { return YYNRULE; }
const char *tarvikParserRuleText(int iRule) {
  return iRule >= 0 && iRule < YYNRULE ? yyRuleName[iRule] : nullptr;
}
#endif
