/*
** The formatting core and its growable accumulator.  Other modules use
** tarvikMPrintf/tarvikVMPrintf (tarvikInt.h) or the public tarvik_mprintf
** family; this header exists for the formatter's own tests.
*/
#ifndef TARVIK_PRINTF_H
#define TARVIK_PRINTF_H

#include "tarvikInt.h"

/* Receives each piece of output.  A null text (with length 0) reports that
** output was lost because an allocation failed; the consumer is to make the
** whole result fail. */
typedef void (*tarvikPrintfOut)(void *arg, const char *zText, int nText);

/* Formats zFormat with the arguments in ap, handing the output to
** func(arg, ...).  useExtended enables the internal conversions %z, %T and
** %S.  Returns the number of bytes emitted, or -1 when the format ends in a
** lone '%' or output was lost to an allocation failure. */
int vxprintf(tarvikPrintfOut func, void *arg, int useExtended, const char *zFormat, va_list ap);

/* A text accumulator.  zText is zBase (the caller's buffer) until the first
** growth; with no xRealloc it never grows and output past nAlloc-1 bytes is
** dropped, as is all output after a lost piece.  After a failed growth
** zText is null and all output is dropped. */
struct sgMprintf {
  char *zBase;
  char *zText;
  int nChar;    /* bytes in zText, not counting the terminating zero */
  i64 nTotal;   /* bytes offered, including any dropped */
  int nAlloc;   /* capacity of zText */
  void *(*xRealloc)(void *, int);
};

void mout(void *arg, const char *zNewText, int nNewChar);

/* Runs vxprintf into an accumulator that starts in zInitBuf.  With xRealloc
** the result is always a fresh allocation (null on failure) sized to fit;
** without it the result is zInitBuf. */
char *base_vprintf(void *(*xRealloc)(void *, int), int useInternal, char *zInitBuf,
                   int nInitBuf, const char *zFormat, va_list ap);

#endif /* TARVIK_PRINTF_H */
