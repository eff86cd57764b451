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

  printf("malloc_failed %d\n", tarvik_malloc_failed);
  return 0;
}
