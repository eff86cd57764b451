/*
** The file B-tree: many trees in one database file, kept in 1024-byte pages
** of the pager.  Each tree is named by the number of its root page.
**
** Ownership: a FileBtree owns its pager, its cursors (Close frees those still
** open) and, during a write transaction, a bitmap of the free pages.  A page
** reference is held by a cursor for its current page, by every initialised
** page on a cursor's path for its parent (MemPage.pParent), by the handle for
** page 1 while a transaction or a cursor is open, and briefly by the
** operations themselves.  The pager calls pageDestructor when a page loses its
** last reference or is reloaded under a reference; it drops the parent
** reference, so parents stay cached exactly as long as a child needs them.
**
** Every integer read from the file is treated as hostile: page numbers are
** checked against the file size, pages are validated before their cells are
** used (decodePage), descents are bounded and may not revisit a page on the
** path, chains are walked at most as far as their payload needs, and the free
** list is checked once per transaction and then tracked in memory, so a
** damaged file gives TARVIK_CORRUPT, never a crash, a hang, a write outside a
** page or a page handed out twice.
*/
#include "btree.h"

#include <algorithm>
#include <cstdio>

#include "pager.h"
#include "tarvikInt.h"

/*
** ---------------------------------------------------------------- file format
**
** All 16- and 32-bit integers are stored in the byte order of the machine that
** created the file; page 1 records it with BTREE_MAGIC written natively.  A
** handle whose host order differs sets needSwab and swaps on every access.
**
** Page 1 (the rest of the page is unused):
**   0  48  "** This file contains an Tarvik 2.1 database **" and a zero byte
**   48  4  iMagic    0xdae37528
**   52  4  freeList  first free-list trunk page, 0 if none
**   56  4  nFree     free pages (trunks and leaves)
**   60 36  aMeta     meta values 1..9
**
** Tree page:
**   +-----------+-----------+----------+------------------------------+
**   | rightChild | firstCell | firstFree | cells and free blocks ...   |
**   |  4 bytes   |  2 bytes  |  2 bytes  |  1016 bytes                 |
**   +-----------+-----------+----------+------------------------------+
**   rightChild is 0 on a leaf.  Cells are chained in key order through
**   iNext, free blocks in increasing offset order; offsets and sizes are
**   multiples of 4.
**
** Cell (12-byte header, local payload, overflow pointer):
**   0  4  leftChild  child with the smaller keys, 0 on a leaf
**   4  2  nKey       key length, low 16 bits
**   6  2  iNext      offset of the next cell, 0 for the last
**   8  1  nKeyHi     key length, bits 16-23
**   9  1  nDataHi    data length, bits 16-23
**   10 2  nData      data length, low 16 bits
**   12 .. payload    key then data; P <= 236 bytes: all of it, rounded up to 4
**                    P > 236: the first 236 bytes, then 4 bytes: first
**                    overflow page (the cell is 252 bytes)
**
** Free block: 0 2 iSize (including these 4 bytes), 2 2 iNext.
** Overflow page: 0 4 iNext (0 for the last), 4 1020 payload bytes.
** Free-list trunk: 0 4 next trunk, 4 4 leaf count (<= 254), 8 1016 leaves.
*/
namespace {

constexpr int USABLE = TARVIK_PAGE_SIZE; /* bytes of a page the tree uses */
constexpr int PAGE_HDR = 8;
constexpr int USABLE_SPACE = USABLE - PAGE_HDR; /* 1016 */
constexpr int CELL_HDR = 12;
constexpr int MX_LOCAL = 236;                         /* local payload */
constexpr int OVFL_SIZE = USABLE - 4;                 /* 1020 */
constexpr int MX_CELL_SIZE = CELL_HDR + MX_LOCAL + 4; /* 252 */
constexpr int MN_CELL_SIZE = CELL_HDR + 4;            /* 16 */
constexpr int MX_CELL = USABLE_SPACE / MN_CELL_SIZE;  /* 63 */
constexpr int MX_FREE_LEAVES = (OVFL_SIZE - 4) / 4;   /* 254 */
constexpr int MX_PART = 0xffffff;                     /* key or data length limit */
constexpr int MX_DEPTH = 40; /* far beyond any real tree: 2^31 pages need < 22 levels */
constexpr u32 BTREE_MAGIC = 0xdae37528u;

constexpr int P1_MAGIC_INT = 48;
constexpr int P1_FREELIST = 52;
constexpr int P1_NFREE = 56;
constexpr int P1_META = 60;
constexpr int P1_HDR = 96;

constexpr char zMagicHeader[] = "** This file contains an Tarvik 2.1 database **";
static_assert(sizeof(zMagicHeader) == 48, "magic text is 47 characters and a zero byte");
static_assert(MX_CELL == 63 && MX_FREE_LEAVES == 254 && MX_CELL_SIZE == 252);

enum { SKIP_NONE = 0, SKIP_NEXT = 1, SKIP_PREV = 2, SKIP_INVALID = 3 };

constexpr int roundup(int n) { return (n + 3) & ~3; }

/*
** A tree page in the cache.  aDisk is the pager's page data; the fields after
** it live in the pager's extra area, which the pager zeroes when it (re)loads
** the page, so isInit = 0 means "decode again".
*/
struct MemPage {
  u8 aDisk[USABLE];
  u8 isInit;     /* the fields below describe aDisk */
  u8 idxShift;   /* cells were added or removed since children's idxParent were set */
  u8 isOverfull; /* some apCell entry lies outside the page (only inside balance) */
  MemPage *pParent;
  int idxParent; /* index of our cell in the parent, or its nCell for its rightChild */
  int nFree;     /* free bytes */
  int nCell;
  u8 *apCell[MX_CELL + 2]; /* cells in key order (two more while overfull) */
};
constexpr int EXTRA_SIZE = (int)(sizeof(MemPage) - USABLE);

struct FileCursor;

struct FileBtree : Btree {
  Pager *pPager;
  FileCursor *pCursor; /* open cursors */
  u8 *page1;           /* page 1 while referenced */
  u8 inTrans;
  u8 inCkpt;
  u8 readOnly;
  u8 needSwab;
  /* Free pages of this transaction, one bit per page, valid while aFree is
  ** set: built from the list on disk when first needed, then kept in step. */
  u8 *aFree;
  int nFreeMap; /* bytes in aFree */
};

struct FileCursor : BtCursor {
  FileBtree *pBt;
  FileCursor *pNext, *pPrev;
  FileCursor *pShared; /* ring of cursors on the same root */
  Pgno pgnoRoot;
  MemPage *pPage; /* current page (referenced), or none */
  int idx;
  u8 wrFlag;
  u8 eSkip;
  u8 iMatch;
};

/* ---------------------------------------------------------------- integers */

inline u16 swab16(u16 x) { return (u16)((x >> 8) | (x << 8)); }
inline u32 swab32(u32 x) { return __builtin_bswap32(x); }

inline u32 get4(const FileBtree *pBt, const u8 *p) {
  u32 v;
  memcpy(&v, p, 4);
  return pBt->needSwab ? swab32(v) : v;
}
inline int get2(const FileBtree *pBt, const u8 *p) {
  u16 v;
  memcpy(&v, p, 2);
  return pBt->needSwab ? swab16(v) : v;
}
inline void put4(const FileBtree *pBt, u8 *p, u32 v) {
  if (pBt->needSwab) v = swab32(v);
  memcpy(p, &v, 4);
}
inline void put2(const FileBtree *pBt, u8 *p, int v) {
  u16 x = (u16)v;
  if (pBt->needSwab) x = swab16(x);
  memcpy(p, &x, 2);
}

/* Cell and page header fields. */
inline Pgno cellLeft(const FileBtree *pBt, const u8 *c) { return get4(pBt, c); }
inline int cellNKey(const FileBtree *pBt, const u8 *c) { return get2(pBt, c + 4) + (c[8] << 16); }
inline int cellNext(const FileBtree *pBt, const u8 *c) { return get2(pBt, c + 6); }
inline int cellNData(const FileBtree *pBt, const u8 *c) { return get2(pBt, c + 10) + (c[9] << 16); }
inline int cellPayload(const FileBtree *pBt, const u8 *c) {
  return cellNKey(pBt, c) + cellNData(pBt, c);
}
constexpr int cellSizeFor(int nPayload) {
  return CELL_HDR + (nPayload <= MX_LOCAL ? roundup(nPayload) : MX_LOCAL + 4);
}
inline int cellSize(const FileBtree *pBt, const u8 *c) { return cellSizeFor(cellPayload(pBt, c)); }
inline Pgno cellOvfl(const FileBtree *pBt, const u8 *c) {
  return get4(pBt, c + CELL_HDR + MX_LOCAL);
}
/* Overflow pages a payload of n bytes needs. */
constexpr int ovflPages(int n) {
  return n <= MX_LOCAL ? 0 : (n - MX_LOCAL + OVFL_SIZE - 1) / OVFL_SIZE;
}

inline Pgno pageRight(const FileBtree *pBt, const MemPage *p) { return get4(pBt, p->aDisk); }
inline Pgno childAt(const FileBtree *pBt, const MemPage *p, int i) {
  return i < p->nCell ? cellLeft(pBt, p->apCell[i]) : pageRight(pBt, p);
}
inline bool isLeaf(const FileBtree *pBt, const MemPage *p) { return pageRight(pBt, p) == 0; }

/* ---------------------------------------------------------------- pages */

inline int pageCount(FileBtree *pBt) {
  int n = tarvikpager_pagecount(pBt->pPager);
  return n < 0 ? 0 : n;
}
/* A page number read from the file may name a tree, overflow or free page
** only if it lies inside the file and is not page 1. */
inline bool pageInFile(FileBtree *pBt, Pgno pgno) {
  return pgno >= 2 && pgno <= (Pgno)pageCount(pBt);
}
inline Pgno pgnoOf(MemPage *p) { return tarvikpager_pagenumber(p); }

int getPage(FileBtree *pBt, Pgno pgno, MemPage **ppPage) {
  void *p = nullptr;
  int rc = tarvikpager_get(pBt->pPager, pgno, &p);
  if (rc != TARVIK_OK) {
    *ppPage = nullptr;
    return rc;
  }
  tvAssert(tarvikpager_extra(p) == (u8 *)p + USABLE);
  *ppPage = (MemPage *)p;
  return TARVIK_OK;
}
inline void releasePage(MemPage *p) {
  if (p) tarvikpager_unref(p);
}

/* Drops a page's parent reference (also called by the pager before it
** reloads a referenced page, and again for a page already cleared). */
void pageDestructor(void *pData) {
  MemPage *pPage = (MemPage *)pData;
  MemPage *pParent = pPage->pParent;
  if (pParent) {
    pPage->pParent = nullptr;
    tarvikpager_unref(pParent);
  }
}

/*
** Builds apCell, nCell and nFree from the page bytes, refusing anything a
** sound page cannot hold: offsets out of the page or not multiples of 4,
** cells or free blocks that overlap (which also ends any loop in a chain),
** more than 63 cells, free blocks smaller than 4 bytes or out of order, a
** leaf cell beside a child pointer or the reverse, and space that does not
** add up.  An all-zero page is an empty leaf.  A page that fails stays
** uninitialised.
*/
int decodePage(FileBtree *pBt, MemPage *pPage) {
  const u8 *d = pPage->aDisk;
  pPage->isInit = 0;
  pPage->nCell = 0;
  pPage->nFree = 0;
  pPage->isOverfull = 0;
  pPage->idxShift = 0;
  Pgno right = get4(pBt, d);
  int iCell = get2(pBt, d + 4);
  int iFree = get2(pBt, d + 6);
  if (iCell == 0 && iFree == 0) {
    if (right != 0) return TARVIK_CORRUPT;
    pPage->isInit = 1;
    return TARVIK_OK;
  }
  u32 aUsed[(USABLE / 4 + 31) / 32] = {0}; /* one bit per 4-byte unit */
  auto claim = [&](int off, int n) {
    for (int u = off / 4; u < (off + n) / 4; u++) {
      u32 bit = 1u << (u % 32);
      if (aUsed[u / 32] & bit) return false;
      aUsed[u / 32] |= bit;
    }
    return true;
  };
  int nCellBytes = 0;
  int nCell = 0;
  while (iCell != 0) {
    if (iCell < PAGE_HDR || iCell > USABLE - MN_CELL_SIZE || (iCell & 3) != 0) {
      return TARVIK_CORRUPT;
    }
    if (nCell >= MX_CELL) return TARVIK_CORRUPT;
    u8 *c = pPage->aDisk + iCell;
    int sz = cellSize(pBt, c);
    if (iCell + sz > USABLE || !claim(iCell, sz)) return TARVIK_CORRUPT;
    if ((cellLeft(pBt, c) == 0) != (right == 0)) return TARVIK_CORRUPT;
    pPage->apCell[nCell++] = c;
    nCellBytes += sz;
    iCell = cellNext(pBt, c);
  }
  int nFree = 0;
  int prevEnd = PAGE_HDR;
  while (iFree != 0) {
    if (iFree < prevEnd || iFree > USABLE - 4 || (iFree & 3) != 0) return TARVIK_CORRUPT;
    int sz = get2(pBt, d + iFree);
    if (sz < 4 || (sz & 3) != 0 || iFree + sz > USABLE || !claim(iFree, sz)) {
      return TARVIK_CORRUPT;
    }
    nFree += sz;
    prevEnd = iFree + sz;
    iFree = get2(pBt, d + iFree + 2);
  }
  if (nFree + nCellBytes != USABLE_SPACE) return TARVIK_CORRUPT;
  pPage->nCell = nCell;
  pPage->nFree = nFree;
  pPage->isInit = 1;
  return TARVIK_OK;
}

/*
** Gives a page its parent (taking a reference) and decodes it if needed.  A
** page already tied to a different parent, a child that is already on the
** path from the root, a path deeper than MX_DEPTH, or a root that is some
** page's child is damage.
*/
int initPage(FileBtree *pBt, MemPage *pPage, MemPage *pParent) {
  bool tookParent = false;
  if (pParent) {
    if (pPage->pParent) {
      if (pPage->pParent != pParent) return TARVIK_CORRUPT;
    } else {
      int depth = 0;
      for (MemPage *p = pParent; p; p = p->pParent) {
        if (p == pPage || ++depth > MX_DEPTH) return TARVIK_CORRUPT;
      }
      pPage->pParent = pParent;
      tarvikpager_ref(pParent);
      tookParent = true;
    }
  } else if (pPage->pParent) {
    return TARVIK_CORRUPT;
  }
  if (pPage->isInit) return TARVIK_OK;
  int rc = decodePage(pBt, pPage);
  if (rc != TARVIK_OK && tookParent) {
    pPage->pParent = nullptr;
    tarvikpager_unref(pParent);
  }
  return rc;
}

/* Gets page pgno (which must lie in the file) and initialises it. */
int getAndInitPage(FileBtree *pBt, Pgno pgno, MemPage **ppPage, MemPage *pParent) {
  *ppPage = nullptr;
  if (!pageInFile(pBt, pgno)) return TARVIK_CORRUPT;
  MemPage *pPage;
  int rc = getPage(pBt, pgno, &pPage);
  if (rc != TARVIK_OK) return rc;
  rc = initPage(pBt, pPage, pParent);
  if (rc != TARVIK_OK) {
    releasePage(pPage);
    return rc;
  }
  *ppPage = pPage;
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- space in a page */

/* Formats a page as an empty leaf: one free block covering all 1016 bytes. */
void zeroPage(FileBtree *pBt, MemPage *pPage) {
  u8 *d = pPage->aDisk;
  memset(d, 0, USABLE);
  put2(pBt, d + 6, PAGE_HDR);
  put2(pBt, d + PAGE_HDR, USABLE_SPACE);
  pPage->nFree = USABLE_SPACE;
  pPage->nCell = 0;
  pPage->isOverfull = 0;
  pPage->idxShift = 0;
  pPage->isInit = 1;
}

/* Packs the cells (in apCell order) from offset 8 and leaves one free block
** after them. */
int defragmentPage(FileBtree *pBt, MemPage *pPage) {
  u8 aNew[USABLE];
  u8 *d = pPage->aDisk;
  memcpy(aNew, d, PAGE_HDR);
  int pc = PAGE_HDR;
  for (int i = 0; i < pPage->nCell; i++) {
    u8 *c = pPage->apCell[i];
    int sz = cellSize(pBt, c);
    if (pc + sz > USABLE) return TARVIK_CORRUPT;
    memcpy(aNew + pc, c, sz);
    put2(pBt, aNew + pc + 6, i + 1 < pPage->nCell ? pc + sz : 0);
    pPage->apCell[i] = d + pc;
    pc += sz;
  }
  put2(pBt, aNew + 4, pPage->nCell > 0 ? PAGE_HDR : 0);
  if (pc < USABLE) {
    put2(pBt, aNew + 6, pc);
    put2(pBt, aNew + pc, USABLE - pc);
    put2(pBt, aNew + pc + 2, 0);
    memset(aNew + pc + 4, 0, USABLE - pc - 4);
  } else {
    put2(pBt, aNew + 6, 0);
  }
  memcpy(d, aNew, USABLE);
  pPage->nFree = USABLE - pc;
  return TARVIK_OK;
}

/* Takes nByte (a multiple of 4) from the free blocks; 0 when there is no room. */
int allocateSpace(FileBtree *pBt, MemPage *pPage, int nByte) {
  if (pPage->nFree < nByte || pPage->isOverfull) return 0;
  u8 *d = pPage->aDisk;
  bool defragged = false;
  u8 *pLink = d + 6;
  int off = get2(pBt, pLink);
  int sz = 0;
  for (int guard = 0;; guard++) {
    if (off == 0 || guard > USABLE / 4) {
      if (defragged || defragmentPage(pBt, pPage) != TARVIK_OK) return 0;
      defragged = true;
      guard = 0;
      pLink = d + 6;
      off = get2(pBt, pLink);
      continue;
    }
    sz = get2(pBt, d + off);
    if (sz >= nByte) break;
    pLink = d + off + 2;
    off = get2(pBt, pLink);
  }
  int next = get2(pBt, d + off + 2);
  if (sz == nByte) {
    put2(pBt, pLink, next);
  } else {
    int rest = off + nByte;
    put2(pBt, d + rest, sz - nByte);
    put2(pBt, d + rest + 2, next);
    put2(pBt, pLink, rest);
  }
  pPage->nFree -= nByte;
  return off;
}

/* Returns [start, start+size) to the free chain, merging with neighbours. */
void freeSpace(FileBtree *pBt, MemPage *pPage, int start, int size) {
  u8 *d = pPage->aDisk;
  u8 *pLink = d + 6;
  int prev = 0;
  int off = get2(pBt, pLink);
  while (off != 0 && off < start) {
    prev = off;
    pLink = d + off + 2;
    off = get2(pBt, pLink);
  }
  if (prev != 0 && prev + get2(pBt, d + prev) == start) {
    int nsz = get2(pBt, d + prev) + size;
    if (off != 0 && prev + nsz == off) {
      nsz += get2(pBt, d + off);
      put2(pBt, d + prev + 2, get2(pBt, d + off + 2));
    }
    put2(pBt, d + prev, nsz);
  } else {
    int nsz = size, next = off;
    if (off != 0 && start + size == off) {
      nsz += get2(pBt, d + off);
      next = get2(pBt, d + off + 2);
    }
    put2(pBt, d + start, nsz);
    put2(pBt, d + start + 2, next);
    put2(pBt, pLink, start);
  }
  pPage->nFree += size;
}

/* Sets the chain link that leads to cell i (firstCell for the first). */
inline void linkTo(FileBtree *pBt, MemPage *pPage, int i, int off) {
  put2(pBt, i == 0 ? pPage->aDisk + 4 : pPage->apCell[i - 1] + 6, off);
}

/* Puts a cell at index i of apCell: copied into the page if it fits, else
** referenced where it lies (the page becomes overfull; balance must run
** while that memory lives, and rebuilds the page).  While the page is not
** overfull the on-page chain is kept in step, so a change that needs no
** balance needs no relinking either. */
int insertCell(FileBtree *pBt, MemPage *pPage, int i, u8 *pCell, int sz) {
  if (pPage->nCell >= MX_CELL + 2 || i < 0 || i > pPage->nCell) return TARVIK_CORRUPT;
  int off = allocateSpace(pBt, pPage, sz);
  memmove(&pPage->apCell[i + 1], &pPage->apCell[i], (size_t)(pPage->nCell - i) * sizeof(u8 *));
  pPage->nCell++;
  if (off) {
    u8 *c = pPage->aDisk + off;
    memcpy(c, pCell, sz);
    pPage->apCell[i] = c;
    if (!pPage->isOverfull) {
      put2(pBt, c + 6, i + 1 < pPage->nCell ? (int)(pPage->apCell[i + 1] - pPage->aDisk) : 0);
      linkTo(pBt, pPage, i, off);
    }
  } else {
    pPage->isOverfull = 1;
    pPage->apCell[i] = pCell;
  }
  pPage->idxShift = 1;
  return TARVIK_OK;
}

inline bool cellInPage(const MemPage *pPage, const u8 *c) {
  return c >= pPage->aDisk && c < pPage->aDisk + USABLE;
}

void dropCell(FileBtree *pBt, MemPage *pPage, int i, int sz) {
  u8 *c = pPage->apCell[i];
  if (!pPage->isOverfull) {
    linkTo(pBt, pPage, i, i + 1 < pPage->nCell ? (int)(pPage->apCell[i + 1] - pPage->aDisk) : 0);
  }
  if (cellInPage(pPage, c)) freeSpace(pBt, pPage, (int)(c - pPage->aDisk), sz);
  memmove(&pPage->apCell[i], &pPage->apCell[i + 1], (size_t)(pPage->nCell - i - 1) * sizeof(u8 *));
  pPage->nCell--;
  pPage->idxShift = 1;
}

void relinkCellList(FileBtree *pBt, MemPage *pPage) {
  u8 *d = pPage->aDisk;
  put2(pBt, d + 4, pPage->nCell > 0 ? (int)(pPage->apCell[0] - d) : 0);
  for (int i = 0; i < pPage->nCell; i++) {
    int next = i + 1 < pPage->nCell ? (int)(pPage->apCell[i + 1] - d) : 0;
    put2(pBt, pPage->apCell[i] + 6, next);
  }
}

/* Packs n cells into an empty page from offset 8 on, in order, with one
** free block after them; the balance's way of filling its new pages. */
int assemblePage(FileBtree *pBt, MemPage *pPage, u8 **apCell, int *szCell, int n) {
  u8 *d = pPage->aDisk;
  int pc = PAGE_HDR;
  if (n > MX_CELL) return TARVIK_CORRUPT;
  for (int i = 0; i < n; i++) {
    if (pc + szCell[i] > USABLE) return TARVIK_CORRUPT;
    memcpy(d + pc, apCell[i], szCell[i]);
    pPage->apCell[i] = d + pc;
    pc += szCell[i];
  }
  pPage->nCell = n;
  pPage->nFree = USABLE - pc;
  pPage->isOverfull = 0;
  pPage->idxShift = 1;
  if (pc < USABLE) {
    put2(pBt, d + 6, pc);
    put2(pBt, d + pc, USABLE - pc);
    put2(pBt, d + pc + 2, 0);
  } else {
    put2(pBt, d + 6, 0);
  }
  relinkCellList(pBt, pPage);
  return TARVIK_OK;
}

/* Copies a page into a private image; cells inside the page follow it. */
void copyPage(MemPage *pTo, const MemPage *pFrom) {
  memcpy(pTo->aDisk, pFrom->aDisk, USABLE);
  pTo->pParent = nullptr;
  pTo->isInit = 1;
  pTo->nCell = pFrom->nCell;
  pTo->nFree = pFrom->nFree;
  pTo->isOverfull = pFrom->isOverfull;
  pTo->idxShift = 0;
  for (int i = 0; i < pFrom->nCell; i++) {
    const u8 *c = pFrom->apCell[i];
    pTo->apCell[i] = cellInPage(pFrom, c) ? pTo->aDisk + (c - pFrom->aDisk) : (u8 *)c;
  }
}

/* ---------------------------------------------------------------- free list */

inline bool freeBit(const FileBtree *pBt, Pgno pgno) {
  return (int)(pgno / 8) < pBt->nFreeMap && (pBt->aFree[pgno / 8] & (1 << (pgno % 8))) != 0;
}
int setFreeBit(FileBtree *pBt, Pgno pgno, bool on) {
  if ((int)(pgno / 8) >= pBt->nFreeMap) {
    if (!on) return TARVIK_OK;
    int n = (int)(pgno / 8) + 1 + 256;
    u8 *a = (u8 *)tarvikRealloc(pBt->aFree, n);
    if (!a) return TARVIK_NOMEM;
    memset(a + pBt->nFreeMap, 0, n - pBt->nFreeMap);
    pBt->aFree = a;
    pBt->nFreeMap = n;
  }
  if (on) {
    pBt->aFree[pgno / 8] |= (u8)(1 << (pgno % 8));
  } else {
    pBt->aFree[pgno / 8] &= (u8) ~(1 << (pgno % 8));
  }
  return TARVIK_OK;
}
void dropFreeMap(FileBtree *pBt) {
  tarvikFree(pBt->aFree);
  pBt->aFree = nullptr;
  pBt->nFreeMap = 0;
}

/*
** Walks the free list once and records every page on it.  A trunk or leaf
** outside the file, a page met twice (a loop), a trunk claiming more than
** 254 leaves, or a total that disagrees with nFree is damage.
*/
int loadFreeMap(FileBtree *pBt) {
  if (pBt->aFree) return TARVIK_OK;
  int nPage = pageCount(pBt);
  pBt->nFreeMap = nPage / 8 + 1 + 256;
  pBt->aFree = (u8 *)tarvikMalloc(pBt->nFreeMap);
  if (!pBt->aFree) {
    pBt->nFreeMap = 0;
    return TARVIK_NOMEM;
  }
  u32 nFree = get4(pBt, pBt->page1 + P1_NFREE);
  Pgno trunk = get4(pBt, pBt->page1 + P1_FREELIST);
  u32 nSeen = 0;
  int rc = TARVIK_OK;
  auto take = [&](Pgno pgno) {
    if (!pageInFile(pBt, pgno) || freeBit(pBt, pgno) || ++nSeen > nFree) return false;
    setFreeBit(pBt, pgno, true);
    return true;
  };
  while (trunk != 0 && rc == TARVIK_OK) {
    if (!take(trunk)) {
      rc = TARVIK_CORRUPT;
      break;
    }
    MemPage *pTrunk;
    rc = getPage(pBt, trunk, &pTrunk);
    if (rc != TARVIK_OK) break;
    u32 n = get4(pBt, pTrunk->aDisk + 4);
    if (n > (u32)MX_FREE_LEAVES) rc = TARVIK_CORRUPT;
    for (u32 i = 0; i < n && rc == TARVIK_OK; i++) {
      if (!take(get4(pBt, pTrunk->aDisk + 8 + 4 * i))) rc = TARVIK_CORRUPT;
    }
    trunk = get4(pBt, pTrunk->aDisk);
    releasePage(pTrunk);
  }
  if (rc == TARVIK_OK && nSeen != nFree) rc = TARVIK_CORRUPT;
  if (rc != TARVIK_OK) dropFreeMap(pBt);
  return rc;
}

/*
** Gives out a writeable page: a free-list leaf near `nearby` (or the first
** trunk when it has no leaves), else a new page at the end of the file.
** The caller formats it.  A page still known as a tree page (initialised in
** the cache) cannot be free: that is damage.
*/
int allocatePage(FileBtree *pBt, MemPage **ppPage, Pgno *pPgno, Pgno nearby) {
  *ppPage = nullptr;
  *pPgno = 0;
  int rc = loadFreeMap(pBt);
  if (rc != TARVIK_OK) return rc;
  u8 *p1 = pBt->page1;
  Pgno trunk = get4(pBt, p1 + P1_FREELIST);
  MemPage *pPage = nullptr;
  Pgno pgno;
  if (trunk == 0) {
    pgno = (Pgno)pageCount(pBt) + 1;
    rc = getPage(pBt, pgno, &pPage);
    if (rc != TARVIK_OK) return rc;
    rc = tarvikpager_write(pPage);
    if (rc != TARVIK_OK) {
      releasePage(pPage);
      return rc;
    }
    /* Left over from an earlier life of the page (a truncated tail). */
    pageDestructor(pPage);
    pPage->isInit = 0;
  } else {
    rc = tarvikpager_write(p1);
    if (rc != TARVIK_OK) return rc;
    put4(pBt, p1 + P1_NFREE, get4(pBt, p1 + P1_NFREE) - 1);
    MemPage *pTrunk;
    rc = getPage(pBt, trunk, &pTrunk);
    if (rc != TARVIK_OK) return rc;
    /* A trunk that is also a decoded tree page, or whose leaf count no longer
    ** fits the page (its bytes were changed as a tree page's), is damage. */
    u8 *t = pTrunk->aDisk;
    int n = (int)get4(pBt, t + 4);
    if (pTrunk->isInit || pTrunk->pParent || n < 0 || n > MX_FREE_LEAVES) {
      releasePage(pTrunk);
      return TARVIK_CORRUPT;
    }
    rc = tarvikpager_write(pTrunk);
    if (rc != TARVIK_OK) {
      releasePage(pTrunk);
      return rc;
    }
    if (n == 0) {
      pgno = trunk;
      put4(pBt, p1 + P1_FREELIST, get4(pBt, t));
      pPage = pTrunk;
    } else {
      int k = 0;
      if (n > 1 && nearby > 0) {
        auto dist = [&](int i) {
          Pgno x = get4(pBt, t + 8 + 4 * i);
          return x > nearby ? x - nearby : nearby - x;
        };
        Pgno d0 = dist(0);
        for (int i = 1; i < n; i++) {
          if (dist(i) < d0) k = i;
        }
      }
      pgno = get4(pBt, t + 8 + 4 * k);
      if (k < n - 1) memcpy(t + 8 + 4 * k, t + 8 + 4 * (n - 1), 4);
      put4(pBt, t + 4, (u32)(n - 1));
      releasePage(pTrunk);
      if (!pageInFile(pBt, pgno) || !freeBit(pBt, pgno)) return TARVIK_CORRUPT;
      rc = getPage(pBt, pgno, &pPage);
      if (rc != TARVIK_OK) return rc;
      /* A free leaf's content has no meaning, so it needs no journal, except
      ** inside a checkpoint: the checkpoint's rollback makes the page free
      ** again and must then reload it, or its bookkeeping would still call
      ** it a tree page. */
      if (!pPage->isInit && !pBt->inCkpt) tarvikpager_dont_rollback(pPage);
      rc = tarvikpager_write(pPage);
      if (rc != TARVIK_OK) {
        releasePage(pPage);
        return rc;
      }
    }
    if (pPage->isInit || pPage->pParent) {
      releasePage(pPage);
      return TARVIK_CORRUPT;
    }
    setFreeBit(pBt, pgno, false);
  }
  *ppPage = pPage;
  *pPgno = pgno;
  return TARVIK_OK;
}

/*
** Puts a page (referenced by the caller, who still releases it) on the free
** list: as a leaf of the first trunk if it has room, else as the new first
** trunk.  Freeing page 1 or 2 or a page already free is damage.
*/
int freePage(FileBtree *pBt, MemPage *pPage, Pgno pgno) {
  if (pgno <= 2 || !pageInFile(pBt, pgno)) return TARVIK_CORRUPT;
  int rc = loadFreeMap(pBt);
  if (rc != TARVIK_OK) return rc;
  if (freeBit(pBt, pgno)) return TARVIK_CORRUPT;
  rc = setFreeBit(pBt, pgno, true);
  if (rc != TARVIK_OK) return rc;
  pPage->isInit = 0;
  pageDestructor(pPage);
  u8 *p1 = pBt->page1;
  rc = tarvikpager_write(p1);
  if (rc != TARVIK_OK) return rc;
  put4(pBt, p1 + P1_NFREE, get4(pBt, p1 + P1_NFREE) + 1);
  Pgno trunk = get4(pBt, p1 + P1_FREELIST);
  if (trunk != 0) {
    MemPage *pTrunk;
    if (getPage(pBt, trunk, &pTrunk) == TARVIK_OK) {
      if (pTrunk->isInit || pTrunk->pParent) {
        /* Also a decoded tree page: writing leaves into it would change a
        ** page whose cells are in use. */
        releasePage(pTrunk);
        return TARVIK_CORRUPT;
      }
      u8 *t = pTrunk->aDisk;
      u32 n = get4(pBt, t + 4);
      if (n < (u32)MX_FREE_LEAVES && tarvikpager_write(pTrunk) == TARVIK_OK) {
        put4(pBt, t + 8 + 4 * n, pgno);
        put4(pBt, t + 4, n + 1);
        releasePage(pTrunk);
        /* A free leaf is neither written nor journaled.  Inside a checkpoint,
        ** though, the checkpoint's rollback may bring the page back into
        ** use: its content is saved for that (and then written as usual), so
        ** a reuse within the checkpoint cannot lose it. */
        if (pBt->inCkpt) return tarvikpager_write(pPage);
        tarvikpager_dont_write(pBt->pPager, pgno);
        return TARVIK_OK;
      }
      releasePage(pTrunk);
    }
  }
  rc = tarvikpager_write(pPage);
  if (rc != TARVIK_OK) return rc;
  put4(pBt, pPage->aDisk, trunk);
  memset(pPage->aDisk + 4, 0, USABLE - 4);
  put4(pBt, p1 + P1_FREELIST, pgno);
  return TARVIK_OK;
}

/* Gets page pgno and frees it. */
int freePageByNumber(FileBtree *pBt, Pgno pgno) {
  if (!pageInFile(pBt, pgno)) return TARVIK_CORRUPT;
  MemPage *pPage;
  int rc = getPage(pBt, pgno, &pPage);
  if (rc != TARVIK_OK) return rc;
  rc = freePage(pBt, pPage, pgno);
  releasePage(pPage);
  return rc;
}

/* ---------------------------------------------------------------- payload */

/*
** Calls xChunk(bytes, n) for consecutive pieces of payload [offset,
** offset+amt) of a cell, local bytes first, then overflow pages (at most as
** many as the payload needs).  Stops early when xChunk returns false.  A
** chain that ends too soon or leaves the file is TARVIK_CORRUPT.
*/
template <typename F>
int forPayload(FileBtree *pBt, const u8 *c, int offset, int amt, F &&xChunk) {
  int nPayload = cellPayload(pBt, c);
  if (offset < 0 || amt <= 0 || offset >= nPayload) return TARVIK_OK;
  if (amt > nPayload - offset) amt = nPayload - offset;
  if (offset < MX_LOCAL) {
    int n = std::min(amt, MX_LOCAL - offset);
    if (!xChunk(c + CELL_HDR + offset, n)) return TARVIK_OK;
    offset += n;
    amt -= n;
  }
  if (amt == 0) return TARVIK_OK;
  offset -= MX_LOCAL;
  Pgno pgno = cellOvfl(pBt, c);
  int nLeft = ovflPages(nPayload);
  while (amt > 0) {
    if (nLeft-- <= 0 || !pageInFile(pBt, pgno)) return TARVIK_CORRUPT;
    MemPage *pOvfl;
    int rc = getPage(pBt, pgno, &pOvfl);
    if (rc != TARVIK_OK) return rc;
    bool more = true;
    if (offset < OVFL_SIZE) {
      int n = std::min(amt, OVFL_SIZE - offset);
      more = xChunk(pOvfl->aDisk + 4 + offset, n);
      amt -= n;
      offset = 0;
    } else {
      offset -= OVFL_SIZE;
    }
    pgno = get4(pBt, pOvfl->aDisk);
    releasePage(pOvfl);
    if (!more) break;
  }
  return TARVIK_OK;
}

/* Copies payload bytes; *pGot = the bytes actually delivered. */
int readPayload(FileBtree *pBt, const u8 *c, int offset, int amt, u8 *zBuf, int *pGot) {
  int got = 0;
  int rc = forPayload(pBt, c, offset, amt, [&](const u8 *p, int n) {
    memcpy(zBuf + got, p, n);
    got += n;
    return true;
  });
  *pGot = got;
  return rc;
}

/*
** Compares the key of a cell, less its last nIgnore bytes, with pKey: the
** first difference of unsigned bytes decides, else the shorter sorts first.
*/
int compareCellKey(FileBtree *pBt, const u8 *c, const void *pKey, int nKey, int nIgnore,
                   int *pRes) {
  int nCellKey = cellNKey(pBt, c) - nIgnore;
  if (nCellKey < 0) nCellKey = 0;
  int n = std::min(nCellKey, nKey);
  const u8 *k = (const u8 *)pKey;
  if (n <= MX_LOCAL) {
    int x = n > 0 ? memcmp(c + CELL_HDR, k, n) : 0;
    *pRes = x != 0 ? x : nCellKey - nKey;
    return TARVIK_OK;
  }
  int diff = 0, done = 0;
  int rc = forPayload(pBt, c, 0, n, [&](const u8 *p, int m) {
    diff = memcmp(p, k + done, m);
    done += m;
    return diff == 0;
  });
  if (rc != TARVIK_OK) return rc;
  if (diff == 0 && done != n) return TARVIK_CORRUPT;
  *pRes = diff != 0 ? diff : nCellKey - nKey;
  return TARVIK_OK;
}

/*
** Frees the overflow chain of a cell: at most the pages its payload needs,
** each checked to lie in the file, not to be a tree page and not to be free
** already, so a looping or shared chain is damage instead of a double free.
*/
int clearCell(FileBtree *pBt, const u8 *c, bool bLenient = false) {
  int nPayload = cellPayload(pBt, c);
  int nLeft = ovflPages(nPayload);
  if (nLeft == 0) return TARVIK_OK;
  Pgno pgno = cellOvfl(pBt, c);
  while (nLeft-- > 0) {
    if (pgno == 0 && bLenient) return TARVIK_OK;
    if (!pageInFile(pBt, pgno)) return TARVIK_CORRUPT;
    MemPage *pOvfl;
    int rc = getPage(pBt, pgno, &pOvfl);
    if (rc != TARVIK_OK) return rc;
    if (pOvfl->isInit) {
      releasePage(pOvfl);
      return TARVIK_CORRUPT;
    }
    Pgno next = get4(pBt, pOvfl->aDisk);
    rc = freePage(pBt, pOvfl, pgno);
    releasePage(pOvfl);
    if (rc != TARVIK_OK) return rc;
    pgno = next;
  }
  return TARVIK_OK;
}

/*
** Builds the cell for an entry in pCell (MX_CELL_SIZE bytes), writing the
** payload past 236 bytes to new overflow pages.  *pSize = the cell's size.
*/
int fillInCell(FileBtree *pBt, u8 *pCell, const void *pKey, int nKey, const void *pData, int nData,
               int *pSize) {
  memset(pCell, 0, MX_CELL_SIZE);
  put2(pBt, pCell + 4, nKey & 0xffff);
  pCell[8] = (u8)(nKey >> 16);
  pCell[9] = (u8)(nData >> 16);
  put2(pBt, pCell + 10, nData & 0xffff);
  int nPayload = nKey + nData;
  *pSize = cellSizeFor(nPayload);
  const u8 *k = (const u8 *)pKey, *dd = (const u8 *)pData;
  /* Copies payload bytes [from, from+n) into zOut. */
  auto copyOut = [&](u8 *zOut, int from, int n) {
    if (from < nKey) {
      int m = std::min(n, nKey - from);
      memcpy(zOut, k + from, m);
      zOut += m;
      from += m;
      n -= m;
    }
    if (n > 0) memcpy(zOut, dd + (from - nKey), n);
  };
  copyOut(pCell + CELL_HDR, 0, std::min(nPayload, MX_LOCAL));
  if (nPayload <= MX_LOCAL) return TARVIK_OK;
  u8 *pLink = pCell + CELL_HDR + MX_LOCAL;
  MemPage *pPrev = nullptr;
  Pgno pgnoPrev = 0;
  int rc = TARVIK_OK;
  for (int done = MX_LOCAL; done < nPayload; done += OVFL_SIZE) {
    MemPage *pOvfl;
    Pgno pgno;
    rc = allocatePage(pBt, &pOvfl, &pgno, pgnoPrev);
    if (rc != TARVIK_OK) break;
    put4(pBt, pLink, pgno);
    releasePage(pPrev);
    pPrev = pOvfl;
    pgnoPrev = pgno;
    int n = std::min(OVFL_SIZE, nPayload - done);
    put4(pBt, pOvfl->aDisk, 0);
    copyOut(pOvfl->aDisk + 4, done, n);
    if (n < OVFL_SIZE) memset(pOvfl->aDisk + 4 + n, 0, OVFL_SIZE - n);
    pLink = pOvfl->aDisk;
  }
  releasePage(pPrev);
  if (rc != TARVIK_OK) clearCell(pBt, pCell, true);
  return rc;
}

/* ---------------------------------------------------------------- parents */

/* If page pgno is cached and initialised, makes pNewParent its parent. */
int reparentPage(FileBtree *pBt, Pgno pgno, MemPage *pNewParent, int idx) {
  if (pgno == 0) return TARVIK_OK;
  MemPage *pPage = (MemPage *)tarvikpager_lookup(pBt->pPager, pgno);
  if (!pPage) return TARVIK_OK;
  int rc = TARVIK_OK;
  if (pPage->isInit) {
    int depth = 0;
    for (MemPage *p = pNewParent; p; p = p->pParent) {
      if (p == pPage || ++depth > MX_DEPTH) rc = TARVIK_CORRUPT;
      if (rc) break;
    }
    if (rc == TARVIK_OK && pPage->pParent != pNewParent) {
      tarvikpager_ref(pNewParent);
      pageDestructor(pPage);
      pPage->pParent = pNewParent;
    }
    pPage->idxParent = idx;
  }
  releasePage(pPage);
  return rc;
}

int reparentChildPages(FileBtree *pBt, MemPage *pPage) {
  int rc = TARVIK_OK;
  if (!isLeaf(pBt, pPage)) {
    for (int i = 0; i <= pPage->nCell && rc == TARVIK_OK; i++) {
      rc = reparentPage(pBt, childAt(pBt, pPage, i), pPage, i);
    }
  }
  pPage->idxShift = 0;
  return rc;
}

/* ---------------------------------------------------------------- balance */

constexpr int NB = 3;                                /* siblings balanced at once */
constexpr int MX_BAL_CELL = NB * (MX_CELL + 2) + NB; /* their cells and dividers */

/*
** Redistributes the cells of pPage (writeable, possibly overfull) and up to
** two neighbours over as many pages as they need, each at least half full,
** then balances the parent, which gained or lost dividers.  Overfull cells
** may point into this frame's buffers, so every page is sound again before
** the outermost call returns; on failure the pages involved are left
** uninitialised and the transaction must be rolled back.
*/
int balanceStep(FileBtree *pBt, MemPage *pPage, int depth);

int balance(FileBtree *pBt, MemPage *pPage, int depth) {
  int rc = balanceStep(pBt, pPage, depth);
  if (rc != TARVIK_OK && pPage->isOverfull) {
    pPage->isInit = 0;
    pPage->nCell = 0;
    pPage->isOverfull = 0;
  }
  return rc;
}

int balanceStep(FileBtree *pBt, MemPage *pPage, int depth) {
  if (depth > MX_DEPTH) return TARVIK_CORRUPT;
  /* "Half full" here is half the page (512 free bytes), not half the cell
  ** area that the split below evens out to; the two thresholds differ and
  ** decide the page layouts other writers of the format produce. */
  if (!pPage->isOverfull && pPage->nFree < TARVIK_PAGE_SIZE / 2 && pPage->nCell >= 2) {
    return TARVIK_OK; /* the chain is in step already (insertCell, dropCell) */
  }
  int rc = TARVIK_OK;
  MemPage *pParent = pPage->pParent;
  MemPage *pGrown = nullptr; /* the root's new child, when the root grew */
  if (!pParent) {
    if (pPage->nCell == 0) {
      Pgno right = pageRight(pBt, pPage);
      if (right == 0) {
        relinkCellList(pBt, pPage);
        return TARVIK_OK;
      }
      /* The root lost its last divider: its only child moves up. */
      MemPage *pChild;
      rc = getAndInitPage(pBt, right, &pChild, pPage);
      if (rc != TARVIK_OK) return rc;
      memcpy(pPage->aDisk, pChild->aDisk, USABLE);
      rc = decodePage(pBt, pPage);
      if (rc == TARVIK_OK) rc = reparentChildPages(pBt, pPage);
      if (rc == TARVIK_OK) rc = freePage(pBt, pChild, right);
      releasePage(pChild);
      return rc;
    }
    if (!pPage->isOverfull) {
      relinkCellList(pBt, pPage);
      return TARVIK_OK;
    }
    /* An overfull root: move its content down into a new child and split
    ** that, the root keeping only the dividers. */
    Pgno pgnoChild;
    rc = allocatePage(pBt, &pGrown, &pgnoChild, pgnoOf(pPage));
    if (rc != TARVIK_OK) return rc;
    copyPage(pGrown, pPage);
    pGrown->pParent = pPage;
    tarvikpager_ref(pPage);
    pGrown->idxParent = 0;
    zeroPage(pBt, pPage);
    put4(pBt, pPage->aDisk, pgnoChild);
    pParent = pPage;
    pPage = pGrown;
  }
  rc = tarvikpager_write(pParent);
  if (rc != TARVIK_OK) {
    releasePage(pGrown);
    return rc;
  }
  tarvikpager_ref(pParent);

  MemPage *apOld[NB] = {};
  Pgno pgnoOld[NB] = {};
  MemPage *apNew[NB + 1] = {};
  Pgno pgnoNew[NB + 1] = {};
  int nOld = 0, nNew = 0;
  MemPage aOld[NB];            /* private images of the old siblings */
  u8 aSpace[NB][MX_CELL_SIZE]; /* dividers taken out of the parent */
  u8 *apCell[MX_BAL_CELL];
  int szCell[MX_BAL_CELL];
  int cntNew[NB + 1], szNew[NB + 1];
  int nCell = 0, k = 0, nxDiv = 0, nxDivFirst = 0;

  /* Where pPage hangs in the parent. */
  Pgno pgno = pgnoOf(pPage);
  int idx = -1;
  if (pPage->idxParent >= 0 && pPage->idxParent <= pParent->nCell &&
      childAt(pBt, pParent, pPage->idxParent) == pgno) {
    idx = pPage->idxParent;
  } else {
    for (int i = 0; i <= pParent->nCell; i++) {
      if (childAt(pBt, pParent, i) == pgno) {
        idx = i;
        break;
      }
    }
  }
  if (idx < 0) {
    rc = TARVIK_CORRUPT;
    goto cleanup;
  }

  /* The siblings: pPage and up to one neighbour on each side. */
  nxDiv = idx - 1;
  if (nxDiv + NB > pParent->nCell) nxDiv = pParent->nCell - (NB - 1);
  if (nxDiv < 0) nxDiv = 0;
  for (int i = 0, kk = nxDiv; i < NB && kk <= pParent->nCell; i++, kk++) {
    pgnoOld[i] = childAt(pBt, pParent, kk);
    for (int j = 0; j < i; j++) {
      if (pgnoOld[j] == pgnoOld[i]) rc = TARVIK_CORRUPT;
    }
    if (rc == TARVIK_OK) rc = getAndInitPage(pBt, pgnoOld[i], &apOld[i], pParent);
    if (rc != TARVIK_OK) goto cleanup;
    apOld[i]->idxParent = kk;
    nOld++;
  }

  /* Gather every cell, with the dividers between the siblings, in order. */
  for (int i = 0; i < nOld; i++) copyPage(&aOld[i], apOld[i]);
  for (int i = 0; i < nOld; i++) {
    for (int j = 0; j < aOld[i].nCell; j++) {
      apCell[nCell] = aOld[i].apCell[j];
      szCell[nCell] = cellSize(pBt, apCell[nCell]);
      nCell++;
    }
    if (i < nOld - 1) {
      u8 *pDiv = pParent->apCell[nxDiv];
      int sz = cellSize(pBt, pDiv);
      memcpy(aSpace[i], pDiv, sz);
      put4(pBt, aSpace[i], pageRight(pBt, &aOld[i]));
      apCell[nCell] = aSpace[i];
      szCell[nCell] = sz;
      nCell++;
      dropCell(pBt, pParent, nxDiv, sz);
    }
  }

  /* Split into pages, then even out from the right so that every page but
  ** the first holds at least half a page of cells. */
  {
    int subtotal = 0;
    for (int i = 0; i < nCell; i++) {
      if (subtotal + szCell[i] > USABLE_SPACE) {
        if (k >= NB) {
          rc = TARVIK_CORRUPT;
          goto cleanup;
        }
        szNew[k] = subtotal;
        cntNew[k] = i;
        k++;
        subtotal = 0;
      } else {
        subtotal += szCell[i];
      }
    }
    szNew[k] = subtotal;
    cntNew[k] = nCell;
    k++;
    for (int i = k - 1; i > 0; i--) {
      while (szNew[i] < USABLE_SPACE / 2) {
        int first = i - 1 == 0 ? 0 : cntNew[i - 2] + 1;
        if (cntNew[i - 1] - first < 2) break;
        cntNew[i - 1]--;
        szNew[i] += szCell[cntNew[i - 1] + 1];
        szNew[i - 1] -= szCell[cntNew[i - 1]];
      }
    }
  }

  /* Pages: the old siblings again, then new ones; free what is left over. */
  for (int i = 0; i < k; i++) {
    if (i < nOld) {
      apNew[i] = apOld[i];
      pgnoNew[i] = pgnoOld[i];
      tarvikpager_ref(apNew[i]);
      nNew++;
      rc = tarvikpager_write(apNew[i]);
    } else {
      rc = allocatePage(pBt, &apNew[i], &pgnoNew[i], pgnoNew[i - 1]);
      if (rc == TARVIK_OK) nNew++;
    }
    if (rc != TARVIK_OK) goto cleanup;
    zeroPage(pBt, apNew[i]);
  }
  for (int i = k; i < nOld; i++) {
    rc = freePage(pBt, apOld[i], pgnoOld[i]);
    if (rc != TARVIK_OK) goto cleanup;
  }
  /* Lay a level out in file order as far as the page numbers allow. */
  for (int i = 0; i < nNew - 1; i++) {
    int iMin = i;
    for (int j = i + 1; j < nNew; j++) {
      if (pgnoNew[j] < pgnoNew[iMin]) iMin = j;
    }
    if (iMin != i) {
      std::swap(pgnoNew[i], pgnoNew[iMin]);
      std::swap(apNew[i], apNew[iMin]);
    }
  }

  /* Fill the pages; the cell after each page but the last goes up into the
  ** parent as its divider. */
  nxDivFirst = nxDiv;
  {
    int j = 0;
    for (int i = 0; i < nNew; i++) {
      MemPage *pNew = apNew[i];
      rc = assemblePage(pBt, pNew, &apCell[j], &szCell[j], cntNew[i] - j);
      if (rc != TARVIK_OK) goto cleanup;
      j = cntNew[i];
      if (i < nNew - 1 && j < nCell) {
        u8 *pDiv = apCell[j];
        put4(pBt, pNew->aDisk, cellLeft(pBt, pDiv));
        put4(pBt, pDiv, pgnoNew[i]);
        rc = insertCell(pBt, pParent, nxDiv, pDiv, szCell[j]);
        if (rc != TARVIK_OK) goto cleanup;
        j++;
        nxDiv++;
      }
    }
  }
  put4(pBt, apNew[nNew - 1]->aDisk, pageRight(pBt, &aOld[nOld - 1]));
  if (nxDiv == pParent->nCell) {
    put4(pBt, pParent->aDisk, pgnoNew[nNew - 1]);
  } else {
    put4(pBt, pParent->apCell[nxDiv], pgnoNew[nNew - 1]);
  }

  /* Children that moved get their new parent.  Of the parent's children only
  ** the new pages need it: the others keep their parent, and idxParent is
  ** only a hint that every user checks against the parent's pointers. */
  for (int i = 0; i < nNew && rc == TARVIK_OK; i++) rc = reparentChildPages(pBt, apNew[i]);
  for (int i = 0; i < nNew && rc == TARVIK_OK; i++) {
    rc = reparentPage(pBt, pgnoNew[i], pParent, nxDivFirst + i);
  }
  pParent->idxShift = 0;
  if (rc == TARVIK_OK) rc = balance(pBt, pParent, depth + 1);

cleanup:
  if (rc != TARVIK_OK) {
    /* Cells may point into this frame: nothing may read these pages again
    ** before the rollback reloads them. */
    for (MemPage *p : {pParent, pPage}) p->isInit = 0, p->nCell = 0, p->isOverfull = 0;
    for (int i = 0; i < nNew; i++) apNew[i]->isInit = 0, apNew[i]->nCell = 0;
  }
  for (int i = 0; i < nOld; i++) releasePage(apOld[i]);
  for (int i = 0; i < nNew; i++) releasePage(apNew[i]);
  releasePage(pParent);
  releasePage(pGrown);
  return rc;
}

/* ---------------------------------------------------------------- locking and transactions */

int lockBtree(FileBtree *pBt) {
  if (pBt->page1) return TARVIK_OK;
  MemPage *p1;
  int rc = getPage(pBt, 1, &p1);
  if (rc != TARVIK_OK) return rc;
  const u8 *d = p1->aDisk;
  if (pageCount(pBt) > 0) {
    u32 m;
    memcpy(&m, d + P1_MAGIC_INT, 4);
    if (memcmp(d, zMagicHeader, sizeof(zMagicHeader)) != 0 ||
        (m != BTREE_MAGIC && swab32(m) != BTREE_MAGIC)) {
      releasePage(p1);
      return TARVIK_NOTADB;
    }
    pBt->needSwab = m != BTREE_MAGIC;
  } else {
    pBt->needSwab = 0;
  }
  pBt->page1 = p1->aDisk;
  return TARVIK_OK;
}

void unlockBtreeIfUnused(FileBtree *pBt) {
  if (!pBt->inTrans && !pBt->pCursor && pBt->page1) {
    u8 *p = pBt->page1;
    pBt->page1 = nullptr;
    pBt->inTrans = pBt->inCkpt = 0;
    releasePage((MemPage *)p);
  }
}

/* Writes page 1's header and an empty page 2 into a file with fewer than two
** pages. */
int newDatabase(FileBtree *pBt) {
  if (pageCount(pBt) >= 2) return TARVIK_OK;
  u8 *p1 = pBt->page1;
  int rc = tarvikpager_write(p1);
  if (rc != TARVIK_OK) return rc;
  MemPage *p2;
  rc = getPage(pBt, 2, &p2);
  if (rc != TARVIK_OK) return rc;
  rc = tarvikpager_write(p2);
  if (rc == TARVIK_OK) {
    pBt->needSwab = 0;
    memset(p1, 0, P1_HDR);
    memcpy(p1, zMagicHeader, sizeof(zMagicHeader));
    put4(pBt, p1 + P1_MAGIC_INT, BTREE_MAGIC);
    zeroPage(pBt, p2);
  }
  releasePage(p2);
  return rc;
}

inline int notInTrans(FileBtree *pBt) { return pBt->readOnly ? TARVIK_READONLY : TARVIK_ERROR; }

int moveToRoot(FileCursor *pCur);

/* Cursors give up their pages before the pager reloads pages (rollback):
** afterwards they are unpositioned on their root, or pageless when the root
** is gone or no longer a tree page. */
void releaseCursorPages(FileBtree *pBt) {
  for (FileCursor *p = pBt->pCursor; p; p = p->pNext) {
    releasePage(p->pPage);
    p->pPage = nullptr;
  }
}
void restoreCursors(FileBtree *pBt) {
  for (FileCursor *p = pBt->pCursor; p; p = p->pNext) {
    p->idx = 0;
    p->eSkip = SKIP_INVALID;
    if (moveToRoot(p) != TARVIK_OK) p->pPage = nullptr;
  }
}

}  // namespace

/* ================================================================ BtOps */

namespace {

inline FileBtree *asFile(Btree *p) { return static_cast<FileBtree *>(p); }
inline FileCursor *asCur(BtCursor *p) { return static_cast<FileCursor *>(p); }

int fileBtreeCloseCursor(BtCursor *);

int fileBtreeClose(Btree *p) {
  FileBtree *pBt = asFile(p);
  while (pBt->pCursor) fileBtreeCloseCursor(pBt->pCursor);
  if (pBt->page1) {
    releasePage((MemPage *)pBt->page1);
    pBt->page1 = nullptr;
  }
  dropFreeMap(pBt);
  tarvikpager_close(pBt->pPager);
  tarvikFree(pBt);
  return TARVIK_OK;
}

int fileBtreeSetCacheSize(Btree *p, int n) {
  tarvikpager_set_cachesize(asFile(p)->pPager, n);
  return TARVIK_OK;
}
int fileBtreeSetSafetyLevel(Btree *p, int level) {
  tarvikpager_set_safety_level(asFile(p)->pPager, level);
  return TARVIK_OK;
}

int fileBtreeBeginTrans(Btree *p) {
  FileBtree *pBt = asFile(p);
  if (pBt->inTrans) return TARVIK_ERROR;
  if (pBt->readOnly) return TARVIK_READONLY;
  int rc = lockBtree(pBt);
  if (rc != TARVIK_OK) return rc;
  rc = tarvikpager_begin(pBt->page1);
  if (rc == TARVIK_OK) rc = newDatabase(pBt);
  if (rc == TARVIK_OK) {
    pBt->inTrans = 1;
    pBt->inCkpt = 0;
  } else {
    unlockBtreeIfUnused(pBt);
  }
  dropFreeMap(pBt);
  return rc;
}

int fileBtreeCommit(Btree *p) {
  FileBtree *pBt = asFile(p);
  int rc = TARVIK_OK;
  if (pBt->inTrans && !pBt->readOnly) rc = tarvikpager_commit(pBt->pPager);
  pBt->inTrans = pBt->inCkpt = 0;
  dropFreeMap(pBt);
  unlockBtreeIfUnused(pBt);
  return rc;
}

int fileBtreeRollback(Btree *p) {
  FileBtree *pBt = asFile(p);
  if (!pBt->inTrans) return TARVIK_OK;
  pBt->inTrans = pBt->inCkpt = 0;
  dropFreeMap(pBt);
  releaseCursorPages(pBt);
  int rc = pBt->readOnly ? TARVIK_OK : tarvikpager_rollback(pBt->pPager);
  restoreCursors(pBt);
  unlockBtreeIfUnused(pBt);
  return rc;
}

int fileBtreeBeginCkpt(Btree *p) {
  FileBtree *pBt = asFile(p);
  if (!pBt->inTrans || pBt->inCkpt) return pBt->readOnly ? TARVIK_READONLY : TARVIK_ERROR;
  int rc = pBt->readOnly ? TARVIK_OK : tarvikpager_ckpt_begin(pBt->pPager);
  if (rc == TARVIK_OK) pBt->inCkpt = 1;
  return rc;
}

int fileBtreeCommitCkpt(Btree *p) {
  FileBtree *pBt = asFile(p);
  int rc = TARVIK_OK;
  if (pBt->inCkpt && !pBt->readOnly) rc = tarvikpager_ckpt_commit(pBt->pPager);
  pBt->inCkpt = 0;
  return rc;
}

int fileBtreeRollbackCkpt(Btree *p) {
  FileBtree *pBt = asFile(p);
  if (!pBt->inCkpt || pBt->readOnly) {
    pBt->inCkpt = 0;
    return TARVIK_OK;
  }
  pBt->inCkpt = 0;
  dropFreeMap(pBt);
  releaseCursorPages(pBt);
  int rc = tarvikpager_ckpt_rollback(pBt->pPager);
  restoreCursors(pBt);
  return rc;
}

/* ---------------------------------------------------------------- cursors: moving */

/* The cursor's page, unless a reload (rollback) took it: then the cursor
** lets it go and has none. */
bool cursorHasPage(FileCursor *pCur) {
  if (pCur->pPage && !pCur->pPage->isInit) {
    releasePage(pCur->pPage);
    pCur->pPage = nullptr;
  }
  return pCur->pPage != nullptr;
}

int moveToRoot(FileCursor *pCur) {
  MemPage *pRoot;
  FileBtree *pBt = pCur->pBt;
  int rc;
  if (pCur->pgnoRoot == 2 && pageCount(pBt) < 2) {
    /* A database not yet written: page 2 reads as an empty page. */
    rc = getPage(pBt, 2, &pRoot);
    if (rc == TARVIK_OK) {
      rc = initPage(pBt, pRoot, nullptr);
      if (rc != TARVIK_OK) releasePage(pRoot);
    }
  } else {
    rc = getAndInitPage(pBt, pCur->pgnoRoot, &pRoot, nullptr);
  }
  if (rc != TARVIK_OK) return rc;
  releasePage(pCur->pPage);
  pCur->pPage = pRoot;
  pCur->idx = 0;
  return TARVIK_OK;
}

int moveToChild(FileCursor *pCur, Pgno pgnoChild) {
  FileBtree *pBt = pCur->pBt;
  MemPage *pChild;
  int rc = getAndInitPage(pBt, pgnoChild, &pChild, pCur->pPage);
  if (rc != TARVIK_OK) return rc;
  pChild->idxParent = pCur->idx;
  pCur->pPage->idxShift = 0;
  releasePage(pCur->pPage);
  pCur->pPage = pChild;
  pCur->idx = 0;
  return pChild->nCell == 0 ? TARVIK_CORRUPT : TARVIK_OK;
}

/* Climbs to the parent, onto the cell whose child the cursor came from. */
void moveToParent(FileCursor *pCur) {
  FileBtree *pBt = pCur->pBt;
  MemPage *pPage = pCur->pPage;
  MemPage *pParent = pPage->pParent;
  Pgno pgno = pgnoOf(pPage);
  int idx = pPage->idxParent;
  tarvikpager_ref(pParent);
  releasePage(pPage);
  pCur->pPage = pParent;
  if (idx < 0 || idx > pParent->nCell || childAt(pBt, pParent, idx) != pgno) {
    idx = pParent->nCell;
    for (int i = 0; i < pParent->nCell; i++) {
      if (cellLeft(pBt, pParent->apCell[i]) == pgno) {
        idx = i;
        break;
      }
    }
  }
  pCur->idx = idx;
}

int moveToLeftmost(FileCursor *pCur) {
  FileBtree *pBt = pCur->pBt;
  while (pCur->idx < pCur->pPage->nCell) {
    Pgno pgno = cellLeft(pBt, pCur->pPage->apCell[pCur->idx]);
    if (pgno == 0) return TARVIK_OK;
    int rc = moveToChild(pCur, pgno);
    if (rc != TARVIK_OK) return rc;
  }
  return TARVIK_CORRUPT;
}

int moveToRightmost(FileCursor *pCur) {
  FileBtree *pBt = pCur->pBt;
  Pgno pgno;
  while ((pgno = pageRight(pBt, pCur->pPage)) != 0) {
    pCur->idx = pCur->pPage->nCell;
    int rc = moveToChild(pCur, pgno);
    if (rc != TARVIK_OK) return rc;
  }
  pCur->idx = pCur->pPage->nCell - 1;
  return pCur->idx < 0 ? TARVIK_CORRUPT : TARVIK_OK;
}

/* First and Last: descend from the root to one end.  *pRes is 1 for an
** empty tree, which leaves the cursor without an entry. */
static int moveToEnd(BtCursor *p, int *pRes, int (*xDescend)(FileCursor *)) {
  FileCursor *pCur = asCur(p);
  *pRes = 1;
  if (!cursorHasPage(pCur)) return TARVIK_ABORT;
  int rc = moveToRoot(pCur);
  if (rc != TARVIK_OK) return rc;
  pCur->eSkip = SKIP_INVALID;
  if (pCur->pPage->nCell == 0 && pageRight(pCur->pBt, pCur->pPage) == 0) return TARVIK_OK;
  rc = xDescend(pCur);
  if (rc != TARVIK_OK) return rc;
  *pRes = 0;
  pCur->eSkip = SKIP_NONE;
  return TARVIK_OK;
}

int fileBtreeFirst(BtCursor *p, int *pRes) { return moveToEnd(p, pRes, moveToLeftmost); }

int fileBtreeLast(BtCursor *p, int *pRes) { return moveToEnd(p, pRes, moveToRightmost); }

int fileBtreeNext(BtCursor *p, int *pRes) {
  FileCursor *pCur = asCur(p);
  FileBtree *pBt = pCur->pBt;
  *pRes = 1;
  if (!cursorHasPage(pCur)) return TARVIK_ABORT;
  if (pCur->eSkip == SKIP_INVALID || pCur->pPage->nCell == 0) return TARVIK_OK;
  if (pCur->eSkip == SKIP_NEXT) {
    pCur->eSkip = SKIP_NONE;
    *pRes = pCur->idx < pCur->pPage->nCell ? 0 : 1;
    if (*pRes == 0) return TARVIK_OK;
  }
  pCur->eSkip = SKIP_NONE;
  MemPage *pPage = pCur->pPage;
  if (pCur->idx > pPage->nCell) pCur->idx = pPage->nCell;
  pCur->idx++;
  if (pCur->idx > pPage->nCell) pCur->idx = pPage->nCell;
  int rc;
  if (!isLeaf(pBt, pPage)) {
    rc = moveToChild(pCur, childAt(pBt, pPage, pCur->idx));
    if (rc == TARVIK_OK) rc = moveToLeftmost(pCur);
    if (rc == TARVIK_OK) *pRes = 0;
    return rc;
  }
  while (pCur->idx >= pCur->pPage->nCell) {
    if (!pCur->pPage->pParent) {
      pCur->idx = pCur->pPage->nCell;
      return TARVIK_OK;
    }
    moveToParent(pCur);
  }
  *pRes = 0;
  return TARVIK_OK;
}

int fileBtreePrevious(BtCursor *p, int *pRes) {
  FileCursor *pCur = asCur(p);
  FileBtree *pBt = pCur->pBt;
  *pRes = 1;
  if (!cursorHasPage(pCur)) return TARVIK_ABORT;
  if (pCur->eSkip == SKIP_INVALID || pCur->pPage->nCell == 0) return TARVIK_OK;
  if (pCur->eSkip == SKIP_PREV) {
    pCur->eSkip = SKIP_NONE;
    *pRes = pCur->idx < pCur->pPage->nCell ? 0 : 1;
    if (*pRes == 0) return TARVIK_OK;
  }
  pCur->eSkip = SKIP_NONE;
  MemPage *pPage = pCur->pPage;
  if (pCur->idx > pPage->nCell) pCur->idx = pPage->nCell;
  int rc;
  if (!isLeaf(pBt, pPage)) {
    rc = moveToChild(pCur, childAt(pBt, pPage, pCur->idx));
    if (rc == TARVIK_OK) rc = moveToRightmost(pCur);
    if (rc == TARVIK_OK) *pRes = 0;
    return rc;
  }
  while (pCur->idx == 0) {
    if (!pCur->pPage->pParent) return TARVIK_OK;
    moveToParent(pCur);
  }
  pCur->idx--;
  *pRes = 0;
  return TARVIK_OK;
}

/* Searches from the root (the cursor's current page may be stale). */
int movetoImpl(FileCursor *pCur, const void *pKey, int nKey, int *pRes) {
  FileBtree *pBt = pCur->pBt;
  *pRes = -1;
  if (nKey < 0) nKey = 0;
  pCur->eSkip = SKIP_INVALID;
  int rc = moveToRoot(pCur);
  if (rc != TARVIK_OK) return rc;
  pCur->eSkip = SKIP_NONE;
  for (;;) {
    MemPage *pPage = pCur->pPage;
    int lwr = 0, upr = pPage->nCell - 1, c = -1;
    while (lwr <= upr) {
      pCur->idx = (lwr + upr) / 2;
      rc = compareCellKey(pBt, pPage->apCell[pCur->idx], pKey, nKey, 0, &c);
      if (rc != TARVIK_OK) return rc;
      if (c == 0) {
        pCur->iMatch = 0;
        *pRes = 0;
        return TARVIK_OK;
      }
      if (c < 0) {
        lwr = pCur->idx + 1;
      } else {
        upr = pCur->idx - 1;
      }
    }
    Pgno chld = childAt(pBt, pPage, lwr);
    if (chld == 0) {
      pCur->iMatch = (u8)c;
      *pRes = c;
      return TARVIK_OK;
    }
    pCur->idx = lwr;
    rc = moveToChild(pCur, chld);
    if (rc != TARVIK_OK) return rc;
  }
}

int fileBtreeMoveto(BtCursor *p, const void *pKey, int nKey, int *pRes) {
  FileCursor *pCur = asCur(p);
  *pRes = -1;
  if (!cursorHasPage(pCur)) return TARVIK_ABORT;
  return movetoImpl(pCur, pKey, nKey, pRes);
}

/* ---------------------------------------------------------------- cursors: reading */

/* The current cell, or none when the cursor is not on an entry. */
const u8 *currentCell(FileCursor *pCur) {
  if (!cursorHasPage(pCur) || pCur->eSkip == SKIP_INVALID) return nullptr;
  if (pCur->idx < 0 || pCur->idx >= pCur->pPage->nCell) return nullptr;
  return pCur->pPage->apCell[pCur->idx];
}

int fileBtreeKeySize(BtCursor *p, int *pSize) {
  FileCursor *pCur = asCur(p);
  const u8 *c = currentCell(pCur);
  *pSize = c ? cellNKey(pCur->pBt, c) : 0;
  return pCur->pPage ? TARVIK_OK : TARVIK_ABORT;
}

int fileBtreeDataSize(BtCursor *p, int *pSize) {
  FileCursor *pCur = asCur(p);
  const u8 *c = currentCell(pCur);
  *pSize = c ? cellNData(pCur->pBt, c) : 0;
  return pCur->pPage ? TARVIK_OK : TARVIK_ABORT;
}

/* Reads [offset, offset+amt) of a part [base, base+n) of the payload,
** clamped to the part; returns the bytes delivered. */
int readPart(FileCursor *pCur, const u8 *c, int base, int n, int offset, int amt, char *zBuf) {
  if (offset < 0 || amt <= 0 || offset >= n) return 0;
  if (amt > n - offset) amt = n - offset;
  if (base + offset + amt <= MX_LOCAL) {
    memcpy(zBuf, c + CELL_HDR + base + offset, amt);
    return amt;
  }
  int got = 0;
  readPayload(pCur->pBt, c, base + offset, amt, (u8 *)zBuf, &got);
  return got;
}

int fileBtreeKey(BtCursor *p, int offset, int amt, char *zBuf) {
  FileCursor *pCur = asCur(p);
  const u8 *c = currentCell(pCur);
  if (!c) return 0;
  return readPart(pCur, c, 0, cellNKey(pCur->pBt, c), offset, amt, zBuf);
}

int fileBtreeData(BtCursor *p, int offset, int amt, char *zBuf) {
  FileCursor *pCur = asCur(p);
  const u8 *c = currentCell(pCur);
  if (!c) return 0;
  int nKey = cellNKey(pCur->pBt, c);
  return readPart(pCur, c, nKey, cellNData(pCur->pBt, c), offset, amt, zBuf);
}

int fileBtreeKeyCompare(BtCursor *p, const void *pKey, int nKey, int nIgnore, int *pRes) {
  FileCursor *pCur = asCur(p);
  *pRes = 0;
  if (!cursorHasPage(pCur)) return TARVIK_ABORT;
  const u8 *c = currentCell(pCur);
  if (!c) return TARVIK_ERROR;
  if (nKey < 0) nKey = 0;
  if (nIgnore < 0) nIgnore = 0;
  return compareCellKey(pCur->pBt, c, pKey, nKey, nIgnore, pRes);
}

/* ---------------------------------------------------------------- cursors: open and close */

int fileBtreeCursor(Btree *p, int iTable, int wrFlag, BtCursor **ppCur) {
  FileBtree *pBt = asFile(p);
  *ppCur = nullptr;
  int rc = lockBtree(pBt);
  if (rc != TARVIK_OK) return rc;
  FileCursor *pCur = (FileCursor *)tarvikMalloc(sizeof(FileCursor));
  if (!pCur) {
    unlockBtreeIfUnused(pBt);
    return TARVIK_NOMEM;
  }
  pCur->pOps = &tarvikBtreeCursorOps;
  pCur->pBt = pBt;
  pCur->pgnoRoot = (Pgno)iTable;
  pCur->wrFlag = wrFlag ? 1 : 0;
  pCur->eSkip = SKIP_INVALID;
  if (iTable < 2) {
    rc = TARVIK_CORRUPT;
  } else {
    rc = moveToRoot(pCur);
  }
  if (rc != TARVIK_OK) {
    tarvikFree(pCur);
    unlockBtreeIfUnused(pBt);
    return rc;
  }
  pCur->pNext = pBt->pCursor;
  if (pCur->pNext) pCur->pNext->pPrev = pCur;
  pBt->pCursor = pCur;
  pCur->pShared = pCur;
  for (FileCursor *q = pCur->pNext; q; q = q->pNext) {
    if (q->pgnoRoot == pCur->pgnoRoot) {
      pCur->pShared = q->pShared;
      q->pShared = pCur;
      break;
    }
  }
  *ppCur = pCur;
  return TARVIK_OK;
}

int fileBtreeCloseCursor(BtCursor *p) {
  FileCursor *pCur = asCur(p);
  FileBtree *pBt = pCur->pBt;
  if (pCur->pPrev) {
    pCur->pPrev->pNext = pCur->pNext;
  } else {
    pBt->pCursor = pCur->pNext;
  }
  if (pCur->pNext) pCur->pNext->pPrev = pCur->pPrev;
  if (pCur->pShared != pCur) {
    FileCursor *q = pCur->pShared;
    while (q->pShared != pCur) q = q->pShared;
    q->pShared = pCur->pShared;
  }
  releasePage(pCur->pPage);
  tarvikFree(pCur);
  unlockBtreeIfUnused(pBt);
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- cursors: changing */

/* Before a cursor writes: a reader of the same tree forbids it; other
** writers lose their position (they go back to the root). */
int checkReadLocks(FileCursor *pCur) {
  for (FileCursor *p = pCur->pShared; p != pCur; p = p->pShared) {
    if (!p->wrFlag) return TARVIK_LOCKED;
  }
  for (FileCursor *p = pCur->pShared; p != pCur; p = p->pShared) {
    p->eSkip = SKIP_INVALID;
    if (!p->pPage || pgnoOf(p->pPage) != p->pgnoRoot) {
      if (moveToRoot(p) != TARVIK_OK) {
        releasePage(p->pPage);
        p->pPage = nullptr;
      }
    }
  }
  return TARVIK_OK;
}

int fileBtreeInsert(BtCursor *p, const void *pKey, int nKey, const void *pData, int nData) {
  FileCursor *pCur = asCur(p);
  FileBtree *pBt = pCur->pBt;
  if (!cursorHasPage(pCur)) return TARVIK_ABORT;
  if (!pBt->inTrans || nKey + nData == 0) return notInTrans(pBt);
  if (nKey < 0 || nData < 0 || nKey > MX_PART || nData > MX_PART) return TARVIK_TOOBIG;
  if (!pCur->wrFlag) return TARVIK_PERM;
  int rc = checkReadLocks(pCur);
  if (rc != TARVIK_OK) return rc;
  int c;
  rc = fileBtreeMoveto(pCur, pKey, nKey, &c);
  if (rc != TARVIK_OK) return rc;
  MemPage *pPage = pCur->pPage;
  rc = tarvikpager_write(pPage);
  if (rc != TARVIK_OK) return rc;
  u8 aCell[MX_CELL_SIZE];
  int szNew;
  rc = fillInCell(pBt, aCell, pKey, nKey, pData, nData, &szNew);
  if (rc != TARVIK_OK) return rc;
  if (c == 0) {
    u8 *pOld = pPage->apCell[pCur->idx];
    put4(pBt, aCell, cellLeft(pBt, pOld));
    rc = clearCell(pBt, pOld);
    if (rc == TARVIK_OK) dropCell(pBt, pPage, pCur->idx, cellSize(pBt, pOld));
  } else if (c < 0 && pPage->nCell > 0) {
    pCur->idx++;
  }
  if (rc == TARVIK_OK) rc = insertCell(pBt, pPage, pCur->idx, aCell, szNew);
  if (rc == TARVIK_OK) rc = balance(pBt, pPage, 0);
  if (rc == TARVIK_OK) rc = moveToRoot(pCur);
  pCur->eSkip = SKIP_INVALID;
  return rc;
}

/* A key copy that lives on the stack when small. */
struct KeyCopy {
  u8 aSmall[256];
  u8 *z = aSmall;
  int n = 0;
  ~KeyCopy() {
    if (z != aSmall) tarvikFree(z);
  }
};

int fileBtreeDelete(BtCursor *p) {
  FileCursor *pCur = asCur(p);
  FileBtree *pBt = pCur->pBt;
  if (!cursorHasPage(pCur)) return TARVIK_ABORT;
  if (!pBt->inTrans) return notInTrans(pBt);
  MemPage *pPage = pCur->pPage;
  if (pCur->eSkip == SKIP_INVALID || pCur->idx >= pPage->nCell) return TARVIK_ERROR;
  if (!pCur->wrFlag) return TARVIK_PERM;
  int rc = checkReadLocks(pCur);
  if (rc != TARVIK_OK) return rc;
  u8 *pCell = pPage->apCell[pCur->idx];

  /* Remember the key: afterwards the cursor is put beside where it was. */
  KeyCopy key;
  key.n = cellNKey(pBt, pCell);
  if (key.n > (int)sizeof(key.aSmall)) {
    key.z = (u8 *)tarvikMallocRaw(key.n);
    if (!key.z) {
      key.z = key.aSmall;
      return TARVIK_NOMEM;
    }
  }
  int got = 0;
  rc = readPayload(pBt, pCell, 0, key.n, key.z, &got);
  if (rc == TARVIK_OK && got != key.n) rc = TARVIK_CORRUPT;
  if (rc == TARVIK_OK) rc = tarvikpager_write(pPage);
  if (rc == TARVIK_OK) rc = clearCell(pBt, pCell);
  if (rc != TARVIK_OK) return rc;

  Pgno left = cellLeft(pBt, pCell);
  if (left != 0) {
    /* An interior entry: its successor (the first entry of the leaf after
    ** it) takes its place. */
    FileCursor leafCur = *pCur;
    tarvikpager_ref(leafCur.pPage);
    leafCur.eSkip = SKIP_NONE;
    int res;
    rc = fileBtreeNext(&leafCur, &res);
    if (rc == TARVIK_OK && res != 0) rc = TARVIK_CORRUPT;
    if (rc != TARVIK_OK && rc != TARVIK_NOMEM) rc = TARVIK_CORRUPT;
    MemPage *pLeaf = leafCur.pPage;
    if (rc == TARVIK_OK && (!isLeaf(pBt, pLeaf) || leafCur.idx >= pLeaf->nCell)) {
      rc = TARVIK_CORRUPT;
    }
    if (rc == TARVIK_OK) rc = tarvikpager_write(pLeaf);
    if (rc == TARVIK_OK) {
      u8 aNext[MX_CELL_SIZE];
      u8 *pNext = pLeaf->apCell[leafCur.idx];
      int szNext = cellSize(pBt, pNext);
      memcpy(aNext, pNext, szNext);
      put4(pBt, aNext, left);
      dropCell(pBt, pPage, pCur->idx, cellSize(pBt, pCell));
      rc = insertCell(pBt, pPage, pCur->idx, aNext, szNext);
      if (rc == TARVIK_OK) rc = balance(pBt, pPage, 0);
      if (rc == TARVIK_OK && pLeaf->isInit) {
        dropCell(pBt, pLeaf, leafCur.idx, szNext);
        rc = balance(pBt, pLeaf, 0);
      } else if (rc == TARVIK_OK) {
        rc = TARVIK_CORRUPT;
      }
    }
    releasePage(leafCur.pPage);
  } else {
    dropCell(pBt, pPage, pCur->idx, cellSize(pBt, pCell));
    rc = balance(pBt, pPage, 0);
  }
  if (rc != TARVIK_OK) {
    pCur->eSkip = SKIP_INVALID;
    return rc;
  }
  int c;
  rc = movetoImpl(pCur, key.z, key.n, &c);
  if (rc != TARVIK_OK) return rc;
  pCur->eSkip = c < 0 ? SKIP_PREV : SKIP_NEXT;
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- trees */

int fileBtreeCreateTable(Btree *p, int *piTable) {
  FileBtree *pBt = asFile(p);
  *piTable = 0;
  if (!pBt->inTrans) return notInTrans(pBt);
  MemPage *pRoot;
  Pgno pgno;
  int rc = allocatePage(pBt, &pRoot, &pgno, 0);
  if (rc != TARVIK_OK) return rc;
  zeroPage(pBt, pRoot);
  releasePage(pRoot);
  *piTable = (int)pgno;
  return TARVIK_OK;
}

/* Empties the subtree of page pgno, freeing its pages, and frees the page
** itself or leaves it an empty leaf. */
int clearDatabasePage(FileBtree *pBt, Pgno pgno, MemPage *pParent, bool bFree) {
  MemPage *pPage;
  int rc = getAndInitPage(pBt, pgno, &pPage, pParent);
  if (rc != TARVIK_OK) return rc;
  rc = tarvikpager_write(pPage);
  for (int i = 0; i < pPage->nCell && rc == TARVIK_OK; i++) {
    u8 *c = pPage->apCell[i];
    Pgno left = cellLeft(pBt, c);
    if (left) rc = clearDatabasePage(pBt, left, pPage, true);
    if (rc == TARVIK_OK) rc = clearCell(pBt, c);
  }
  Pgno right = pageRight(pBt, pPage);
  if (rc == TARVIK_OK && right) rc = clearDatabasePage(pBt, right, pPage, true);
  if (rc == TARVIK_OK) {
    if (bFree) {
      rc = freePage(pBt, pPage, pgno);
    } else {
      zeroPage(pBt, pPage);
    }
  }
  releasePage(pPage);
  return rc;
}

int fileBtreeClearTable(Btree *p, int iTable) {
  FileBtree *pBt = asFile(p);
  if (!pBt->inTrans) return notInTrans(pBt);
  for (FileCursor *c = pBt->pCursor; c; c = c->pNext) {
    if (c->pgnoRoot == (Pgno)iTable && !c->wrFlag) return TARVIK_LOCKED;
  }
  for (FileCursor *c = pBt->pCursor; c; c = c->pNext) {
    if (c->pgnoRoot == (Pgno)iTable) {
      c->eSkip = SKIP_INVALID;
      if (c->pPage && moveToRoot(c) != TARVIK_OK) {
        releasePage(c->pPage);
        c->pPage = nullptr;
      }
    }
  }
  int rc = iTable < 2 ? TARVIK_CORRUPT : clearDatabasePage(pBt, (Pgno)iTable, nullptr, false);
  if (rc != TARVIK_OK) fileBtreeRollback(pBt);
  return rc;
}

int fileBtreeDropTable(Btree *p, int iTable) {
  FileBtree *pBt = asFile(p);
  if (!pBt->inTrans) return notInTrans(pBt);
  for (FileCursor *c = pBt->pCursor; c; c = c->pNext) {
    if (c->pgnoRoot == (Pgno)iTable) return TARVIK_LOCKED;
  }
  if (iTable < 2) return TARVIK_CORRUPT;
  int rc = clearDatabasePage(pBt, (Pgno)iTable, nullptr, false);
  if (rc == TARVIK_OK && iTable > 2) rc = freePageByNumber(pBt, (Pgno)iTable);
  return rc;
}

int fileBtreeGetMeta(Btree *p, int *aMeta) {
  FileBtree *pBt = asFile(p);
  int rc = lockBtree(pBt);
  if (rc != TARVIK_OK) return rc;
  aMeta[0] = (int)get4(pBt, pBt->page1 + P1_NFREE);
  for (int i = 1; i < TARVIK_N_BTREE_META; i++) {
    aMeta[i] = (int)get4(pBt, pBt->page1 + P1_META + 4 * (i - 1));
  }
  unlockBtreeIfUnused(pBt);
  return TARVIK_OK;
}

int fileBtreeUpdateMeta(Btree *p, int *aMeta) {
  FileBtree *pBt = asFile(p);
  if (!pBt->inTrans) return notInTrans(pBt);
  int rc = tarvikpager_write(pBt->page1);
  if (rc != TARVIK_OK) return rc;
  for (int i = 1; i < TARVIK_N_BTREE_META; i++) {
    put4(pBt, pBt->page1 + P1_META + 4 * (i - 1), (u32)aMeta[i]);
  }
  return TARVIK_OK;
}

const char *fileBtreeGetFilename(Btree *p) { return tarvikpager_filename(asFile(p)->pPager); }

Pager *fileBtreePager(Btree *p) { return asFile(p)->pPager; }

int fileBtreeCopyFile(Btree *pToBt, Btree *pFromBt) {
  FileBtree *pTo = asFile(pToBt), *pFrom = asFile(pFromBt);
  if (pFromBt->pOps != &tarvikBtreeOps) return TARVIK_ERROR;
  if (!pTo->inTrans || !pFrom->inTrans) return TARVIK_ERROR;
  if (pTo->needSwab != pFrom->needSwab) return TARVIK_ERROR;
  if (pTo->pCursor) return TARVIK_BUSY;
  int nPage = pageCount(pFrom);
  int nTo = pageCount(pTo);
  /* Pages the destination decoded describe its old content: forget them
  ** (and the parent references they hold) before the bytes change. */
  for (Pgno i = 2; i <= (Pgno)nTo; i++) {
    MemPage *pOld = (MemPage *)tarvikpager_lookup(pTo->pPager, i);
    if (!pOld) continue;
    pageDestructor(pOld);
    pOld->isInit = 0;
    releasePage(pOld);
  }
  int rc = TARVIK_OK;
  for (Pgno i = 1; i <= (Pgno)nPage && rc == TARVIK_OK; i++) {
    MemPage *pPage;
    rc = getPage(pFrom, i, &pPage);
    if (rc != TARVIK_OK) break;
    rc = tarvikpager_overwrite(pTo->pPager, i, pPage->aDisk);
    releasePage(pPage);
  }
  for (Pgno i = (Pgno)nPage + 1; i <= (Pgno)nTo && rc == TARVIK_OK; i++) {
    MemPage *pPage;
    rc = getPage(pTo, i, &pPage);
    if (rc != TARVIK_OK) break;
    rc = tarvikpager_write(pPage);
    tarvikpager_dont_write(pTo->pPager, i);
    releasePage(pPage);
  }
  if (rc == TARVIK_OK && nPage < nTo) rc = tarvikpager_truncate(pTo->pPager, (Pgno)nPage);
  dropFreeMap(pTo);
  if (rc != TARVIK_OK) fileBtreeRollback(pTo);
  return rc;
}

/* ---------------------------------------------------------------- integrity check */

struct IntegrityCk {
  FileBtree *pBt;
  int nPage;
  u8 *anRef; /* per page: referenced already */
  char *zErrMsg;
  bool bNoMem;
};

void checkAppendMsg(IntegrityCk *pCheck, const char *zContext, const char *zFormat, ...) {
  va_list ap;
  va_start(ap, zFormat);
  char *zMsg = tarvikVMPrintf(zFormat, ap);
  va_end(ap);
  char *zNew = zMsg ? tarvikMPrintf("%s%s%s%s", pCheck->zErrMsg ? pCheck->zErrMsg : "",
                                    pCheck->zErrMsg ? "\n" : "", zContext ? zContext : "", zMsg)
                    : nullptr;
  tarvikFree(zMsg);
  if (!zNew) {
    pCheck->bNoMem = true;
    return;
  }
  tarvikFree(pCheck->zErrMsg);
  pCheck->zErrMsg = zNew;
}

/* Counts a reference to a page; false (with a message) when the caller must
** not look at it. */
bool checkRef(IntegrityCk *pCheck, int iPage, const char *zContext) {
  if (iPage == 0) return false;
  if (iPage > pCheck->nPage || iPage < 0) {
    checkAppendMsg(pCheck, zContext, "invalid page number %d", iPage);
    return false;
  }
  if (pCheck->anRef[iPage]) {
    checkAppendMsg(pCheck, zContext, "2nd reference to page %d", iPage);
    return false;
  }
  pCheck->anRef[iPage] = 1;
  return true;
}

/* A free list (isFree) or an overflow chain of N pages starting at iPage. */
void checkList(IntegrityCk *pCheck, bool isFree, int iPage, int N, const char *zContext) {
  FileBtree *pBt = pCheck->pBt;
  while (N-- > 0) {
    if (iPage < 1) {
      checkAppendMsg(pCheck, zContext, "%d pages missing from overflow list", N + 1);
      return;
    }
    if (!checkRef(pCheck, iPage, zContext)) return;
    MemPage *pPage;
    if (getPage(pBt, (Pgno)iPage, &pPage) != TARVIK_OK) {
      checkAppendMsg(pCheck, zContext, "failed to get page %d", iPage);
      return;
    }
    if (isFree) {
      u32 n = get4(pBt, pPage->aDisk + 4);
      if (n > (u32)MX_FREE_LEAVES) {
        checkAppendMsg(pCheck, zContext, "trunk page %d lists %u leaves", iPage, n);
        n = MX_FREE_LEAVES;
      }
      for (u32 i = 0; i < n; i++) {
        checkRef(pCheck, (int)get4(pBt, pPage->aDisk + 8 + 4 * i), zContext);
      }
      N -= (int)n;
    }
    iPage = (int)get4(pBt, pPage->aDisk);
    releasePage(pPage);
  }
  if (isFree && iPage != 0) {
    checkAppendMsg(pCheck, zContext, "the list goes on past its %d pages",
                   (int)get4(pBt, pBt->page1 + P1_NFREE));
  }
}

/* Reports the first byte of a page covered by nothing or covered twice, from
** the raw chains (walks end at an offset of 0 or past the page, and after as
** many steps as the page has 4-byte units). */
void checkCoverage(IntegrityCk *pCheck, const u8 *d, int iPage) {
  FileBtree *pBt = pCheck->pBt;
  u8 aHit[USABLE] = {0};
  auto mark = [&](int from, int n) {
    for (int i = from; i < from + n && i < USABLE; i++) {
      if (aHit[i] < 2) aHit[i]++;
    }
  };
  mark(0, PAGE_HDR);
  int off = get2(pBt, d + 4);
  for (int guard = 0; off != 0 && off <= USABLE - 1 && guard < USABLE / 4; guard++) {
    int sz = off + CELL_HDR <= USABLE ? cellSize(pBt, d + off) : USABLE - off;
    mark(off, sz);
    off = off + CELL_HDR <= USABLE ? cellNext(pBt, d + off) : 0;
  }
  off = get2(pBt, d + 6);
  for (int guard = 0; off != 0 && off <= USABLE - 1 && guard < USABLE / 4; guard++) {
    if (off + 4 > USABLE) break;
    mark(off, get2(pBt, d + off));
    off = get2(pBt, d + off + 2);
  }
  for (int i = 0; i < USABLE; i++) {
    if (aHit[i] == 0) {
      checkAppendMsg(pCheck, nullptr, "Unused space at byte %d of page %d", i, iPage);
      return;
    }
    if (aHit[i] > 1) {
      checkAppendMsg(pCheck, nullptr, "Multiple uses for byte %d of page %d", i, iPage);
      return;
    }
  }
}

/* Reads a whole key into a fresh buffer (tarvikMalloc); null on failure. */
u8 *checkReadKey(IntegrityCk *pCheck, const u8 *c, int *pn) {
  int n = cellNKey(pCheck->pBt, c);
  u8 *z = (u8 *)tarvikMallocRaw(n > 0 ? n : 1);
  if (!z) {
    pCheck->bNoMem = true;
    return nullptr;
  }
  int got = 0;
  readPayload(pCheck->pBt, c, 0, n, z, &got);
  *pn = got;
  return z;
}

int keyCompare(const u8 *a, int na, const u8 *b, int nb) {
  int x = memcmp(a, b, (size_t)std::min(na, nb));
  return x != 0 ? x : na - nb;
}

/* Checks the subtree of iPage; returns its depth (0 when unreadable). */
int checkTreePage(IntegrityCk *pCheck, int iPage, const char *zParentContext, const u8 *zLower,
                  int nLower, const u8 *zUpper, int nUpper, int depth) {
  FileBtree *pBt = pCheck->pBt;
  if (iPage == 0) return 0;
  if (!checkRef(pCheck, iPage, zParentContext)) return 0;
  char zContext[100];
  snprintf(zContext, sizeof(zContext), "On tree page %d: ", iPage);
  if (depth > MX_DEPTH) {
    checkAppendMsg(pCheck, zContext, "the tree is more than %d levels deep", MX_DEPTH);
    return 0;
  }
  MemPage *pPage;
  int rc = getPage(pBt, (Pgno)iPage, &pPage);
  if (rc != TARVIK_OK) {
    checkAppendMsg(pCheck, zContext, "unable to get the page. error code=%d", rc);
    return 0;
  }
  if (!pPage->isInit) {
    rc = decodePage(pBt, pPage);
    if (rc != TARVIK_OK) {
      checkAppendMsg(pCheck, zContext, "initPage() returns error code %d", rc);
      checkCoverage(pCheck, pPage->aDisk, iPage);
      releasePage(pPage);
      return 0;
    }
  }
  /* A private image: the page may be decoded again below us (a damaged tree
  ** can name it twice). */
  MemPage *pImg = (MemPage *)tarvikMallocRaw(sizeof(MemPage));
  if (!pImg) {
    pCheck->bNoMem = true;
    releasePage(pPage);
    return 0;
  }
  copyPage(pImg, pPage);
  releasePage(pPage);

  int depthChild = -1;
  u8 *zPrev = nullptr;
  int nPrev = 0;
  const u8 *zLo = zLower;
  int nLo = nLower;
  for (int i = 0; i < pImg->nCell && !pCheck->bNoMem; i++) {
    const u8 *c = pImg->apCell[i];
    snprintf(zContext, sizeof(zContext), "On page %d cell %d: ", iPage, i);
    int nPayload = cellPayload(pBt, c);
    if (nPayload > MX_LOCAL) {
      checkList(pCheck, false, (int)cellOvfl(pBt, c), ovflPages(nPayload), zContext);
    }
    int nKey = 0;
    u8 *zKey = checkReadKey(pCheck, c, &nKey);
    if (!zKey) break;
    if (zLo && keyCompare(zLo, nLo, zKey, nKey) >= 0) {
      checkAppendMsg(pCheck, zContext, "Key is out of order");
    }
    int d = checkTreePage(pCheck, (int)cellLeft(pBt, c), zContext, zLo, nLo, zKey, nKey, depth + 1);
    if (i > 0 && d != depthChild) checkAppendMsg(pCheck, zContext, "Child page depth differs");
    depthChild = d;
    tarvikFree(zPrev);
    zPrev = zKey;
    nPrev = nKey;
    zLo = zPrev;
    nLo = nPrev;
  }
  if (zUpper && zLo && zLo != zLower && keyCompare(zLo, nLo, zUpper, nUpper) >= 0) {
    checkAppendMsg(pCheck, zContext, "Key is out of order");
  }
  snprintf(zContext, sizeof(zContext), "On page %d at right child: ", iPage);
  int d = checkTreePage(pCheck, (int)pageRight(pBt, pImg), zContext, zLo, nLo, zUpper, nUpper,
                        depth + 1);
  if (pImg->nCell > 0 && pageRight(pBt, pImg) != 0 && d != depthChild) {
    checkAppendMsg(pCheck, zContext, "Child page depth differs");
  }
  if (depthChild < d) depthChild = d;
  tarvikFree(zPrev);
  checkCoverage(pCheck, pImg->aDisk, iPage);
  tarvikFree(pImg);
  return depthChild + 1;
}

char *fileBtreeIntegrityCheck(Btree *p, int *aRoot, int nRoot) {
  FileBtree *pBt = asFile(p);
  int nRef = tarvikpager_stats(pBt->pPager)[TARVIK_PAGERSTAT_NREF];
  if (lockBtree(pBt) != TARVIK_OK) {
    return tarvikStrDup("Unable to acquire a read lock on the database");
  }
  IntegrityCk sCheck = {};
  sCheck.pBt = pBt;
  sCheck.nPage = pageCount(pBt);
  if (sCheck.nPage == 0) {
    unlockBtreeIfUnused(pBt);
    return nullptr;
  }
  sCheck.anRef = (u8 *)tarvikMalloc(sCheck.nPage + 1);
  if (!sCheck.anRef) {
    unlockBtreeIfUnused(pBt);
    return tarvikStrDup("out of memory");
  }
  sCheck.anRef[1] = 1;
  checkList(&sCheck, true, (int)get4(pBt, pBt->page1 + P1_FREELIST),
            (int)get4(pBt, pBt->page1 + P1_NFREE), "Main freelist: ");
  for (int i = 0; i < nRoot && !sCheck.bNoMem; i++) {
    if (aRoot[i] == 0) continue;
    checkTreePage(&sCheck, aRoot[i], "List of tree roots: ", nullptr, 0, nullptr, 0, 0);
  }
  for (int i = 1; i <= sCheck.nPage && !sCheck.bNoMem; i++) {
    if (sCheck.anRef[i] == 0) checkAppendMsg(&sCheck, nullptr, "Page %d is never used", i);
  }
  tarvikFree(sCheck.anRef);
  unlockBtreeIfUnused(pBt);
  int nRefAfter = tarvikpager_stats(pBt->pPager)[TARVIK_PAGERSTAT_NREF];
  if (!sCheck.bNoMem && nRefAfter != nRef) {
    checkAppendMsg(&sCheck, nullptr,
                   "Outstanding page count goes from %d to %d during this analysis", nRef,
                   nRefAfter);
  }
  if (sCheck.bNoMem) {
    tarvikFree(sCheck.zErrMsg);
    return tarvikStrDup("out of memory");
  }
  return sCheck.zErrMsg;
}

}  // namespace

/* ================================================================ tables and open */

const BtOps tarvikBtreeOps = {
    fileBtreeClose,          fileBtreeSetCacheSize, fileBtreeSetSafetyLevel, fileBtreeBeginTrans,
    fileBtreeCommit,         fileBtreeRollback,     fileBtreeBeginCkpt,      fileBtreeCommitCkpt,
    fileBtreeRollbackCkpt,   fileBtreeCreateTable,  fileBtreeCreateTable,    fileBtreeDropTable,
    fileBtreeClearTable,     fileBtreeCursor,       fileBtreeGetMeta,        fileBtreeUpdateMeta,
    fileBtreeIntegrityCheck, fileBtreeGetFilename,  fileBtreeCopyFile,       fileBtreePager,
};

const BtCursorOps tarvikBtreeCursorOps = {
    fileBtreeMoveto,   fileBtreeDelete,   fileBtreeInsert,      fileBtreeFirst, fileBtreeLast,
    fileBtreeNext,     fileBtreePrevious, fileBtreeKeySize,     fileBtreeKey,   fileBtreeKeyCompare,
    fileBtreeDataSize, fileBtreeData,     fileBtreeCloseCursor,
};

int tarvikBtreeOpen(const char *zFilename, int omitJournal, int nCache, Btree **ppBtree) {
  *ppBtree = nullptr;
  FileBtree *pBt = (FileBtree *)tarvikMalloc(sizeof(FileBtree));
  if (!pBt) return TARVIK_NOMEM;
  int rc = tarvikpager_open(&pBt->pPager, zFilename, nCache, EXTRA_SIZE, !omitJournal);
  if (rc != TARVIK_OK) {
    tarvikFree(pBt);
    return rc;
  }
  tarvikpager_set_destructor(pBt->pPager, pageDestructor);
  pBt->pOps = &tarvikBtreeOps;
  pBt->readOnly = tarvikpager_isreadonly(pBt->pPager) ? 1 : 0;
  *ppBtree = pBt;
  return TARVIK_OK;
}
