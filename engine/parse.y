// The SQL grammar.  tools/lalrgen reads this file at build time and writes
// the parse tables, the reduction code and the token codes (parse.h); the
// push-parser driver that runs them is engine/parse.cpp.
//
// Notation: "lhs(A) ::= X(B) Y(C). [PREC] { action }".  In an action the
// alias of the left-hand side is its new value and the alias of a right-hand
// symbol is that symbol's value; pParse is the parse context.  A right-hand
// value that has a destructor and no alias is destroyed after the action, so
// every tree is either used or freed.  Tokens are spans of the SQL text and
// need no destructor.

%name tarvikParser
%token_type {Token}
%extra_argument {Parse *pParse}

%include {
#include <climits>

#include "tarvikInt.h"

namespace {

// The span of an expression, or an empty token when the tree is missing
// (after an allocation failure the grammar still reduces with null values).
// Actions copy operand spans first: a constructor that fails frees its
// operands.
const Token *spanOf(const Expr *p) {
  static const Token empty = {nullptr, 0, 0};
  return p ? &p->span : &empty;
}

// A decimal integer from SQL text, optionally negated, saturated to the
// range of int: "LIMIT 4294967296" means a very large limit, never a wrapped
// small or negative one.
int saturatedInt(const Token &t, bool negate) {
  i64 v = 0;
  for (unsigned i = 0; i < t.n; i++) {
    unsigned char c = (unsigned char)t.z[i];
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
    if (v > (i64)INT_MAX + 1) v = (i64)INT_MAX + 1;
  }
  if (negate) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return (int)v;
}

// Appends the step Y to the list X (whose head remembers its last step).
TriggerStep *appendStep(TriggerStep *pList, TriggerStep *pStep) {
  if (pStep == nullptr) return pList;
  pStep->pLast = pStep;
  if (pList == nullptr) return pStep;
  pList->pLast->pNext = pStep;
  pList->pLast = pStep;
  pStep->pLast = nullptr;
  return pList;
}

}  // namespace
}

%header {
// (value, mask) of one REFERENCES action: the action byte and the bits it keeps.
struct ParseRefArg {
  int value;
  int mask;
};
// LIMIT and OFFSET.
struct ParseLimit {
  int limit;
  int offset;
};
// The event of a trigger and the columns of UPDATE OF.
struct ParseTrigEvent {
  int a;
  IdList *b;
};
}

// The terminals, numbered from 1 in this order ($, the end of input, is 0).
// The tokenizer, the parser and the expression trees share these codes.
%tokens
  END_OF_FILE ILLEGAL SPACE UNCLOSED_STRING COMMENT FUNCTION COLUMN AGG_FUNCTION SEMI
  EXPLAIN BEGIN TRANSACTION COMMIT END ROLLBACK CREATE TABLE TEMP LP RP AS COMMA ID
  ABORT AFTER ASC ATTACH BEFORE CASCADE CLUSTER CONFLICT COPY DATABASE DEFERRED
  DELIMITERS DESC DETACH EACH FAIL FOR GLOB IGNORE IMMEDIATE INITIALLY INSTEAD LIKE
  MATCH KEY OF OFFSET PRAGMA RAISE REPLACE RESTRICT ROW STATEMENT TRIGGER VACUUM VIEW
  OR AND NOT EQ NE ISNULL NOTNULL IS BETWEEN IN GT GE LT LE BITAND BITOR LSHIFT RSHIFT
  PLUS MINUS STAR SLASH REM CONCAT UMINUS UPLUS BITNOT STRING JOIN_KW INTEGER
  CONSTRAINT DEFAULT FLOAT NULL PRIMARY UNIQUE CHECK REFERENCES COLLATE ON DELETE
  UPDATE INSERT SET DEFERRABLE FOREIGN DROP UNION ALL INTERSECT EXCEPT SELECT
  DISTINCT DOT FROM JOIN USING ORDER BY GROUP HAVING LIMIT WHERE INTO VALUES VARIABLE
  CASE WHEN THEN ELSE INDEX.

// Keywords that are taken as identifiers wherever they cannot be themselves.
%fallback ID
  EXPLAIN BEGIN END TEMP ABORT AFTER ASC ATTACH BEFORE CASCADE CLUSTER CONFLICT COPY
  DATABASE DEFERRED DELIMITERS DESC DETACH EACH FAIL FOR GLOB IGNORE IMMEDIATE
  INITIALLY INSTEAD LIKE MATCH KEY OF OFFSET PRAGMA RAISE REPLACE RESTRICT ROW
  STATEMENT TRIGGER VACUUM VIEW.

// Operator precedence, loosest first.
%left OR.
%left AND.
%right NOT.
%left EQ NE ISNULL NOTNULL IS LIKE GLOB BETWEEN IN.
%left GT GE LT LE.
%left BITAND BITOR LSHIFT RSHIFT.
%left PLUS MINUS.
%left STAR SLASH REM.
%left CONCAT.
%right UMINUS UPLUS BITNOT.

// ---------------------------------------------------------------- input, EXPLAIN, transactions

input ::= cmdlist.
cmdlist ::= cmdlist ecmd.
cmdlist ::= ecmd.
ecmd ::= explain cmdx SEMI.
ecmd ::= SEMI.
cmdx ::= cmd. { tarvikExec(pParse); }
explain ::= EXPLAIN. { tarvikBeginParse(pParse, 1); }
explain ::= . { tarvikBeginParse(pParse, 0); }

cmd ::= BEGIN trans_opt onconf(R). { tarvikBeginTransaction(pParse, R); }
trans_opt ::= .
trans_opt ::= TRANSACTION.
trans_opt ::= TRANSACTION nm.
cmd ::= COMMIT trans_opt. { tarvikCommitTransaction(pParse); }
cmd ::= END trans_opt. { tarvikCommitTransaction(pParse); }
cmd ::= ROLLBACK trans_opt. { tarvikRollbackTransaction(pParse); }

// ---------------------------------------------------------------- CREATE TABLE

cmd ::= create_table create_table_args.
create_table ::= CREATE(X) temp(T) TABLE nm(Y). { tarvikStartTable(pParse, &X, &Y, T, 0); }
%type temp {int}
temp(A) ::= TEMP. { A = 1; }
temp(A) ::= . { A = 0; }
create_table_args ::= LP columnlist conslist_opt RP(X). { tarvikEndTable(pParse, &X, 0); }
create_table_args ::= AS select(S). {
  tarvikEndTable(pParse, 0, S);
  tarvikSelectDelete(S);
}
columnlist ::= columnlist COMMA column.
columnlist ::= column.

column ::= columnid type carglist.
columnid ::= nm(X). { tarvikAddColumn(pParse, &X); }

// Names.  STRING is accepted wherever a name is, so names may be quoted.
%type id {Token}
id(A) ::= ID(X). { A = X; }
%type ids {Token}
ids(A) ::= ID(X). { A = X; }
ids(A) ::= STRING(X). { A = X; }
%type nm {Token}
nm(A) ::= ID(X). { A = X; }
nm(A) ::= STRING(X). { A = X; }
nm(A) ::= JOIN_KW(X). { A = X; }

// The recorded type runs from the first word through the closing
// parenthesis of a size, or is the first word alone.
type ::= .
type ::= typename(X). { tarvikAddColumnType(pParse, &X, &X); }
type ::= typename(X) LP signed RP(Y). { tarvikAddColumnType(pParse, &X, &Y); }
type ::= typename(X) LP signed COMMA signed RP(Y). { tarvikAddColumnType(pParse, &X, &Y); }
%type typename {Token}
typename(A) ::= ids(X). { A = X; }
typename(A) ::= typename(X) ids. { A = X; }
%type signed {int}
signed(A) ::= INTEGER(X). { A = saturatedInt(X, false); }
signed(A) ::= PLUS INTEGER(X). { A = saturatedInt(X, false); }
signed(A) ::= MINUS INTEGER(X). { A = saturatedInt(X, true); }
carglist ::= carglist carg.
carglist ::= .
carg ::= CONSTRAINT nm ccons.
carg ::= ccons.
carg ::= DEFAULT STRING(X). { tarvikAddDefaultValue(pParse, &X, 0); }
carg ::= DEFAULT ID(X). { tarvikAddDefaultValue(pParse, &X, 0); }
carg ::= DEFAULT INTEGER(X). { tarvikAddDefaultValue(pParse, &X, 0); }
carg ::= DEFAULT PLUS INTEGER(X). { tarvikAddDefaultValue(pParse, &X, 0); }
carg ::= DEFAULT MINUS INTEGER(X). { tarvikAddDefaultValue(pParse, &X, 1); }
carg ::= DEFAULT FLOAT(X). { tarvikAddDefaultValue(pParse, &X, 0); }
carg ::= DEFAULT PLUS FLOAT(X). { tarvikAddDefaultValue(pParse, &X, 0); }
carg ::= DEFAULT MINUS FLOAT(X). { tarvikAddDefaultValue(pParse, &X, 1); }
carg ::= DEFAULT NULL.

// Column constraints.
ccons ::= NULL onconf.
ccons ::= NOT NULL onconf(R). { tarvikAddNotNull(pParse, R); }
ccons ::= PRIMARY KEY sortorder onconf(R). { tarvikAddPrimaryKey(pParse, 0, R); }
ccons ::= UNIQUE onconf(R). { tarvikCreateIndex(pParse, 0, 0, 0, R, 0, 0); }
ccons ::= CHECK LP expr RP onconf.
ccons ::= REFERENCES nm(T) idxlist_opt(TA) refargs(P). {
  tarvikCreateForeignKey(pParse, 0, &T, TA, P);
}
ccons ::= defer_subclause(D). { tarvikDeferForeignKey(pParse, D); }
ccons ::= COLLATE id(C). { tarvikAddCollateType(pParse, tarvikCollateType(C.z, C.n)); }

// Foreign-key actions: ON DELETE in bits 0-7, ON UPDATE in 8-15, ON INSERT
// in 16-23, RESTRICT by default.
%type refargs {int}
refargs(A) ::= . { A = OE_Restrict * 0x010101; }
refargs(A) ::= refargs(X) refarg(Y). { A = (X & Y.mask) | Y.value; }
%type refarg {ParseRefArg}
refarg(A) ::= MATCH nm. { A.value = 0; A.mask = 0xffffff; }
refarg(A) ::= ON DELETE refact(X). { A.value = X; A.mask = 0xffff00; }
refarg(A) ::= ON UPDATE refact(X). { A.value = X << 8; A.mask = 0xff00ff; }
refarg(A) ::= ON INSERT refact(X). { A.value = X << 16; A.mask = 0x00ffff; }
%type refact {int}
refact(A) ::= SET NULL. { A = OE_SetNull; }
refact(A) ::= SET DEFAULT. { A = OE_SetDflt; }
refact(A) ::= CASCADE. { A = OE_Cascade; }
refact(A) ::= RESTRICT. { A = OE_Restrict; }
%type defer_subclause {int}
defer_subclause(A) ::= NOT DEFERRABLE init_deferred_pred_opt(X). { A = X; }
defer_subclause(A) ::= DEFERRABLE init_deferred_pred_opt(X). { A = X; }
%type init_deferred_pred_opt {int}
init_deferred_pred_opt(A) ::= . { A = 0; }
init_deferred_pred_opt(A) ::= INITIALLY DEFERRED. { A = 1; }
init_deferred_pred_opt(A) ::= INITIALLY IMMEDIATE. { A = 0; }

// Table constraints.
conslist_opt ::= .
conslist_opt ::= COMMA conslist.
conslist ::= conslist COMMA tcons.
conslist ::= conslist tcons.
conslist ::= tcons.
tcons ::= CONSTRAINT nm.
tcons ::= PRIMARY KEY LP idxlist(X) RP onconf(R). { tarvikAddPrimaryKey(pParse, X, R); }
tcons ::= UNIQUE LP idxlist(X) RP onconf(R). { tarvikCreateIndex(pParse, 0, 0, X, R, 0, 0); }
tcons ::= CHECK expr onconf.
tcons ::= FOREIGN KEY LP idxlist(FA) RP REFERENCES nm(T) idxlist_opt(TA) refargs(R) defer_subclause_opt(D). {
  tarvikCreateForeignKey(pParse, FA, &T, TA, R);
  tarvikDeferForeignKey(pParse, D);
}
%type defer_subclause_opt {int}
defer_subclause_opt(A) ::= . { A = 0; }
defer_subclause_opt(A) ::= defer_subclause(X). { A = X; }

// Conflict clauses.
%type onconf {int}
%type orconf {int}
%type resolvetype {int}
onconf(A) ::= . { A = OE_Default; }
onconf(A) ::= ON CONFLICT resolvetype(X). { A = X; }
orconf(A) ::= . { A = OE_Default; }
orconf(A) ::= OR resolvetype(X). { A = X; }
resolvetype(A) ::= ROLLBACK. { A = OE_Rollback; }
resolvetype(A) ::= ABORT. { A = OE_Abort; }
resolvetype(A) ::= FAIL. { A = OE_Fail; }
resolvetype(A) ::= IGNORE. { A = OE_Ignore; }
resolvetype(A) ::= REPLACE. { A = OE_Replace; }

// ---------------------------------------------------------------- DROP TABLE, views

cmd ::= DROP TABLE nm(X). { tarvikDropTable(pParse, &X, 0); }
cmd ::= CREATE(X) temp(T) VIEW nm(Y) AS select(S). { tarvikCreateView(pParse, &X, &Y, S, T); }
cmd ::= DROP VIEW nm(X). { tarvikDropTable(pParse, &X, 1); }

// ---------------------------------------------------------------- SELECT

cmd ::= select(X). {
  tarvikSelect(pParse, X, SRT_Callback, 0, 0, 0, 0);
  tarvikSelectDelete(X);
}

%type select {Select*}
%destructor select {tarvikSelectDelete($$);}
%type oneselect {Select*}
%destructor oneselect {tarvikSelectDelete($$);}

select(A) ::= oneselect(X). { A = X; }
select(A) ::= select(X) multiselect_op(Y) oneselect(Z). {
  if (Z) {
    Z->op = (u8)Y;
    Z->pPrior = X;
  } else {
    tarvikSelectDelete(X);
  }
  A = Z;
}
%type multiselect_op {int}
multiselect_op(A) ::= UNION. { A = TK_UNION; }
multiselect_op(A) ::= UNION ALL. { A = TK_ALL; }
multiselect_op(A) ::= INTERSECT. { A = TK_INTERSECT; }
multiselect_op(A) ::= EXCEPT. { A = TK_EXCEPT; }
oneselect(A) ::= SELECT distinct(D) selcollist(W) from(X) where_opt(Y) groupby_opt(P) having_opt(Q) orderby_opt(Z) limit_opt(L). {
  A = tarvikSelectNew(W, X, Y, P, Q, Z, D, L.limit, L.offset);
}

%type distinct {int}
distinct(A) ::= DISTINCT. { A = 1; }
distinct(A) ::= ALL. { A = 0; }
distinct(A) ::= . { A = 0; }

// The result columns.  sclp is the list so far, followed by a comma.
%type selcollist {ExprList*}
%destructor selcollist {tarvikExprListDelete($$);}
%type sclp {ExprList*}
%destructor sclp {tarvikExprListDelete($$);}
sclp(A) ::= selcollist(X) COMMA. { A = X; }
sclp(A) ::= . { A = 0; }
selcollist(A) ::= sclp(P) expr(X) as(Y). { A = tarvikExprListAppend(P, X, Y.n > 0 ? &Y : 0); }
selcollist(A) ::= sclp(P) STAR. { A = tarvikExprListAppend(P, tarvikExpr(TK_ALL, 0, 0, 0), 0); }
selcollist(A) ::= sclp(P) nm(X) DOT STAR. {
  Expr *pRight = tarvikExpr(TK_ALL, 0, 0, 0);
  Expr *pLeft = tarvikExpr(TK_ID, 0, 0, &X);
  A = tarvikExprListAppend(P, tarvikExpr(TK_DOT, pLeft, pRight, 0), 0);
}

%type as {Token}
as(X) ::= AS nm(Y). { X = Y; }
as(X) ::= ids(Y). { X = Y; }
as(X) ::= . { X.z = 0; X.dyn = 0; X.n = 0; }

%type seltablist {SrcList*}
%destructor seltablist {tarvikSrcListDelete($$);}
%type stl_prefix {SrcList*}
%destructor stl_prefix {tarvikSrcListDelete($$);}
%type from {SrcList*}
%destructor from {tarvikSrcListDelete($$);}

from(A) ::= . {
  A = (SrcList *)tarvikMalloc(sizeof(*A));
  if (A) A->nAlloc = 1;
}
from(A) ::= FROM seltablist(X). { A = X; }
stl_prefix(A) ::= seltablist(X) joinop(Y). {
  A = X;
  if (A && A->nSrc > 0) A->a[A->nSrc - 1].jointype = Y;
}
stl_prefix(A) ::= . { A = 0; }
// ON and USING belong to the join with the item before the new one; on the
// first item of a FROM clause they have nowhere to go and are dropped.
seltablist(A) ::= stl_prefix(X) nm(Y) dbnm(D) as(Z) on_opt(N) using_opt(U). {
  A = tarvikSrcListAppend(X, &Y, &D);
  if (Z.n) tarvikSrcListAddAlias(A, &Z);
  if (N) {
    if (A && A->nSrc > 1) {
      A->a[A->nSrc - 2].pOn = N;
    } else {
      tarvikExprDelete(N);
    }
  }
  if (U) {
    if (A && A->nSrc > 1) {
      A->a[A->nSrc - 2].pUsing = U;
    } else {
      tarvikIdListDelete(U);
    }
  }
}
seltablist(A) ::= stl_prefix(X) LP seltablist_paren(S) RP as(Z) on_opt(N) using_opt(U). {
  A = tarvikSrcListAppend(X, 0, 0);
  if (A && A->nSrc > 0) {
    A->a[A->nSrc - 1].pSelect = S;
  } else {
    tarvikSelectDelete(S);
  }
  if (Z.n) tarvikSrcListAddAlias(A, &Z);
  if (N) {
    if (A && A->nSrc > 1) {
      A->a[A->nSrc - 2].pOn = N;
    } else {
      tarvikExprDelete(N);
    }
  }
  if (U) {
    if (A && A->nSrc > 1) {
      A->a[A->nSrc - 2].pUsing = U;
    } else {
      tarvikIdListDelete(U);
    }
  }
}

%type seltablist_paren {Select*}
%destructor seltablist_paren {tarvikSelectDelete($$);}
seltablist_paren(A) ::= select(S). { A = S; }
seltablist_paren(A) ::= seltablist(F). { A = tarvikSelectNew(0, F, 0, 0, 0, 0, 0, -1, 0); }

%type dbnm {Token}
dbnm(A) ::= . { A.z = 0; A.dyn = 0; A.n = 0; }
dbnm(A) ::= DOT nm(X). { A = X; }

%type joinop {int}
joinop(X) ::= COMMA. { X = JT_INNER; }
joinop(X) ::= JOIN. { X = JT_INNER; }
joinop(X) ::= JOIN_KW(A) JOIN. { X = tarvikJoinType(pParse, &A, 0, 0); }
joinop(X) ::= JOIN_KW(A) nm(B) JOIN. { X = tarvikJoinType(pParse, &A, &B, 0); }
joinop(X) ::= JOIN_KW(A) nm(B) nm(C) JOIN. { X = tarvikJoinType(pParse, &A, &B, &C); }

%type on_opt {Expr*}
%destructor on_opt {tarvikExprDelete($$);}
on_opt(N) ::= ON expr(E). { N = E; }
on_opt(N) ::= . { N = 0; }

%type using_opt {IdList*}
%destructor using_opt {tarvikIdListDelete($$);}
using_opt(U) ::= USING LP idxlist(L) RP. { U = L; }
using_opt(U) ::= . { U = 0; }

%type orderby_opt {ExprList*}
%destructor orderby_opt {tarvikExprListDelete($$);}
%type sortlist {ExprList*}
%destructor sortlist {tarvikExprListDelete($$);}
%type sortitem {Expr*}
%destructor sortitem {tarvikExprDelete($$);}

orderby_opt(A) ::= . { A = 0; }
orderby_opt(A) ::= ORDER BY sortlist(X). { A = X; }
// Each item's sortOrder is its collation class plus its direction.
sortlist(A) ::= sortlist(X) COMMA sortitem(Y) collate(C) sortorder(Z). {
  int nBefore = X ? X->nExpr : 0;
  A = tarvikExprListAppend(X, Y, 0);
  if (A && A->nExpr > nBefore) A->a[A->nExpr - 1].sortOrder = (u8)(C + Z);
}
sortlist(A) ::= sortitem(Y) collate(C) sortorder(Z). {
  A = tarvikExprListAppend(0, Y, 0);
  if (A && A->nExpr > 0) A->a[0].sortOrder = (u8)(C + Z);
}
sortitem(A) ::= expr(X). { A = X; }

%type sortorder {int}
%type collate {int}
sortorder(A) ::= ASC. { A = TARVIK_SO_ASC; }
sortorder(A) ::= DESC. { A = TARVIK_SO_DESC; }
sortorder(A) ::= . { A = TARVIK_SO_ASC; }
collate(C) ::= . { C = TARVIK_SO_UNK; }
collate(C) ::= COLLATE id(X). { C = tarvikCollateType(X.z, X.n); }

%type groupby_opt {ExprList*}
%destructor groupby_opt {tarvikExprListDelete($$);}
groupby_opt(A) ::= . { A = 0; }
groupby_opt(A) ::= GROUP BY exprlist(X). { A = X; }

%type having_opt {Expr*}
%destructor having_opt {tarvikExprDelete($$);}
having_opt(A) ::= . { A = 0; }
having_opt(A) ::= HAVING expr(X). { A = X; }

// "LIMIT a, b" means offset a, limit b.
%type limit_opt {ParseLimit}
limit_opt(A) ::= . { A.limit = -1; A.offset = 0; }
limit_opt(A) ::= LIMIT signed(X). { A.limit = X; A.offset = 0; }
limit_opt(A) ::= LIMIT signed(X) OFFSET signed(Y). { A.limit = X; A.offset = Y; }
limit_opt(A) ::= LIMIT signed(X) COMMA signed(Y). { A.limit = Y; A.offset = X; }

// ---------------------------------------------------------------- DELETE, UPDATE, INSERT

cmd ::= DELETE FROM nm(X) dbnm(D) where_opt(Y). {
  tarvikDeleteFrom(pParse, tarvikSrcListAppend(0, &X, &D), Y);
}

%type where_opt {Expr*}
%destructor where_opt {tarvikExprDelete($$);}
where_opt(A) ::= . { A = 0; }
where_opt(A) ::= WHERE expr(X). { A = X; }

%type setlist {ExprList*}
%destructor setlist {tarvikExprListDelete($$);}

cmd ::= UPDATE orconf(R) nm(X) dbnm(D) SET setlist(Y) where_opt(Z). {
  tarvikUpdate(pParse, tarvikSrcListAppend(0, &X, &D), Y, Z, R);
}
setlist(A) ::= setlist(Z) COMMA nm(X) EQ expr(Y). { A = tarvikExprListAppend(Z, Y, &X); }
setlist(A) ::= nm(X) EQ expr(Y). { A = tarvikExprListAppend(0, Y, &X); }

cmd ::= insert_cmd(R) INTO nm(X) dbnm(D) inscollist_opt(F) VALUES LP itemlist(Y) RP. {
  tarvikInsert(pParse, tarvikSrcListAppend(0, &X, &D), Y, 0, F, R);
}
cmd ::= insert_cmd(R) INTO nm(X) dbnm(D) inscollist_opt(F) select(S). {
  tarvikInsert(pParse, tarvikSrcListAppend(0, &X, &D), 0, S, F, R);
}

%type insert_cmd {int}
insert_cmd(A) ::= INSERT orconf(R). { A = R; }
insert_cmd(A) ::= REPLACE. { A = OE_Replace; }

%type itemlist {ExprList*}
%destructor itemlist {tarvikExprListDelete($$);}
itemlist(A) ::= itemlist(X) COMMA expr(Y). { A = tarvikExprListAppend(X, Y, 0); }
itemlist(A) ::= expr(X). { A = tarvikExprListAppend(0, X, 0); }

%type inscollist_opt {IdList*}
%destructor inscollist_opt {tarvikIdListDelete($$);}
%type inscollist {IdList*}
%destructor inscollist {tarvikIdListDelete($$);}
inscollist_opt(A) ::= . { A = 0; }
inscollist_opt(A) ::= LP inscollist(X) RP. { A = X; }
inscollist(A) ::= inscollist(X) COMMA nm(Y). { A = tarvikIdListAppend(X, &Y); }
inscollist(A) ::= nm(Y). { A = tarvikIdListAppend(0, &Y); }

// ---------------------------------------------------------------- expressions

%type expr {Expr*}
%destructor expr {tarvikExprDelete($$);}

expr(A) ::= LP(B) expr(X) RP(E). {
  A = X;
  tarvikExprSpan(A, &B, &E);
}
expr(A) ::= NULL(X). { A = tarvikExpr(TK_NULL, 0, 0, &X); }
expr(A) ::= ID(X). { A = tarvikExpr(TK_ID, 0, 0, &X); }
expr(A) ::= JOIN_KW(X). { A = tarvikExpr(TK_ID, 0, 0, &X); }
expr(A) ::= nm(X) DOT nm(Y). {
  Expr *temp1 = tarvikExpr(TK_ID, 0, 0, &X);
  Expr *temp2 = tarvikExpr(TK_ID, 0, 0, &Y);
  A = tarvikExpr(TK_DOT, temp1, temp2, 0);
}
expr(A) ::= nm(X) DOT nm(Y) DOT nm(Z). {
  Expr *temp1 = tarvikExpr(TK_ID, 0, 0, &X);
  Expr *temp2 = tarvikExpr(TK_ID, 0, 0, &Y);
  Expr *temp3 = tarvikExpr(TK_ID, 0, 0, &Z);
  Expr *temp4 = tarvikExpr(TK_DOT, temp2, temp3, 0);
  A = tarvikExpr(TK_DOT, temp1, temp4, 0);
}
expr(A) ::= INTEGER(X). { A = tarvikExpr(TK_INTEGER, 0, 0, &X); }
expr(A) ::= FLOAT(X). { A = tarvikExpr(TK_FLOAT, 0, 0, &X); }
expr(A) ::= STRING(X). { A = tarvikExpr(TK_STRING, 0, 0, &X); }
// Variables are numbered 1, 2, ... in the order they appear.
expr(A) ::= VARIABLE(X). {
  A = tarvikExpr(TK_VARIABLE, 0, 0, &X);
  if (A) A->iTable = ++pParse->nVar;
}
expr(A) ::= ID(X) LP exprlist(Y) RP(E). {
  A = tarvikExprFunction(Y, &X);
  tarvikExprSpan(A, &X, &E);
}
expr(A) ::= ID(X) LP STAR RP(E). {
  A = tarvikExprFunction(0, &X);
  tarvikExprSpan(A, &X, &E);
}
expr(A) ::= expr(X) AND expr(Y). { A = tarvikExpr(TK_AND, X, Y, 0); }
expr(A) ::= expr(X) OR expr(Y). { A = tarvikExpr(TK_OR, X, Y, 0); }
expr(A) ::= expr(X) LT expr(Y). { A = tarvikExpr(TK_LT, X, Y, 0); }
expr(A) ::= expr(X) GT expr(Y). { A = tarvikExpr(TK_GT, X, Y, 0); }
expr(A) ::= expr(X) LE expr(Y). { A = tarvikExpr(TK_LE, X, Y, 0); }
expr(A) ::= expr(X) GE expr(Y). { A = tarvikExpr(TK_GE, X, Y, 0); }
expr(A) ::= expr(X) NE expr(Y). { A = tarvikExpr(TK_NE, X, Y, 0); }
expr(A) ::= expr(X) EQ expr(Y). { A = tarvikExpr(TK_EQ, X, Y, 0); }
expr(A) ::= expr(X) BITAND expr(Y). { A = tarvikExpr(TK_BITAND, X, Y, 0); }
expr(A) ::= expr(X) BITOR expr(Y). { A = tarvikExpr(TK_BITOR, X, Y, 0); }
expr(A) ::= expr(X) LSHIFT expr(Y). { A = tarvikExpr(TK_LSHIFT, X, Y, 0); }
expr(A) ::= expr(X) RSHIFT expr(Y). { A = tarvikExpr(TK_RSHIFT, X, Y, 0); }
// LIKE and GLOB are calls with the pattern first.
expr(A) ::= expr(X) likeop(OP) expr(Y). [LIKE] {
  const Token spanX = *spanOf(X);
  const Token spanY = *spanOf(Y);
  ExprList *pList = tarvikExprListAppend(0, Y, 0);
  pList = tarvikExprListAppend(pList, X, 0);
  A = tarvikExprFunction(pList, 0);
  if (A) A->op = (u8)OP;
  tarvikExprSpan(A, &spanX, &spanY);
}
expr(A) ::= expr(X) NOT likeop(OP) expr(Y). [LIKE] {
  const Token spanX = *spanOf(X);
  const Token spanY = *spanOf(Y);
  ExprList *pList = tarvikExprListAppend(0, Y, 0);
  pList = tarvikExprListAppend(pList, X, 0);
  A = tarvikExprFunction(pList, 0);
  if (A) A->op = (u8)OP;
  A = tarvikExpr(TK_NOT, A, 0, 0);
  tarvikExprSpan(A, &spanX, &spanY);
}
%type likeop {int}
likeop(A) ::= LIKE. { A = TK_LIKE; }
likeop(A) ::= GLOB. { A = TK_GLOB; }
expr(A) ::= expr(X) PLUS expr(Y). { A = tarvikExpr(TK_PLUS, X, Y, 0); }
expr(A) ::= expr(X) MINUS expr(Y). { A = tarvikExpr(TK_MINUS, X, Y, 0); }
expr(A) ::= expr(X) STAR expr(Y). { A = tarvikExpr(TK_STAR, X, Y, 0); }
expr(A) ::= expr(X) SLASH expr(Y). { A = tarvikExpr(TK_SLASH, X, Y, 0); }
expr(A) ::= expr(X) REM expr(Y). { A = tarvikExpr(TK_REM, X, Y, 0); }
expr(A) ::= expr(X) CONCAT expr(Y). { A = tarvikExpr(TK_CONCAT, X, Y, 0); }
expr(A) ::= expr(X) ISNULL(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_ISNULL, X, 0, 0);
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= expr(X) IS NULL(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_ISNULL, X, 0, 0);
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= expr(X) NOTNULL(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_NOTNULL, X, 0, 0);
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= expr(X) NOT NULL(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_NOTNULL, X, 0, 0);
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= expr(X) IS NOT NULL(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_NOTNULL, X, 0, 0);
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= NOT(B) expr(X). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_NOT, X, 0, 0);
  tarvikExprSpan(A, &B, &spanX);
}
expr(A) ::= BITNOT(B) expr(X). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_BITNOT, X, 0, 0);
  tarvikExprSpan(A, &B, &spanX);
}
expr(A) ::= MINUS(B) expr(X). [UMINUS] {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_UMINUS, X, 0, 0);
  tarvikExprSpan(A, &B, &spanX);
}
expr(A) ::= PLUS(B) expr(X). [UPLUS] {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_UPLUS, X, 0, 0);
  tarvikExprSpan(A, &B, &spanX);
}
expr(A) ::= LP(B) select(X) RP(E). {
  A = tarvikExpr(TK_SELECT, 0, 0, 0);
  if (A) {
    A->pSelect = X;
  } else {
    tarvikSelectDelete(X);
  }
  tarvikExprSpan(A, &B, &E);
}
expr(A) ::= expr(W) BETWEEN expr(X) AND expr(Y). {
  const Token spanW = *spanOf(W);
  const Token spanY = *spanOf(Y);
  ExprList *pList = tarvikExprListAppend(0, X, 0);
  pList = tarvikExprListAppend(pList, Y, 0);
  A = tarvikExpr(TK_BETWEEN, W, 0, 0);
  if (A) {
    A->pList = pList;
  } else {
    tarvikExprListDelete(pList);
  }
  tarvikExprSpan(A, &spanW, &spanY);
}
// Marked: the first operator of the rule, NOT, would bind it as loosely as
// the prefix NOT ("a NOT BETWEEN b AND c = d" would take c = d as the bound).
expr(A) ::= expr(W) NOT BETWEEN expr(X) AND expr(Y). [BETWEEN] {
  const Token spanW = *spanOf(W);
  const Token spanY = *spanOf(Y);
  ExprList *pList = tarvikExprListAppend(0, X, 0);
  pList = tarvikExprListAppend(pList, Y, 0);
  A = tarvikExpr(TK_BETWEEN, W, 0, 0);
  if (A) {
    A->pList = pList;
  } else {
    tarvikExprListDelete(pList);
  }
  A = tarvikExpr(TK_NOT, A, 0, 0);
  tarvikExprSpan(A, &spanW, &spanY);
}
expr(A) ::= expr(X) IN LP exprlist(Y) RP(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_IN, X, 0, 0);
  if (A) {
    A->pList = Y;
  } else {
    tarvikExprListDelete(Y);
  }
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= expr(X) IN LP select(Y) RP(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_IN, X, 0, 0);
  if (A) {
    A->pSelect = Y;
  } else {
    tarvikSelectDelete(Y);
  }
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= expr(X) NOT IN LP exprlist(Y) RP(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_IN, X, 0, 0);
  if (A) {
    A->pList = Y;
  } else {
    tarvikExprListDelete(Y);
  }
  A = tarvikExpr(TK_NOT, A, 0, 0);
  tarvikExprSpan(A, &spanX, &E);
}
expr(A) ::= expr(X) NOT IN LP select(Y) RP(E). {
  const Token spanX = *spanOf(X);
  A = tarvikExpr(TK_IN, X, 0, 0);
  if (A) {
    A->pSelect = Y;
  } else {
    tarvikSelectDelete(Y);
  }
  A = tarvikExpr(TK_NOT, A, 0, 0);
  tarvikExprSpan(A, &spanX, &E);
}
// "x IN tbl" tests membership in all columns of the named table.
expr(A) ::= expr(X) IN nm(Y) dbnm(D). {
  const Token spanX = *spanOf(X);
  SrcList *pSrc = tarvikSrcListAppend(0, &Y, &D);
  A = tarvikExpr(TK_IN, X, 0, 0);
  if (A) {
    A->pSelect = tarvikSelectNew(0, pSrc, 0, 0, 0, 0, 0, -1, 0);
  } else {
    tarvikSrcListDelete(pSrc);
  }
  tarvikExprSpan(A, &spanX, D.z ? &D : &Y);
}
expr(A) ::= expr(X) NOT IN nm(Y) dbnm(D). {
  const Token spanX = *spanOf(X);
  SrcList *pSrc = tarvikSrcListAppend(0, &Y, &D);
  A = tarvikExpr(TK_IN, X, 0, 0);
  if (A) {
    A->pSelect = tarvikSelectNew(0, pSrc, 0, 0, 0, 0, 0, -1, 0);
  } else {
    tarvikSrcListDelete(pSrc);
  }
  A = tarvikExpr(TK_NOT, A, 0, 0);
  tarvikExprSpan(A, &spanX, D.z ? &D : &Y);
}

// CASE: the operand (or null), the WHEN/THEN pairs in one list, the ELSE.
expr(A) ::= CASE(C) case_operand(X) case_exprlist(Y) case_else(Z) END(E). {
  A = tarvikExpr(TK_CASE, X, Z, 0);
  if (A) {
    A->pList = Y;
  } else {
    tarvikExprListDelete(Y);
  }
  tarvikExprSpan(A, &C, &E);
}
%type case_exprlist {ExprList*}
%destructor case_exprlist {tarvikExprListDelete($$);}
case_exprlist(A) ::= case_exprlist(X) WHEN expr(Y) THEN expr(Z). {
  A = tarvikExprListAppend(X, Y, 0);
  A = tarvikExprListAppend(A, Z, 0);
}
case_exprlist(A) ::= WHEN expr(Y) THEN expr(Z). {
  A = tarvikExprListAppend(0, Y, 0);
  A = tarvikExprListAppend(A, Z, 0);
}
%type case_else {Expr*}
%destructor case_else {tarvikExprDelete($$);}
case_else(A) ::= ELSE expr(X). { A = X; }
case_else(A) ::= . { A = 0; }
%type case_operand {Expr*}
%destructor case_operand {tarvikExprDelete($$);}
case_operand(A) ::= expr(X). { A = X; }
case_operand(A) ::= . { A = 0; }

%type exprlist {ExprList*}
%destructor exprlist {tarvikExprListDelete($$);}
%type expritem {Expr*}
%destructor expritem {tarvikExprDelete($$);}

exprlist(A) ::= exprlist(X) COMMA expritem(Y). { A = tarvikExprListAppend(X, Y, 0); }
exprlist(A) ::= expritem(X). { A = tarvikExprListAppend(0, X, 0); }
// An empty argument is null, which the list does not store: f(a,,b) passes a and b.
expritem(A) ::= expr(X). { A = X; }
expritem(A) ::= . { A = 0; }

expr(A) ::= RAISE(X) LP IGNORE RP(Y). {
  A = tarvikExpr(TK_RAISE, 0, 0, 0);
  if (A) A->iColumn = OE_Ignore;
  tarvikExprSpan(A, &X, &Y);
}
expr(A) ::= RAISE(X) LP ROLLBACK COMMA nm(Z) RP(Y). {
  A = tarvikExpr(TK_RAISE, 0, 0, &Z);
  if (A) A->iColumn = OE_Rollback;
  tarvikExprSpan(A, &X, &Y);
}
expr(A) ::= RAISE(X) LP ABORT COMMA nm(Z) RP(Y). {
  A = tarvikExpr(TK_RAISE, 0, 0, &Z);
  if (A) A->iColumn = OE_Abort;
  tarvikExprSpan(A, &X, &Y);
}
expr(A) ::= RAISE(X) LP FAIL COMMA nm(Z) RP(Y). {
  A = tarvikExpr(TK_RAISE, 0, 0, &Z);
  if (A) A->iColumn = OE_Fail;
  tarvikExprSpan(A, &X, &Y);
}

// ---------------------------------------------------------------- CREATE INDEX, DROP INDEX

// A UNIQUE index takes the ON CONFLICT action, ABORT when none is given.
cmd ::= CREATE(S) uniqueflag(U) INDEX nm(X) ON nm(Y) dbnm(D) LP idxlist(Z) RP(E) onconf(R). {
  SrcList *pSrc = tarvikSrcListAppend(0, &Y, &D);
  if (U != OE_None) U = R;
  if (U == OE_Default) U = OE_Abort;
  tarvikCreateIndex(pParse, &X, pSrc, Z, U, &S, &E);
}

%type uniqueflag {int}
uniqueflag(A) ::= UNIQUE. { A = OE_Abort; }
uniqueflag(A) ::= . { A = OE_None; }

%type idxlist {IdList*}
%destructor idxlist {tarvikIdListDelete($$);}
%type idxlist_opt {IdList*}
%destructor idxlist_opt {tarvikIdListDelete($$);}
%type idxitem {Token}

idxlist_opt(A) ::= . { A = 0; }
idxlist_opt(A) ::= LP idxlist(X) RP. { A = X; }
idxlist(A) ::= idxlist(X) COMMA idxitem(Y). { A = tarvikIdListAppend(X, &Y); }
idxlist(A) ::= idxitem(Y). { A = tarvikIdListAppend(0, &Y); }
idxitem(A) ::= nm(X) sortorder. { A = X; }

cmd ::= DROP INDEX nm(X) dbnm(Y). { tarvikDropIndex(pParse, tarvikSrcListAppend(0, &X, &Y)); }

// ---------------------------------------------------------------- COPY, VACUUM, PRAGMA

cmd ::= COPY orconf(R) nm(X) dbnm(D) FROM nm(Y) USING DELIMITERS STRING(Z). {
  tarvikCopy(pParse, tarvikSrcListAppend(0, &X, &D), &Y, &Z, R);
}
cmd ::= COPY orconf(R) nm(X) dbnm(D) FROM nm(Y). {
  tarvikCopy(pParse, tarvikSrcListAppend(0, &X, &D), &Y, 0, R);
}

cmd ::= VACUUM. { tarvikVacuum(pParse, 0); }
cmd ::= VACUUM nm(X). { tarvikVacuum(pParse, &X); }

cmd ::= PRAGMA ids(X) EQ nm(Y). { tarvikPragma(pParse, &X, &Y, 0); }
cmd ::= PRAGMA ids(X) EQ ON(Y). { tarvikPragma(pParse, &X, &Y, 0); }
cmd ::= PRAGMA ids(X) EQ plus_num(Y). { tarvikPragma(pParse, &X, &Y, 0); }
cmd ::= PRAGMA ids(X) EQ minus_num(Y). { tarvikPragma(pParse, &X, &Y, 1); }
cmd ::= PRAGMA ids(X) LP nm(Y) RP. { tarvikPragma(pParse, &X, &Y, 0); }
cmd ::= PRAGMA ids(X). { tarvikPragma(pParse, &X, &X, 0); }
%type plus_num {Token}
%type minus_num {Token}
%type number {Token}
plus_num(A) ::= plus_opt number(X). { A = X; }
minus_num(A) ::= MINUS number(X). { A = X; }
number(A) ::= INTEGER(X). { A = X; }
number(A) ::= FLOAT(X). { A = X; }
plus_opt ::= PLUS.
plus_opt ::= .

// ---------------------------------------------------------------- triggers

cmd ::= CREATE(A) trigger_decl BEGIN trigger_cmd_list(S) END(Z). {
  Token all;
  all.z = A.z;
  all.dyn = 0;
  all.n = (unsigned)(Z.z - A.z) + Z.n;
  tarvikFinishTrigger(pParse, S, &all);
}

trigger_decl ::= temp(T) TRIGGER nm(B) trigger_time(C) trigger_event(D) ON nm(E) dbnm(DB) foreach_clause(F) when_clause(G). {
  SrcList *pTab = tarvikSrcListAppend(0, &E, &DB);
  tarvikBeginTrigger(pParse, &B, C, D.a, D.b, pTab, F, G, T);
}

%type trigger_time {int}
trigger_time(A) ::= BEFORE. { A = TK_BEFORE; }
trigger_time(A) ::= AFTER. { A = TK_AFTER; }
trigger_time(A) ::= INSTEAD OF. { A = TK_INSTEAD; }
trigger_time(A) ::= . { A = TK_BEFORE; }

%type trigger_event {ParseTrigEvent}
%destructor trigger_event {tarvikIdListDelete($$.b);}
trigger_event(A) ::= DELETE. { A.a = TK_DELETE; A.b = 0; }
trigger_event(A) ::= INSERT. { A.a = TK_INSERT; A.b = 0; }
trigger_event(A) ::= UPDATE. { A.a = TK_UPDATE; A.b = 0; }
trigger_event(A) ::= UPDATE OF inscollist(X). { A.a = TK_UPDATE; A.b = X; }

%type foreach_clause {int}
foreach_clause(A) ::= . { A = TK_ROW; }
foreach_clause(A) ::= FOR EACH ROW. { A = TK_ROW; }
foreach_clause(A) ::= FOR EACH STATEMENT. { A = TK_STATEMENT; }

%type when_clause {Expr*}
%destructor when_clause {tarvikExprDelete($$);}
when_clause(A) ::= . { A = 0; }
when_clause(A) ::= WHEN expr(X). { A = X; }

// Left-recursive, so a long trigger body does not deepen the parser stack.
// The head of the list remembers its last step for the append.
%type trigger_cmd_list {TriggerStep*}
%destructor trigger_cmd_list {tarvikDeleteTriggerStep($$);}
trigger_cmd_list(A) ::= trigger_cmd_list(X) trigger_cmd(Y) SEMI. { A = appendStep(X, Y); }
trigger_cmd_list(A) ::= . { A = 0; }

%type trigger_cmd {TriggerStep*}
%destructor trigger_cmd {tarvikDeleteTriggerStep($$);}
trigger_cmd(A) ::= UPDATE orconf(R) nm(X) SET setlist(Y) where_opt(Z). {
  A = tarvikTriggerUpdateStep(&X, Y, Z, R);
}
trigger_cmd(A) ::= insert_cmd(R) INTO nm(X) inscollist_opt(F) VALUES LP itemlist(Y) RP. {
  A = tarvikTriggerInsertStep(&X, F, Y, 0, R);
}
trigger_cmd(A) ::= insert_cmd(R) INTO nm(X) inscollist_opt(F) select(S). {
  A = tarvikTriggerInsertStep(&X, F, 0, S, R);
}
trigger_cmd(A) ::= DELETE FROM nm(X) where_opt(Y). { A = tarvikTriggerDeleteStep(&X, Y); }
trigger_cmd(A) ::= select(X). { A = tarvikTriggerSelectStep(X); }

cmd ::= DROP TRIGGER nm(X) dbnm(D). { tarvikDropTrigger(pParse, tarvikSrcListAppend(0, &X, &D)); }

// ---------------------------------------------------------------- ATTACH, DETACH

cmd ::= ATTACH database_kw_opt ids(F) AS nm(D) key_opt(K). { tarvikAttach(pParse, &F, &D, &K); }
%type key_opt {Token}
key_opt(A) ::= USING ids(X). { A = X; }
key_opt(A) ::= . { A.z = 0; A.dyn = 0; A.n = 0; }

database_kw_opt ::= DATABASE.
database_kw_opt ::= .

cmd ::= DETACH database_kw_opt nm(D). { tarvikDetach(pParse, &D); }
