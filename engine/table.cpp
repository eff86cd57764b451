/*
** Result tables: tarvik_get_table runs SQL through tarvik_exec and
** collects every result into one array of texts, plus the formatting
** variants of tarvik_exec and tarvik_get_table.
**
** The array handed out, az, is one allocation of pointers:
**
**     az[-1]            az[0 .. nColumn-1]   az[nColumn .. ]
**     slot count (int)  column names         nRow * nColumn values
**
** Every text is its own allocation (a NULL value is a null pointer); the
** slot count, kept in the reserved pointer before the array, tells
** tarvik_free_table how many slots to free.
*/
#include <cstdint>

#include "tarvikInt.h"

namespace {

/* The collector while the query runs. */
struct TabResult {
  char **azResult; /* slot 0 reserved for the slot count */
  char *zErrMsg;
  int nResult;
  int nAlloc;
  int nRow;
  int nColumn;
  int nData; /* slots used, counting slot 0 */
  int rc;
};

}  // namespace

/* Appends a copy of z (null stays null); false when out of memory. */
static bool appendCopy(TabResult *p, const char *z) {
  char *zCopy = nullptr;
  if (z) {
    zCopy = tarvikStrDup(z);
    if (zCopy == nullptr) return false;
  }
  p->azResult[p->nData++] = zCopy;
  return true;
}

extern "C" int tarvik_get_table_cb(void *pArg, int nCol, char **argv, char **colv) {
  TabResult *p = (TabResult *)pArg;
  i64 need = (p->nRow == 0 && argv != nullptr) ? 2 * (i64)nCol : nCol;
  if (p->nData + need >= p->nAlloc) {
    i64 nNew = (i64)p->nAlloc * 2 + need + 1;
    char **azNew = nNew * (i64)sizeof(char *) > INT32_MAX
                       ? nullptr
                       : (char **)tarvikRealloc(p->azResult, (int)(nNew * sizeof(char *)));
    if (azNew == nullptr) {
      p->rc = TARVIK_NOMEM;
      return 1;
    }
    p->azResult = azNew;
    p->nAlloc = (int)nNew;
  }
  if (p->nRow == 0) {
    /* Names are taken from the first result only; on the empty-result call
    ** (argv null) they are stored again if a later result has rows, so the
    ** slots are reset first. */
    for (int i = p->nData - 1; i >= 1; i--) tarvikFree(p->azResult[i]);
    p->nData = 1;
    p->nColumn = nCol;
    for (int i = 0; i < nCol; i++) {
      if (!appendCopy(p, colv ? colv[i] : nullptr)) {
        p->rc = TARVIK_NOMEM;
        return 1;
      }
    }
  } else if (nCol != p->nColumn) {
    tarvikSetString(&p->zErrMsg, "tarvik_get_table() called with two or more incompatible queries",
                    (char *)nullptr);
    p->rc = TARVIK_ERROR;
    return 1;
  }
  if (argv != nullptr) {
    for (int i = 0; i < nCol; i++) {
      if (!appendCopy(p, argv[i])) {
        p->rc = TARVIK_NOMEM;
        return 1;
      }
    }
    p->nRow++;
  }
  return 0;
}

extern "C" {

void tarvik_free_table(char **azResult) {
  if (azResult == nullptr) return;
  azResult--;
  int n = (int)(intptr_t)azResult[0];
  for (int i = 1; i < n; i++) tarvikFree(azResult[i]);
  tarvikFree(azResult);
}

int tarvik_get_table(tarvik *db, const char *zSql, char ***pazResult, int *pnRow, int *pnColumn,
                     char **pzErrMsg) {
  if (pazResult == nullptr) return TARVIK_ERROR;
  *pazResult = nullptr;
  if (pnColumn) *pnColumn = 0;
  if (pnRow) *pnRow = 0;
  TabResult res{};
  res.nAlloc = 20;
  res.nData = 1;
  res.azResult = (char **)tarvikMalloc(res.nAlloc * (int)sizeof(char *));
  if (res.azResult == nullptr) {
    if (pzErrMsg) *pzErrMsg = nullptr;
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
    return TARVIK_NOMEM;
  }
  res.azResult[0] = nullptr;
  int rc = tarvik_exec(db, zSql, tarvik_get_table_cb, &res, pzErrMsg);
  res.azResult[0] = (char *)(intptr_t)res.nData;
  if (rc == TARVIK_ABORT && res.rc != TARVIK_OK) {
    /* The collector stopped the scan: its own failure is the result. */
    tarvik_free_table(&res.azResult[1]);
    if (res.zErrMsg == nullptr && res.rc == TARVIK_NOMEM) {
      tarvikSetString(&res.zErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
    }
    if (pzErrMsg) {
      tarvikFree(*pzErrMsg);
      *pzErrMsg = res.zErrMsg;
    } else {
      tarvikFree(res.zErrMsg);
    }
    return res.rc;
  }
  tarvikFree(res.zErrMsg);
  if (rc != TARVIK_OK) {
    tarvik_free_table(&res.azResult[1]);
    return rc;
  }
  if (res.nAlloc > res.nData) {
    char **azNew = (char **)tarvikRealloc(res.azResult, (res.nData + 1) * (int)sizeof(char *));
    if (azNew == nullptr) {
      tarvik_free_table(&res.azResult[1]);
      tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
      return TARVIK_NOMEM;
    }
    res.azResult = azNew;
  }
  *pazResult = &res.azResult[1];
  if (pnColumn) *pnColumn = res.nColumn;
  if (pnRow) *pnRow = res.nRow;
  return rc;
}

/* A text that cannot be formatted is an allocation failure, reported as
** such rather than run as no SQL at all. */
static int formatFailed(char **pzErrMsg) {
  if (pzErrMsg) *pzErrMsg = nullptr;
  tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
  return TARVIK_NOMEM;
}

int tarvik_exec_vprintf(tarvik *db, const char *zFormat, tarvik_callback xCallback, void *pArg,
                        char **pzErrMsg, va_list ap) {
  char *zSql = tarvik_vmprintf(zFormat, ap);
  if (zSql == nullptr) return formatFailed(pzErrMsg);
  int rc = tarvik_exec(db, zSql, xCallback, pArg, pzErrMsg);
  tarvik_freemem(zSql);
  return rc;
}

int tarvik_exec_printf(tarvik *db, const char *zFormat, tarvik_callback xCallback, void *pArg,
                       char **pzErrMsg, ...) {
  va_list ap;
  va_start(ap, pzErrMsg);
  int rc = tarvik_exec_vprintf(db, zFormat, xCallback, pArg, pzErrMsg, ap);
  va_end(ap);
  return rc;
}

int tarvik_get_table_vprintf(tarvik *db, const char *zFormat, char ***pazResult, int *pnRow,
                             int *pnColumn, char **pzErrMsg, va_list ap) {
  char *zSql = tarvik_vmprintf(zFormat, ap);
  if (zSql == nullptr) {
    if (pazResult) *pazResult = nullptr;
    if (pnRow) *pnRow = 0;
    if (pnColumn) *pnColumn = 0;
    return formatFailed(pzErrMsg);
  }
  int rc = tarvik_get_table(db, zSql, pazResult, pnRow, pnColumn, pzErrMsg);
  tarvik_freemem(zSql);
  return rc;
}

int tarvik_get_table_printf(tarvik *db, const char *zFormat, char ***pazResult, int *pnRow,
                            int *pnColumn, char **pzErrMsg, ...) {
  va_list ap;
  va_start(ap, pzErrMsg);
  int rc = tarvik_get_table_vprintf(db, zFormat, pazResult, pnRow, pnColumn, pzErrMsg, ap);
  va_end(ap);
  return rc;
}

}  // extern "C"
