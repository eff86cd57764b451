#include "codegen_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "btree.h"
#include "dml.h"
#include "opcodes.h"
#include "vdbe.h"

namespace tarviktest {

SchemaConn::SchemaConn() {
  memset(&db, 0, sizeof(db));
  db.nDb = 2;
  db.aDb = db.aDbStatic;
  db.aDb[0].zName = (char *)"main";
  db.aDb[1].zName = (char *)"temp";
  for (int i = 0; i < 2; i++) {
    tarvikHashInit(&db.aDb[i].tblHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db.aDb[i].idxHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db.aDb[i].trigHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db.aDb[i].aFKey, TARVIK_HASH_STRING, 1);
    EXPECT_EQ(tarvikRbtreeOpen(nullptr, 0, 0, &db.aDb[i].pBt), TARVIK_OK);
  }
  db.file_format = 4;
  db.onError = OE_Default;
  db.flags = TARVIK_Initialized;
}

SchemaConn::~SchemaConn() {
  tarvikResetInternalSchema(&db, 0);
  for (int i = 0; i < db.nDb; i++) {
    tarvikHashClear(&db.aDb[i].tblHash);
    tarvikHashClear(&db.aDb[i].idxHash);
    tarvikHashClear(&db.aDb[i].trigHash);
    tarvikHashClear(&db.aDb[i].aFKey);
    if (db.aDb[i].pBt) tarvikBtreeClose(db.aDb[i].pBt);
  }
}

std::string SchemaConn::load(const char *zSql, int tnum, int iDb) {
  db.init.busy = 1;
  db.init.iDb = iDb;
  db.init.newTnum = tnum;
  Program r = compileSql(*this, zSql);
  db.init.busy = 0;
  db.init.iDb = 0;
  tarvikCommitInternalChanges(&db);
  return r.err;
}

std::string Program::listing() const {
  std::string s;
  for (const auto &op : ops) s += op + "\n";
  return s;
}

namespace {

struct Span {
  int iStart, iEnd;
  std::string zKind;
};

// The listing line of instruction address t.
int lineOf(const std::vector<Span> &spans, int t) {
  int line = 0, addr = 0;
  for (const Span &s : spans) {
    if (t < s.iStart) break;
    line += s.iStart - addr;
    if (t < s.iEnd || t == s.iStart) return line;
    line += 1;
    addr = s.iEnd;
  }
  return line + (t - addr);
}

std::string opText(const VdbeOp *pOp, const std::vector<Span> &spans) {
  int p2 = pOp->p2;
  if ((tarvikOpcodeFlags(pOp->opcode) & OPFLG_JUMP) && p2 > 0) p2 = lineOf(spans, p2);
  std::string s = std::string(tarvikOpcodeName(pOp->opcode)) + " " + std::to_string(pOp->p1) + " " +
                  std::to_string(p2);
  if (pOp->p3type == P3_POINTER) {
    s += " ptr";
  } else if (pOp->p3) {
    s += std::string(" ") + pOp->p3;
  }
  return s;
}

}  // namespace

Program compileSql(SchemaConn &c, const char *zSql) {
  Program r;
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &c.db;
  tarvikTestForeignVdbe = nullptr;
  tarvikTestNForeignSpan = 0;
  char *zErr = nullptr;
  r.nErr = tarvikRunParser(&parse, zSql, &zErr);
  if (zErr) r.err = zErr;
  tarvikFree(zErr);
  Vdbe *v = parse.pVdbe;
  if (v) {
    std::vector<Span> spans;
    if (tarvikTestForeignVdbe == v) {
      for (int i = 0; i < tarvikTestNForeignSpan; i++) {
        const TarvikForeignSpan &f = tarvikTestForeignSpans[i];
        spans.push_back({f.iStart, f.iEnd, f.zKind});
      }
    }
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span &a, const Span &b) { return a.iStart < b.iStart; });
    int n = tarvikVdbeCurrentAddr(v);
    size_t k = 0;
    for (int i = 0; i < n;) {
      if (k < spans.size() && spans[k].iStart == i) {
        r.ops.push_back("<" + spans[k].zKind + ">");
        i = std::max(i, spans[k].iEnd);
        k++;
        continue;
      }
      r.ops.push_back(opText(tarvikVdbeGetOp(v, i), spans));
      i++;
    }
    while (k < spans.size()) {
      r.ops.push_back("<" + spans[k].zKind + ">");
      k++;
    }
    tarvikVdbeDelete(v);
  }
  tarvikTestForeignVdbe = nullptr;
  return r;
}

}  // namespace tarviktest
