/*
** TEMPORARY stand-in for the formatted printer, so that parse errors can be
** formatted before the real printer (printf.cpp) exists.  It knows only what
** the front end's messages use: %s, %d, %c, %%, %.*s and %T (a Token*).
** Delete this file when printf.cpp arrives.
*/
#include <string>

#include "tarvikInt.h"

char *tarvikVMPrintf(const char *zFormat, va_list ap) {
  std::string out;
  for (const char *z = zFormat; *z; z++) {
    if (*z != '%') {
      out += *z;
      continue;
    }
    z++;
    if (*z == 0) break;
    switch (*z) {
      case '%':
        out += '%';
        break;
      case 's': {
        const char *s = va_arg(ap, const char *);
        out += s ? s : "";
        break;
      }
      case 'd':
        out += std::to_string(va_arg(ap, int));
        break;
      case 'c':
        out += (char)va_arg(ap, int);
        break;
      case 'T': {
        const Token *t = va_arg(ap, const Token *);
        if (t && t->z) out.append(t->z, t->n);
        break;
      }
      case '.':
        if (z[1] == '*' && z[2] == 's') {
          int n = va_arg(ap, int);
          const char *s = va_arg(ap, const char *);
          if (s) out.append(s, n < 0 ? strlen(s) : (size_t)n);
          z += 2;
        }
        break;
      default:
        break;
    }
  }
  char *zResult = (char *)tarvikMallocRaw((int)out.size() + 1);
  if (zResult) memcpy(zResult, out.c_str(), out.size() + 1);
  return zResult;
}

char *tarvikMPrintf(const char *zFormat, ...) {
  va_list ap;
  va_start(ap, zFormat);
  char *z = tarvikVMPrintf(zFormat, ap);
  va_end(ap);
  return z;
}
