#include "gen_recorder.h"

#include <cstring>

#include "genstub.h"
#include "parser.h"
#include "vdbe.h"

namespace tarviktest {

std::string tokenText(const Token *p) {
  if (p == nullptr || p->z == nullptr) return "-";
  return std::string(p->z, p->n);
}

std::string exprText(const Expr *p) {
  if (p == nullptr) return "null";
  std::string s = "(";
  s += tarvikParserTokenName(p->op);
  if (p->token.z) s += " " + tokenText(&p->token);
  if (p->op == TK_VARIABLE) s += " #" + std::to_string(p->iTable);
  if (p->op == TK_RAISE) s += " action=" + std::to_string(p->iColumn);
  if (p->pLeft || p->pRight) s += " " + exprText(p->pLeft);
  if (p->pRight) s += " " + exprText(p->pRight);
  if (p->pList) s += " " + exprListText(p->pList);
  if (p->pSelect) s += " {" + selectText(p->pSelect) + "}";
  return s + ")";
}

std::string exprListText(const ExprList *p) {
  if (p == nullptr) return "null";
  std::string s = "[";
  for (int i = 0; i < p->nExpr; i++) {
    if (i) s += ", ";
    s += exprText(p->a[i].pExpr);
    if (p->a[i].zName) s += std::string(" AS ") + p->a[i].zName;
    if (p->a[i].sortOrder) s += " so=" + std::to_string(p->a[i].sortOrder);
  }
  return s + "]";
}

std::string idListText(const IdList *p) {
  if (p == nullptr) return "null";
  std::string s = "(";
  for (int i = 0; i < p->nId; i++) {
    if (i) s += ", ";
    s += p->a[i].zName;
  }
  return s + ")";
}

std::string srcListText(const SrcList *p) {
  if (p == nullptr) return "null";
  std::string s = "<";
  for (int i = 0; i < p->nSrc; i++) {
    const auto &it = p->a[i];
    if (i) s += ", ";
    if (it.zDatabase) s += std::string(it.zDatabase) + ".";
    if (it.zName) s += it.zName;
    if (it.pSelect) s += "{" + selectText(it.pSelect) + "}";
    if (it.zAlias) s += std::string(" AS ") + it.zAlias;
    if (it.jointype) s += " jt=" + std::to_string(it.jointype);
    if (it.pOn) s += " ON " + exprText(it.pOn);
    if (it.pUsing) s += " USING " + idListText(it.pUsing);
  }
  return s + ">";
}

static const char *compoundName(int op) {
  switch (op) {
    case TK_UNION:
      return "UNION";
    case TK_ALL:
      return "UNION ALL";
    case TK_INTERSECT:
      return "INTERSECT";
    case TK_EXCEPT:
      return "EXCEPT";
  }
  return "?";
}

std::string selectText(const Select *p) {
  if (p == nullptr) return "null";
  std::string s;
  if (p->pPrior) s = selectText(p->pPrior) + " " + compoundName(p->op) + " ";
  s += "SELECT";
  if (p->isDistinct) s += " DISTINCT";
  s += " " + exprListText(p->pEList);
  s += " FROM " + srcListText(p->pSrc);
  if (p->pWhere) s += " WHERE " + exprText(p->pWhere);
  if (p->pGroupBy) s += " GROUP " + exprListText(p->pGroupBy);
  if (p->pHaving) s += " HAVING " + exprText(p->pHaving);
  if (p->pOrderBy) s += " ORDER " + exprListText(p->pOrderBy);
  if (p->nLimit != -1 || p->nOffset != 0) {
    s += " LIMIT " + std::to_string(p->nLimit) + " OFFSET " + std::to_string(p->nOffset);
  }
  return s;
}

std::string stepText(const TriggerStep *p) {
  if (p == nullptr) return "null";
  std::string s;
  for (; p; p = p->pNext) {
    if (!s.empty()) s += "; ";
    s += tarvikParserTokenName(p->op);
    if (p->target.z) s += " " + tokenText(&p->target);
    if (p->orconf != OE_Default) s += " or=" + std::to_string(p->orconf);
    if (p->pIdList) s += " " + idListText(p->pIdList);
    if (p->pExprList) s += " " + exprListText(p->pExprList);
    if (p->pWhere) s += " WHERE " + exprText(p->pWhere);
    if (p->pSelect) s += " {" + selectText(p->pSelect) + "}";
  }
  return s;
}

static std::string argText(const TarvikGenArg &a) {
  switch (a.kind) {
    case 'i':
      return std::to_string(a.i);
    case 't':
      return a.p && ((const Token *)a.p)->z ? "`" + tokenText((const Token *)a.p) + "`" : "-";
    case 'e':
      return exprText((const Expr *)a.p);
    case 'E':
      return exprListText((const ExprList *)a.p);
    case 's':
      return srcListText((const SrcList *)a.p);
    case 'd':
      return idListText((const IdList *)a.p);
    case 'S':
      return a.p ? "{" + selectText((const Select *)a.p) + "}" : "null";
    case 'T':
      return "[" + stepText((const TriggerStep *)a.p) + "]";
  }
  return "?";
}

namespace {
ParseRun *gRun;
Parse *gParse;
const std::function<void(Parse *, const std::string &)> *gOnCall;

void hook(const char *zName, const TarvikGenArg *aArg, int nArg) {
  std::string s = zName;
  s += "(";
  for (int i = 0; i < nArg; i++) {
    if (i) s += ", ";
    s += argText(aArg[i]);
  }
  s += ")";
  gRun->calls.push_back(s);
  if (strcmp(zName, "Select") == 0 && gRun->resultSpans.empty() && nArg > 0 && aArg[0].p) {
    const ExprList *pList = ((const Select *)aArg[0].p)->pEList;
    for (int i = 0; pList && i < pList->nExpr; i++) {
      const Expr *e = pList->a[i].pExpr;
      gRun->resultSpans.push_back(e ? tokenText(&e->span) : "null");
    }
  }
  if (gOnCall && *gOnCall) (*gOnCall)(gParse, s);
}
}  // namespace

ParseRun runParser(const char *zSql,
                   const std::function<void(Parse *, const std::string &)> &onCall) {
  ParseRun run;
  tarvik db;
  memset(&db, 0, sizeof(db));
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &db;
  gRun = &run;
  gParse = &parse;
  gOnCall = &onCall;
  tarvikTestGenHook = hook;
  char *zErr = nullptr;
  run.nErr = tarvikRunParser(&parse, zSql, &zErr);
  tarvikTestGenHook = nullptr;
  gRun = nullptr;
  run.rc = parse.rc;
  run.parseErrs = parse.nErr;
  if (zErr) {
    run.hadErrMsg = true;
    run.errMsg = zErr;
    tarvikFree(zErr);
  }
  if (parse.zTail) run.tailOffset = parse.zTail - zSql;
  if (parse.pVdbe) {
    run.programKept = true;
    tarvikVdbeDelete(parse.pVdbe);
  }
  return run;
}

std::string joined(const std::vector<std::string> &calls) {
  std::string s;
  for (const auto &c : calls) {
    if (!s.empty()) s += "\n";
    s += c;
  }
  return s;
}

}  // namespace tarviktest
