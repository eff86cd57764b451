/*
** Uses the library as a C program does: the installed public header, the
** installed shared library, and the flags pkg-config gives.  Its output is
** compared with capi_check.expected.
*/
#include <stdio.h>
#include <string.h>

#include "tarvik.h"

/* Prints a formatted result and hands it back to the library. */
static void show(char *z) {
  printf("%s\n", z ? z : "(no result)");
  tarvik_freemem(z);
}

static char *vformat(const char *zFormat, ...) {
  va_list ap;
  char *z;
  va_start(ap, zFormat);
  z = tarvik_vmprintf(zFormat, ap);
  va_end(ap);
  return z;
}

/* A connection as a C program uses it: exec with a callback, a result
** table, a compiled statement stepped to its end, and the messages. */
static int showRow(void *pArg, int argc, char **argv, char **azCol) {
  (void)pArg;
  if (argc > 1 && argv) printf("row %s=%s %s=%s\n", azCol[0], argv[0], azCol[1], argv[1]);
  return 1; /* one row is enough */
}

static void connection(void) {
  char *zErr = 0;
  char **az = 0;
  int nRow = 0, nCol = 0, rc, n = 0;
  tarvik_vm *pVm = 0;
  const char *zTail = 0;
  const char **azVal = 0, **azCol = 0;
  tarvik *db = tarvik_open(":memory:", 0, &zErr);
  if (db == 0) {
    printf("open failed: %s\n", zErr ? zErr : "?");
    tarvik_freemem(zErr);
    return;
  }
  rc = tarvik_exec(db, "CREATE TABLE t(a, b); CREATE INDEX i ON t(b);", 0, 0, &zErr);
  printf("exec %d\n", rc);
  rc = tarvik_exec_printf(db, "CREATE TABLE %Q(x)", 0, 0, &zErr, "t");
  printf("exec_printf %d %s\n", rc, zErr ? zErr : "");
  tarvik_freemem(zErr);
  zErr = 0;
  rc = tarvik_exec(db, "EXPLAIN CREATE TABLE u(x)", showRow, 0, &zErr);
  printf("abort %d\n", rc);
  rc = tarvik_get_table(db, "EXPLAIN BEGIN", &az, &nRow, &nCol, &zErr);
  printf("get_table %d %d columns %s %s\n", rc, nCol, az[0], az[nCol + 1]);
  tarvik_free_table(az);
  rc = tarvik_compile(db, "DROP TABLE t; -- rest", &zTail, &pVm, &zErr);
  printf("compile %d tail [%s]\n", rc, zTail);
  while ((rc = tarvik_step(pVm, &n, &azVal, &azCol)) == TARVIK_ROW) {
  }
  printf("step %d finalize %d\n", rc, tarvik_finalize(pVm, &zErr));
  tarvik_close(db);
}

int main(void) {
  int rc;
  char buf[8];

  printf("version %s %s\n", tarvik_version, tarvik_libversion());
  printf("encoding %s %s\n", tarvik_encoding, tarvik_libencoding());
  if (strcmp(tarvik_libversion(), TARVIK_VERSION) != 0) {
    printf("header and library disagree: %s\n", TARVIK_VERSION);
    return 1;
  }

  for (rc = -1; rc <= TARVIK_NOTADB + 1; rc++) {
    printf("%d %s\n", rc, tarvik_error_string(rc));
  }
  printf("%d %s\n", TARVIK_ROW, tarvik_error_string(TARVIK_ROW));
  printf("%d %s\n", TARVIK_DONE, tarvik_error_string(TARVIK_DONE));

  show(tarvik_mprintf("INSERT INTO t VALUES(%Q, '%q', %Q);", "It's", "don't", (char *)0));
  show(tarvik_mprintf("%q|%.5Q|%.3q", (char *)0, "x''''y", "ab'cd"));
  show(tarvik_mprintf("%d %5.2f %-4s| %#x %ld", -42, 3.14159, "ab", 255, -9000000000L));
  show(vformat("%s and %Q", "va_list", "form"));
  show(tarvik_mprintf("%z %y"));

  memset(buf, 'x', sizeof buf);
  tarvik_snprintf((int)sizeof buf, buf, "%s", "abcdefghij");
  printf("snprintf [%s]\n", buf);

  connection();
  printf("malloc_failed %d\n", tarvik_malloc_failed);
  return 0;
}
