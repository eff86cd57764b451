/*
** The engine's own formatter.  Beyond the usual conversions it has %q and %Q,
** which splice text into SQL string literals safely, and, for the engine
** only, %z (print a text, then free it), %T (a Token) and %S (an item of a
** FROM clause).
**
** Everything is produced in a fixed work buffer: widths stop at 990,
** precisions at 960, and fixed-point output falls back to exponent form when
** it would pass 970 characters, so no conversion outgrows the buffer.  Texts
** (%s, %z, %T, %S) are passed straight from the argument and may be any
** length; only %q copies, and takes a heap buffer when its escaped text does
** not fit.
*/
#include "printf.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

/* Conversion classes. */
enum : u8 {
  etRADIX = 1,       /* integers: d i u o x X p */
  etFIXED = 2,       /* f */
  etEXP = 3,         /* e E */
  etGENERIC = 4,     /* g G */
  etSIZE = 5,        /* n: store the count so far */
  etSTRING = 6,      /* s */
  etDYNSTRING = 7,   /* z: s, then free the text */
  etPERCENT = 8,     /* %% */
  etCHARX = 9,       /* c */
  etERROR = 10,      /* anything unknown */
  etSQLESCAPE = 12,  /* q */
  etSQLESCAPE2 = 13, /* Q */
  etTOKEN = 14,      /* T */
  etSRCLIST = 15,    /* S */
};

/* et_info flags. */
enum : u8 { FLAG_SIGNED = 1, FLAG_INTERN = 2 };

struct et_info {
  char fmttype;
  u8 base;
  u8 flags;
  u8 type;
  const char *charset; /* digits, or the exponent letter */
  const char *prefix;  /* alternate-form prefix, last character first */
};

constexpr const char *kDec = "0123456789";
constexpr et_info fmtinfo[] = {
    {'d', 10, FLAG_SIGNED, etRADIX, kDec, nullptr},
    {'s', 0, 0, etSTRING, nullptr, nullptr},
    {'z', 0, FLAG_INTERN, etDYNSTRING, nullptr, nullptr},
    {'q', 0, 0, etSQLESCAPE, nullptr, nullptr},
    {'Q', 0, 0, etSQLESCAPE2, nullptr, nullptr},
    {'c', 0, 0, etCHARX, nullptr, nullptr},
    {'o', 8, 0, etRADIX, "01234567", "0"},
    {'u', 10, 0, etRADIX, kDec, nullptr},
    {'x', 16, 0, etRADIX, "0123456789abcdef", "x0"},
    {'X', 16, 0, etRADIX, "0123456789ABCDEF", "X0"},
    {'f', 0, FLAG_SIGNED, etFIXED, nullptr, nullptr},
    {'e', 0, FLAG_SIGNED, etEXP, "e", nullptr},
    {'E', 0, FLAG_SIGNED, etEXP, "E", nullptr},
    {'g', 0, FLAG_SIGNED, etGENERIC, "e", nullptr},
    {'G', 0, FLAG_SIGNED, etGENERIC, "E", nullptr},
    {'i', 10, FLAG_SIGNED, etRADIX, kDec, nullptr},
    {'n', 0, 0, etSIZE, nullptr, nullptr},
    {'%', 0, 0, etPERCENT, nullptr, nullptr},
    {'p', 10, 0, etRADIX, kDec, nullptr},
    {'T', 0, FLAG_INTERN, etTOKEN, nullptr, nullptr},
    {'S', 0, FLAG_INTERN, etSRCLIST, nullptr, nullptr},
};
static_assert(sizeof(fmtinfo) / sizeof(fmtinfo[0]) == 21);

constexpr int etBUFSIZE = 1000;   /* the conversion work buffer */
constexpr int etMAXWIDTH = 990;   /* larger widths are cut to this */
constexpr int etMAXPREC = 960;    /* larger precisions are cut to this */
constexpr int etMAXFIXED = 970;   /* exponent + precision from here on: exponent form */
constexpr int etMAXEXP = 350;     /* decimal exponents beyond this print as NaN */
constexpr int etSIGDIGITS = 16;   /* significant digits produced; zeros after */

constexpr char spaces[] = "                                                  ";
static_assert(sizeof(spaces) - 1 == 50);

/* Reads a width or precision of decimal digits, saturating instead of
** overflowing (the caller cuts it to its limit anyway). */
int readNumber(const char *&fmt) {
  int n = 0;
  while (*fmt >= '0' && *fmt <= '9') {
    if (n < 100000) n = n * 10 + (*fmt - '0');
    fmt++;
  }
  return n;
}

/* |v| of an int argument without overflowing on INT_MIN. */
int absArg(int v) { return v >= 0 ? v : (v == INT_MIN ? INT_MAX : -v); }

/* Output with a running count; pieces are handed on in int-sized chunks. */
struct Emitter {
  tarvikPrintfOut func;
  void *arg;
  i64 count = 0;

  void out(const char *z, size_t n) {
    while (n > 0) {
      int k = n > (size_t)(INT_MAX / 2) ? INT_MAX / 2 : (int)n;
      func(arg, z, k);
      z += k;
      n -= (size_t)k;
      count += k;
    }
  }
  void pad(i64 n) {
    while (n > 0) {
      int k = n > 50 ? 50 : (int)n;
      out(spaces, (size_t)k);
      n -= k;
    }
  }
  void lost() { func(arg, nullptr, 0); }
};

/* One digit of a normalised value; after etSIGDIGITS digits the value's
** precision is spent and zeros follow. */
char getDigit(long double &value, int &nsd) {
  if (nsd++ >= etSIGDIGITS) return '0';
  int digit = (int)value;
  tvAssert(digit >= 0 && digit <= 9);
  value = (value - digit) * 10;
  return (char)('0' + digit);
}

/* Floating conversions into buf; returns the length.  *pNaN is set when the
** value has no decimal form (NaN, infinities), which is printed unpadded by
** zeros. */
int formatFloat(char *buf, double d, const et_info *infop, int precision, int width,
                bool flag_plussign, bool flag_blanksign, bool flag_alternateform,
                bool flag_zeropad, bool flag_leftjustify) {
  u8 xtype = infop->type;
  if (precision < 0) precision = 6;
  if (std::isnan(d)) {
    memcpy(buf, "NaN", 3);
    return 3;
  }
  long double realvalue = d;
  char prefix;
  if (realvalue < 0) {
    realvalue = -realvalue;
    prefix = '-';
  } else {
    prefix = flag_plussign ? '+' : flag_blanksign ? ' ' : 0;
  }
  if (xtype == etGENERIC && precision > 0) precision--;
  long double rounder = 0.5;
  for (int i = precision; i > 0; i--) rounder *= 0.1L;
  if (xtype == etFIXED) realvalue += rounder;

  /* Normalise into [1, 10).  Dividing by exact powers of ten rounds once
  ** per step, which keeps 16 digits honest across the whole double range. */
  int exp = 0;
  if (realvalue > 0) {
    while (realvalue >= 1e16L && exp <= etMAXEXP) {
      realvalue /= 1e16L;
      exp += 16;
    }
    while (realvalue >= 10 && exp <= etMAXEXP) {
      realvalue /= 10;
      exp++;
    }
    while (realvalue < 1e-16L && exp >= -etMAXEXP) {
      realvalue *= 1e16L;
      exp -= 16;
    }
    while (realvalue < 1 && exp >= -etMAXEXP) {
      realvalue *= 10;
      exp--;
    }
    if (exp > etMAXEXP || exp < -etMAXEXP) {
      memcpy(buf, "NaN", 3);
      return 3;
    }
  }
  if (xtype == etEXP || xtype == etGENERIC) {
    realvalue += rounder;
    if (realvalue >= 10) {
      realvalue /= 10;
      exp++;
    }
  }

  bool flag_rtz = false; /* remove trailing zeros */
  if (xtype == etGENERIC) {
    flag_rtz = !flag_alternateform;
    if (exp < -4 || exp > precision) {
      xtype = etEXP;
    } else {
      precision -= exp;
      xtype = etFIXED;
    }
  }
  if (xtype == etFIXED && exp + precision >= etMAXFIXED) xtype = etEXP;

  char *p = buf;
  int nsd = 0;
  if (prefix) *p++ = prefix;
  bool dot = precision > 0 || flag_alternateform;
  if (xtype == etFIXED) {
    int e2 = exp;
    if (e2 < 0) {
      *p++ = '0';
    } else {
      for (; e2 >= 0; e2--) *p++ = getDigit(realvalue, nsd);
    }
    if (dot) *p++ = '.';
    for (e2++; e2 < 0 && precision > 0; precision--, e2++) *p++ = '0';
    while (precision-- > 0) *p++ = getDigit(realvalue, nsd);
  } else {
    *p++ = getDigit(realvalue, nsd);
    if (dot) *p++ = '.';
    while (precision-- > 0) *p++ = getDigit(realvalue, nsd);
  }
  if (flag_rtz && dot) {
    while (p[-1] == '0') p--;
    if (p[-1] == '.') p--;
  }
  if (xtype == etEXP && (exp != 0 || infop->type == etEXP)) {
    /* %f has no letter of its own for the exponent form it may fall back to. */
    *p++ = infop->charset ? infop->charset[0] : 'e';
    if (exp < 0) {
      *p++ = '-';
      exp = -exp;
    } else {
      *p++ = '+';
    }
    if (exp >= 100) {
      *p++ = (char)('0' + exp / 100);
      exp %= 100;
    }
    *p++ = (char)('0' + exp / 10);
    *p++ = (char)('0' + exp % 10);
  }
  int length = (int)(p - buf);
  tvAssert(length < etBUFSIZE);

  /* Zero padding goes between the sign and the digits. */
  if (flag_zeropad && !flag_leftjustify && length < width) {
    int nPad = width - length;
    int lead = prefix != 0;
    memmove(buf + lead + nPad, buf + lead, (size_t)(length - lead));
    memset(buf + lead, '0', (size_t)nPad);
    length = width;
  }
  return length;
}

}  // namespace

int vxprintf(tarvikPrintfOut func, void *arg, int useExtended, const char *fmt, va_list ap) {
  Emitter e{func, arg};
  bool lostOutput = false;
  char buf[etBUFSIZE];
  if (fmt == nullptr) return 0;

  for (;;) {
    const char *zRun = fmt;
    while (*fmt && *fmt != '%') fmt++;
    if (fmt > zRun) e.out(zRun, (size_t)(fmt - zRun));
    if (*fmt == 0) break;
    fmt++; /* the '%' */
    if (*fmt == 0) {
      e.out("%", 1);
      return -1;
    }

    bool flag_leftjustify = false, flag_plussign = false, flag_blanksign = false;
    bool flag_alternateform = false, flag_zeropad = false;
    for (bool more = true; more;) {
      switch (*fmt) {
        case '-': flag_leftjustify = true; break;
        case '+': flag_plussign = true; break;
        case ' ': flag_blanksign = true; break;
        case '#': flag_alternateform = true; break;
        case '0': flag_zeropad = true; break;
        default: more = false; continue;
      }
      fmt++;
    }

    int width;
    if (*fmt == '*') {
      width = va_arg(ap, int);
      if (width < 0) {
        flag_leftjustify = true;
        width = absArg(width);
      }
      fmt++;
    } else {
      width = readNumber(fmt);
    }
    if (width > etMAXWIDTH) width = etMAXWIDTH;

    int precision = -1;
    if (*fmt == '.') {
      fmt++;
      if (*fmt == '*') {
        precision = absArg(va_arg(ap, int));
        fmt++;
      } else {
        precision = readNumber(fmt);
      }
      if (precision > etMAXPREC) precision = etMAXPREC;
    }

    /* A long argument is as wide as a pointer here; reading it as an int
    ** would take half of it. */
    bool flag_long = false;
    if (*fmt == 'l') {
      flag_long = true;
      fmt++;
    }

    char c = *fmt;
    const et_info *infop = nullptr;
    u8 xtype = etERROR;
    if (c != 0) {
      for (const et_info &info : fmtinfo) {
        if (info.fmttype == c) {
          if (useExtended || !(info.flags & FLAG_INTERN)) {
            infop = &info;
            xtype = info.type;
          }
          break;
        }
      }
      fmt++;
    }

    const char *bufpt = buf;
    size_t length = 0;
    char *zFree = nullptr; /* freed after output: the %q heap buffer or a %z text */
    bool padded = true;    /* width applies */

    switch (xtype) {
      case etRADIX: {
        u64 longvalue;
        char prefix = 0;
        if (infop->flags & FLAG_SIGNED) {
          i64 v = flag_long ? (i64)va_arg(ap, long) : (i64)va_arg(ap, int);
          if (v < 0) {
            longvalue = (u64)0 - (u64)v; /* no overflow for the most negative value */
            prefix = '-';
          } else {
            longvalue = (u64)v;
            prefix = flag_plussign ? '+' : flag_blanksign ? ' ' : 0;
          }
        } else if (infop->fmttype == 'p') {
          longvalue = (u64)(uintptr_t)va_arg(ap, void *);
        } else {
          longvalue = flag_long ? (u64)va_arg(ap, unsigned long) : (u64)va_arg(ap, unsigned int);
        }
        if (longvalue == 0) flag_alternateform = false;
        if (flag_zeropad && precision < width - (prefix != 0)) {
          precision = width - (prefix != 0);
        }
        char *end = buf + etBUFSIZE;
        char *p = end;
        do {
          *--p = infop->charset[longvalue % infop->base];
          longvalue /= infop->base;
        } while (longvalue > 0);
        for (int n = precision - (int)(end - p); n > 0; n--) *--p = '0';
        if (prefix) *--p = prefix;
        if (flag_alternateform && infop->prefix && *p != infop->prefix[0]) {
          for (const char *pre = infop->prefix; *pre; pre++) *--p = *pre;
        }
        bufpt = p;
        length = (size_t)(end - p);
        break;
      }
      case etFIXED:
      case etEXP:
      case etGENERIC:
        length = (size_t)formatFloat(buf, va_arg(ap, double), infop, precision, width,
                                     flag_plussign, flag_blanksign, flag_alternateform,
                                     flag_zeropad, flag_leftjustify);
        break;
      case etSIZE: {
        if (flag_long) {
          long *pn = va_arg(ap, long *);
          if (pn) *pn = (long)e.count;
        } else {
          int *pn = va_arg(ap, int *);
          if (pn) *pn = e.count > INT_MAX ? INT_MAX : (int)e.count;
        }
        padded = false;
        break;
      }
      case etPERCENT:
        bufpt = "%";
        length = 1;
        break;
      case etCHARX: {
        char ch = (char)va_arg(ap, int);
        if (precision >= 0) {
          memset(buf, ch, (size_t)precision);
          length = (size_t)precision;
        } else {
          buf[0] = ch;
          length = 1;
        }
        break;
      }
      case etSTRING:
      case etDYNSTRING: {
        char *z = va_arg(ap, char *);
        if (xtype == etDYNSTRING) zFree = z;
        if (z == nullptr) z = (char *)"";
        bufpt = z;
        length = precision >= 0 ? strnlen(z, (size_t)precision) : strlen(z);
        break;
      }
      case etSQLESCAPE:
      case etSQLESCAPE2: {
        const char *z = va_arg(ap, const char *);
        bool quoted = xtype == etSQLESCAPE2;
        if (z == nullptr) {
          /* NULL is an SQL keyword, never cut; (NULL) is plain text. */
          bufpt = quoted ? "NULL" : "(NULL)";
          length = strlen(bufpt);
          if (!quoted && precision >= 0 && (size_t)precision < length) length = (size_t)precision;
          break;
        }
        /* The precision limits the escaped text (inside the quotes for %Q)
        ** and never splits a doubled quote, so the result is always a whole
        ** literal. */
        size_t nIn = 0;
        u64 nEsc = 0;
        for (; z[nIn]; nIn++) {
          unsigned k = z[nIn] == '\'' ? 2 : 1;
          if (precision >= 0 && nEsc + k > (u64)precision) break;
          nEsc += k;
        }
        u64 nNeed = nEsc + (quoted ? 2 : 0) + 1;
        char *q = buf;
        if (nNeed > (u64)etBUFSIZE) {
          if (nNeed > (u64)INT_MAX) {
            tarvik_malloc_failed++; /* no int-sized buffer holds it */
            q = nullptr;
          } else {
            q = (char *)tarvikMallocRaw((int)nNeed);
          }
          if (q == nullptr) {
            e.lost();
            lostOutput = true;
            padded = false;
            break;
          }
          zFree = q;
        }
        bufpt = q;
        if (quoted) *q++ = '\'';
        for (size_t i = 0; i < nIn; i++) {
          *q++ = z[i];
          if (z[i] == '\'') *q++ = '\'';
        }
        if (quoted) *q++ = '\'';
        length = (size_t)(q - bufpt);
        break;
      }
      case etTOKEN: {
        const Token *pToken = va_arg(ap, const Token *);
        if (pToken && pToken->z) e.out(pToken->z, pToken->n);
        padded = false;
        break;
      }
      case etSRCLIST: {
        const SrcList *pSrc = va_arg(ap, const SrcList *);
        int k = va_arg(ap, int);
        tvAssert(pSrc && k >= 0 && k < pSrc->nSrc);
        const SrcList::SrcList_item *pItem = &pSrc->a[k];
        if (pItem->zDatabase && pItem->zDatabase[0]) {
          e.out(pItem->zDatabase, strlen(pItem->zDatabase));
          e.out(".", 1);
        }
        if (pItem->zName) e.out(pItem->zName, strlen(pItem->zName));
        padded = false;
        break;
      }
      default: /* etERROR */
        buf[0] = '%';
        buf[1] = c;
        length = c != 0 ? 2 : 1;
        e.out(buf, length);
        length = 0;
        padded = false;
        break;
    }

    if (padded) {
      i64 nspace = (i64)width - (i64)length;
      if (!flag_leftjustify) e.pad(nspace);
      e.out(bufpt, length);
      if (flag_leftjustify) e.pad(nspace);
    }
    tarvikFree(zFree);
  }
  if (lostOutput) return -1;
  return e.count > INT_MAX ? INT_MAX : (int)e.count;
}

/* ---------------------------------------------------------------- accumulator */

static void moutFail(sgMprintf *pM) {
  if (pM->zText != pM->zBase) pM->xRealloc(pM->zText, 0);
  pM->zText = nullptr;
  pM->nChar = 0;
  pM->nAlloc = 0;
}

void mout(void *arg, const char *zNewText, int nNewChar) {
  sgMprintf *pM = (sgMprintf *)arg;
  if (zNewText == nullptr) {
    /* Output was lost: a grown result fails as a whole, a fixed buffer keeps
    ** what it has and takes nothing more, so that it ends where the loss
    ** happened instead of joining the pieces around the hole. */
    if (pM->xRealloc && pM->zText) {
      moutFail(pM);
    } else if (pM->nAlloc > 0) {
      pM->nAlloc = pM->nChar + 1;
    }
    return;
  }
  pM->nTotal += nNewChar;
  if (pM->zText == nullptr || nNewChar <= 0) return;
  i64 nNeed = (i64)pM->nChar + nNewChar + 1;
  if (nNeed > pM->nAlloc) {
    if (pM->xRealloc == nullptr) {
      nNewChar = pM->nAlloc - pM->nChar - 1;
      if (nNewChar <= 0) return;
    } else {
      if (nNeed > INT_MAX) {
        tarvik_malloc_failed++; /* the text cannot have an int length */
        moutFail(pM);
        return;
      }
      i64 nAlloc = (i64)pM->nChar + 2 * (i64)nNewChar + 1;
      if (nAlloc > INT_MAX) nAlloc = INT_MAX;
      char *zNew;
      if (pM->zText == pM->zBase) {
        zNew = (char *)pM->xRealloc(nullptr, (int)nAlloc);
        if (zNew && pM->nChar > 0) memcpy(zNew, pM->zBase, (size_t)pM->nChar);
      } else {
        zNew = (char *)pM->xRealloc(pM->zText, (int)nAlloc);
      }
      if (zNew == nullptr) {
        moutFail(pM);
        return;
      }
      pM->zText = zNew;
      pM->nAlloc = (int)nAlloc;
    }
  }
  memcpy(pM->zText + pM->nChar, zNewText, (size_t)nNewChar);
  pM->nChar += nNewChar;
  pM->zText[pM->nChar] = 0;
}

char *base_vprintf(void *(*xRealloc)(void *, int), int useInternal, char *zInitBuf,
                   int nInitBuf, const char *zFormat, va_list ap) {
  sgMprintf s;
  s.zBase = s.zText = zInitBuf;
  s.nChar = 0;
  s.nTotal = 0;
  s.nAlloc = nInitBuf > 0 ? nInitBuf : 0;
  s.xRealloc = xRealloc;
  /* Terminated even when nothing is printed. */
  if (s.nAlloc > 0) zInitBuf[0] = 0;
  vxprintf(mout, &s, useInternal, zFormat, ap);
  if (xRealloc) {
    if (s.zText == s.zBase) {
      char *zNew = (char *)xRealloc(nullptr, s.nChar + 1);
      if (zNew) memcpy(zNew, s.zBase, (size_t)s.nChar + 1);
      s.zText = zNew;
    } else if (s.zText && s.nAlloc > s.nChar + 10) {
      /* A failed shrink leaves the larger block, which is still right. */
      char *zNew = (char *)xRealloc(s.zText, s.nChar + 1);
      if (zNew) s.zText = zNew;
    }
  }
  return s.zText;
}

/* ---------------------------------------------------------------- entry points */

static void *printf_realloc(void *p, int n) { return tarvikRealloc(p, n); }

char *tarvikVMPrintf(const char *zFormat, va_list ap) {
  char zBuf[etBUFSIZE];
  return base_vprintf(printf_realloc, 1, zBuf, (int)sizeof(zBuf), zFormat, ap);
}

char *tarvikMPrintf(const char *zFormat, ...) {
  va_list ap;
  va_start(ap, zFormat);
  char *z = tarvikVMPrintf(zFormat, ap);
  va_end(ap);
  return z;
}

/* The public forms grow through the engine's allocator as well, because the
** caller frees their results with tarvik_freemem.  Their failures are the
** host's to see in the null result: they must not raise
** tarvik_malloc_failed, which never falls again and would make every later
** open and compile report "out of memory". */
namespace {
struct KeepMallocFailed {
  int nBefore = tarvik_malloc_failed;
  ~KeepMallocFailed() { tarvik_malloc_failed = nBefore; }
};
}  // namespace

extern "C" char *tarvik_vmprintf(const char *zFormat, va_list ap) {
  KeepMallocFailed keep;
  char zBuf[200];
  return base_vprintf(printf_realloc, 0, zBuf, (int)sizeof(zBuf), zFormat, ap);
}

extern "C" char *tarvik_mprintf(const char *zFormat, ...) {
  va_list ap;
  va_start(ap, zFormat);
  char *z = tarvik_vmprintf(zFormat, ap);
  va_end(ap);
  return z;
}

/* n <= 0: zBuf is not touched.  n >= 1: zBuf is always terminated. */
extern "C" char *tarvik_snprintf(int n, char *zBuf, const char *zFormat, ...) {
  KeepMallocFailed keep;
  va_list ap;
  va_start(ap, zFormat);
  base_vprintf(nullptr, 0, zBuf, n, zFormat, ap);
  va_end(ap);
  return zBuf;
}
