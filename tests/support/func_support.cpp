#include "func_support.h"

#include <gtest/gtest.h>

#include "vdbeInt.h"

FuncTestDb::FuncTestDb(bool builtins) {
  tarvikHashInit(&db.aFunc, TARVIK_HASH_STRING, 1);
  db.magic = TARVIK_MAGIC_OPEN;
  if (builtins) tarvikRegisterBuiltinFunctions(&db);
}

FuncTestDb::~FuncTestDb() { tarvikFreeFunctions(&db); }

namespace {

// The compiler's look-up: the call's argument count, else any count to
// tell a wrong count from an unknown name.
FuncDef *lookUp(tarvik *db, const char *zName, int nArg, std::string *pzErr) {
  int nName = (int)strlen(zName);
  FuncDef *p = tarvikFindFunction(db, zName, nName, nArg, 0);
  if (p == nullptr) {
    if (tarvikFindFunction(db, zName, nName, -1, 0)) {
      *pzErr = std::string("wrong number of arguments to function ") + zName + "()";
    } else {
      *pzErr = std::string("no such function: ") + zName;
    }
  }
  return p;
}

std::vector<const char *> argv(const FuncDef *p, const std::vector<FArg> &args) {
  std::vector<const char *> v;
  for (const FArg &a : args) {
    v.push_back(a.z);
    if (p->includeTypes) {
      v.push_back(!a.forceText && a.z && tarvikIsNumber(a.z) ? "numeric" : "text");
    }
  }
  v.push_back(nullptr);  // an argv of no arguments still has a valid pointer
  return v;
}

std::optional<std::string> stringify(const Mem &m) {
  char zBuf[NBFS];
  if (m.flags & MEM_Str) return std::string(m.z);
  if (m.flags & MEM_Int) {
    tarvik_snprintf(NBFS, zBuf, "%d", m.i);
    return std::string(zBuf);
  }
  if (m.flags & MEM_Real) {
    tarvik_snprintf(NBFS, zBuf, "%.15g", m.r);
    return std::string(zBuf);
  }
  return std::nullopt;
}

}  // namespace

FuncOutcome callScalar(tarvik *db, const char *zName, const std::vector<FArg> &args) {
  FuncOutcome out;
  FuncDef *p = lookUp(db, zName, (int)args.size(), &out.error);
  if (p == nullptr) return out;
  if (p->xFunc == nullptr) {
    out.error = std::string("misuse of aggregate function ") + zName + "()";
    return out;
  }
  std::vector<const char *> v = argv(p, args);
  tarvik_func ctx{};
  ctx.pFunc = p;
  ctx.s.flags = MEM_Null;
  p->xFunc(&ctx, (int)v.size() - 1, v.data());
  out.value = stringify(ctx.s);
  if (ctx.isError) {
    out.error = (ctx.s.flags & MEM_Str) ? ctx.s.z : "user function error";
    out.value.reset();
  }
  tarvikFuncContextClear(&ctx);
  return out;
}

FuncOutcome callAggregate(tarvik *db, const char *zName, int nArg,
                          const std::vector<std::vector<FArg>> &rows) {
  FuncOutcome out;
  FuncDef *p = lookUp(db, zName, nArg, &out.error);
  if (p == nullptr) return out;
  if (p->xStep == nullptr) {
    out.error = std::string("not an aggregate: ") + zName;
    return out;
  }
  // The group cell: its inline buffer holds state blocks of up to NBFS bytes.
  Mem cell{};
  void *pAgg = nullptr;
  int cnt = 0;
  for (const std::vector<FArg> &row : rows) {
    EXPECT_EQ((int)row.size(), nArg);
    std::vector<const char *> v = argv(p, row);
    tarvik_func ctx{};
    ctx.pFunc = p;
    ctx.s.flags = MEM_Null;
    ctx.isStep = 1;
    ctx.pAgg = pAgg;
    ctx.pAggBuf = cell.zShort;
    ctx.cnt = ++cnt;
    p->xStep(&ctx, (int)v.size() - 1, v.data());
    pAgg = ctx.pAgg;
    if (ctx.isError && out.error.empty()) {
      out.error = ctx.zErrMsg ? ctx.zErrMsg : "user function error";
    }
    tarvikFuncContextClear(&ctx);
  }
  tarvik_func ctx{};
  ctx.pFunc = p;
  ctx.s.flags = MEM_Null;
  ctx.pAgg = pAgg;
  ctx.pAggBuf = cell.zShort;
  ctx.cnt = cnt;
  if (p->xFinalize) p->xFinalize(&ctx);
  if (ctx.pAgg != cell.zShort) tarvikFree(ctx.pAgg);
  if (out.error.empty()) out.value = stringify(ctx.s);
  tarvikFuncContextClear(&ctx);
  return out;
}

std::optional<std::string> fn(tarvik *db, const char *zName, const std::vector<FArg> &args) {
  FuncOutcome r = callScalar(db, zName, args);
  EXPECT_EQ(r.error, "") << zName;
  return r.value;
}

std::optional<std::string> agg(tarvik *db, const char *zName, int nArg,
                               const std::vector<std::vector<FArg>> &rows) {
  FuncOutcome r = callAggregate(db, zName, nArg, rows);
  EXPECT_EQ(r.error, "") << zName;
  return r.value;
}
