/*
** The pager: page cache, rollback journal, statement (checkpoint) journal and
** the file locks.  Contracts are in pager.h; this comment explains the
** invariants the code keeps.
**
** Durability.  Before a page that existed when the transaction began is first
** changed, its old content is appended to the journal.  No database page of
** the transaction is written to the file before the journal records that
** cover it are synced (per-page `needSync`, pager `needSync`).  At commit:
** journal records -> (full safety: journal fsync) -> record count -> journal
** fsync (and its directory, the first time) -> database pages -> database
** fsync -> journal deleted (full safety: directory fsync).  A journal found
** at the first read of the file is hot and is played back before anything is
** read.
**
** A journal is deleted only when it is provably no longer needed: after a
** successful commit, or after a playback whose writes have been synced.  Any
** failure that leaves the file in doubt keeps the journal (the next opener
** plays it back), releases the lock and sets a sticky error bit.
**
** Journal file (all integers 4 bytes big-endian; format 3 is the one written):
**
**   offset 0   +--------------------------------------------+
**              | magic d9 d5 05 f9 20 a1 63 d6   (8 bytes)  |
**          8   | record count (0xFFFFFFFF: count by size)   |
**         12   | checksum nonce  cksumInit                  |
**         16   | database pages at transaction start        |
**         20   +--------------------------------------------+
**              | record: page number (4)                    |
**              |         page content before the change     |
**              |         (1024)                             |
**              |         checksum = cksumInit + page number |
**              |         (4)                   1032 bytes   |
**              +--------------------------------------------+
**              | record ...                                 |
**
** Formats 1 and 2 (played back only) have a 12-byte header (magic, pages at
** start) and 1028-byte records without the checksum; format 1's integers are
** in the writer's host order.  The checkpoint journal is headerless format-2
** records.
*/
#include "pager.h"

#include <climits>
#include <cstdlib>

/* ---------------------------------------------------------------- structures */

struct PgHdr {
  Pager *pPager;
  Pgno pgno;
  PgHdr *pNextHash, *pPrevHash;
  int nRef; /* references held by the client; 0: on the free list */
  PgHdr *pNextFree, *pPrevFree;
  PgHdr *pNextAll, *pPrevAll;
  PgHdr *pNextCkpt, *pPrevCkpt;
  u8 inJournal;      /* pre-transaction content is in the journal (or needs none) */
  u8 inCkpt;         /* content at statement start is recoverable */
  u8 dirty;          /* cached content differs from the file */
  u8 needSync;       /* must not reach the file before the journal is synced */
  u8 alwaysRollback; /* dont_rollback must not skip this page */
  /* Last field: a journal record is written in one call straight from the
  ** page block, with the page number stored in the 4 bytes just before the
  ** data, i.e. in this field, which is only in use while a commit collects
  ** its dirty pages. */
  PgHdr *pDirty;
};
static_assert(sizeof(PgHdr) % 8 == 0, "page data must stay aligned");
static_assert(offsetof(PgHdr, pDirty) + sizeof(PgHdr *) == sizeof(PgHdr),
              "pDirty must be the last field of the page header");

#define PGHDR_TO_DATA(P) ((void *)(&(P)[1]))
#define DATA_TO_PGHDR(D) (&((PgHdr *)(D))[-1])
#define PGHDR_TO_EXTRA(P) ((void *)&((char *)(&(P)[1]))[TARVIK_PAGE_SIZE])

constexpr int N_PG_HASH = 2048;

struct Pager {
  char *zFilename; /* resolved absolute name of the database file */
  char *zJournal;  /* zFilename + "-journal" */
  char *zDirectory;
  OsFile fd, jfd, cpfd;
  int dbSize; /* pages as this transaction sees them; -1 = not computed */
  int origDbSize;
  int minDbSize; /* fewest pages the file has had in this write transaction */
  int ckptSize;
  i64 ckptJSize;
  int nRec;
  u32 cksumInit;
  int ckptNRec;
  int nExtra;
  tarvikpager_destructor xDestructor;
  int nPage;
  int nRef;
  int mxPage;
  int nHit, nMiss, nOvfl;
  tarvikpager_codec xCodec;
  void *pCodecArg;
  u8 journalOpen;
  u8 journalStarted;
  u8 countBySize; /* the journal header's record count is 0xFFFFFFFF */
  u8 useJournal;
  u8 ckptOpen;
  u8 ckptInUse;
  u8 ckptAutoopen;
  u8 noSync;
  u8 fullSync;
  u8 state;
  u8 errMask;
  u8 tempFile;
  u8 readOnly;
  u8 needSync;
  u8 dirtyFile;
  u8 alwaysRollback;
  u8 inReset; /* pager_reset is running: no nested reset */
  u8 *aInJournal;
  u8 *aInCkpt;
  PgHdr *pFirst, *pLast;
  PgHdr *pFirstSynced;
  PgHdr *pAll;
  PgHdr *pCkpt;
  PgHdr *aHash[N_PG_HASH];
};

/* ---------------------------------------------------------------- journal formats */

static const unsigned char aJournalMagic1[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd4};
static const unsigned char aJournalMagic2[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd5};
static const unsigned char aJournalMagic3[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd6};

static constexpr int JOURNAL_FORMAT_1 = 1;
static constexpr int JOURNAL_FORMAT_2 = 2;
static constexpr int JOURNAL_FORMAT_3 = 3;

static constexpr int JOURNAL_HDR_SZ(int fmt) { return fmt == JOURNAL_FORMAT_3 ? 20 : 12; }
static constexpr int JOURNAL_PG_SZ(int fmt) {
  return fmt == JOURNAL_FORMAT_3 ? TARVIK_PAGE_SIZE + 8 : TARVIK_PAGE_SIZE + 4;
}
static constexpr int CKPT_PG_SZ = TARVIK_PAGE_SIZE + 4;

static inline i64 pageOffset(Pgno pgno) { return (i64)(pgno - 1) * TARVIK_PAGE_SIZE; }

static u32 getBE32(const unsigned char *a) {
  return ((u32)a[0] << 24) | ((u32)a[1] << 16) | ((u32)a[2] << 8) | (u32)a[3];
}
static void putBE32(unsigned char *a, u32 v) {
  a[0] = (unsigned char)(v >> 24);
  a[1] = (unsigned char)(v >> 16);
  a[2] = (unsigned char)(v >> 8);
  a[3] = (unsigned char)v;
}
/* A 4-byte integer of a journal: big-endian, except format 1 (host order). */
static u32 journalInt(int format, const unsigned char *a) {
  if (format == JOURNAL_FORMAT_1) {
    u32 v;
    memcpy(&v, a, 4);
    return v;
  }
  return getBE32(a);
}

static int write32bits(OsFile *fd, u32 val) {
  unsigned char ac[4];
  putBE32(ac, val);
  return tarvikOsWrite(fd, ac, 4);
}
/* Stores val big-endian into a page block at an offset relative to the
** data (negative: into the header's last field). */
static void store32bits(u32 val, PgHdr *p, int offset) {
  putBE32((unsigned char *)PGHDR_TO_DATA(p) + offset, val);
}

/* ---------------------------------------------------------------- error mask */

static int pager_errcode(Pager *p) {
  if (p->errMask & PAGER_ERR_CORRUPT) return TARVIK_CORRUPT;
  if (p->errMask & PAGER_ERR_MEM) return TARVIK_NOMEM;
  if (p->errMask & PAGER_ERR_FULL) return TARVIK_FULL;
  if (p->errMask & PAGER_ERR_DISK) return TARVIK_IOERR;
  return TARVIK_OK;
}

static u8 errBitFor(int rc) {
  switch (rc) {
    case TARVIK_FULL:
      return PAGER_ERR_FULL;
    case TARVIK_NOMEM:
      return PAGER_ERR_MEM;
    case TARVIK_CORRUPT:
      return PAGER_ERR_CORRUPT;
    default:
      return PAGER_ERR_DISK;
  }
}

/* ---------------------------------------------------------------- bitmaps */

static bool bitTest(const u8 *a, Pgno p) { return (a[p / 8] & (1 << (p & 7))) != 0; }
static void bitSet(u8 *a, Pgno p) { a[p / 8] |= (u8)(1 << (p & 7)); }

/* ---------------------------------------------------------------- lists */

static PgHdr *pager_lookup(Pager *p, Pgno pgno) {
  PgHdr *pPg = p->aHash[pgno % N_PG_HASH];
  while (pPg && pPg->pgno != pgno) pPg = pPg->pNextHash;
  return pPg;
}

static void hash_insert(Pager *p, PgHdr *pPg) {
  PgHdr **ppHead = &p->aHash[pPg->pgno % N_PG_HASH];
  pPg->pNextHash = *ppHead;
  pPg->pPrevHash = nullptr;
  if (*ppHead) (*ppHead)->pPrevHash = pPg;
  *ppHead = pPg;
}

static void hash_remove(Pager *p, PgHdr *pPg) {
  if (pPg->pNextHash) pPg->pNextHash->pPrevHash = pPg->pPrevHash;
  if (pPg->pPrevHash) {
    pPg->pPrevHash->pNextHash = pPg->pNextHash;
  } else {
    p->aHash[pPg->pgno % N_PG_HASH] = pPg->pNextHash;
  }
  pPg->pNextHash = pPg->pPrevHash = nullptr;
}

static void ckpt_list_add(Pager *p, PgHdr *pPg) {
  if (pPg->inCkpt) return;
  pPg->inCkpt = 1;
  pPg->pPrevCkpt = nullptr;
  pPg->pNextCkpt = p->pCkpt;
  if (p->pCkpt) p->pCkpt->pPrevCkpt = pPg;
  p->pCkpt = pPg;
}

static void ckpt_list_remove(Pager *p, PgHdr *pPg) {
  if (!pPg->inCkpt) return;
  if (pPg->pPrevCkpt) {
    pPg->pPrevCkpt->pNextCkpt = pPg->pNextCkpt;
  } else {
    p->pCkpt = pPg->pNextCkpt;
  }
  if (pPg->pNextCkpt) pPg->pNextCkpt->pPrevCkpt = pPg->pPrevCkpt;
  pPg->pNextCkpt = pPg->pPrevCkpt = nullptr;
  pPg->inCkpt = 0;
}

/* Removes a page from the free list (it is being referenced or recycled). */
static void free_list_remove(Pager *p, PgHdr *pPg) {
  if (p->pFirstSynced == pPg) {
    PgHdr *q = pPg->pNextFree;
    while (q && q->needSync) q = q->pNextFree;
    p->pFirstSynced = q;
  }
  if (pPg->pPrevFree) {
    pPg->pPrevFree->pNextFree = pPg->pNextFree;
  } else {
    p->pFirst = pPg->pNextFree;
  }
  if (pPg->pNextFree) {
    pPg->pNextFree->pPrevFree = pPg->pPrevFree;
  } else {
    p->pLast = pPg->pPrevFree;
  }
  pPg->pNextFree = pPg->pPrevFree = nullptr;
}

static void page_ref(PgHdr *pPg) {
  if (pPg->nRef == 0) {
    free_list_remove(pPg->pPager, pPg);
    pPg->pPager->nRef++;
  }
  pPg->nRef++;
}

/* Forward declarations. */
static int pager_playback(Pager *p, int useJournalSize);
static int pager_unwritelock(Pager *p);
static int pager_open_journal(Pager *p);
static void pager_reset(Pager *p);
static int pager_fail(Pager *p, int rc, bool keepJournal);

/* Keeps the pager from resetting itself while it calls the client's
** destructor during a playback (the destructor may release the last
** reference the client holds). */
static void pager_pin(Pager *p) { p->nRef++; }
static void pager_unpin(Pager *p) {
  p->nRef--;
  if (p->nRef == 0 && p->pAll && !p->inReset) pager_reset(p);
}

/* Replaces a cached page's content as a reload would: the client first
** releases what its extra area holds (if the page is referenced, the
** destructor has not run since it was last referenced), then the extra area
** is zeroed. */
static void page_reload(Pager *p, PgHdr *pPg, const void *aData) {
  if (pPg->nRef > 0 && p->xDestructor) p->xDestructor(PGHDR_TO_DATA(pPg));
  if (aData) {
    memcpy(PGHDR_TO_DATA(pPg), aData, TARVIK_PAGE_SIZE);
  } else {
    memset(PGHDR_TO_DATA(pPg), 0, TARVIK_PAGE_SIZE);
  }
  memset(PGHDR_TO_EXTRA(pPg), 0, (size_t)p->nExtra);
}

/* ---------------------------------------------------------------- page count */

int tarvikpager_pagecount(Pager *p) {
  if (p->dbSize >= 0) return p->dbSize;
  i64 n;
  if (tarvikOsFileSize(&p->fd, &n) != TARVIK_OK) {
    p->errMask |= PAGER_ERR_DISK;
    return 0;
  }
  n /= TARVIK_PAGE_SIZE;
  if (n > INT_MAX) n = INT_MAX;
  if (p->state != TARVIK_UNLOCK) p->dbSize = (int)n;
  return (int)n;
}

/* ---------------------------------------------------------------- reset */

/* Frees every cached page.  Client references become invalid. */
static void pager_free_pages(Pager *p) {
  PgHdr *pNext;
  for (PgHdr *pPg = p->pAll; pPg; pPg = pNext) {
    pNext = pPg->pNextAll;
    tarvikFree(pPg);
  }
  p->pFirst = p->pLast = p->pFirstSynced = p->pAll = p->pCkpt = nullptr;
  memset(p->aHash, 0, sizeof(p->aHash));
  p->nPage = 0;
}

/* The last reference is gone: drop the cache, end any write transaction and
** release the lock. */
static void pager_reset(Pager *p) {
  p->inReset = 1;
  pager_free_pages(p);
  if (p->state == TARVIK_WRITELOCK) tarvikpager_rollback(p);
  if (p->state != TARVIK_UNLOCK) tarvikOsUnlock(&p->fd);
  p->state = TARVIK_UNLOCK;
  p->dbSize = -1;
  p->nRef = 0;
  p->inReset = 0;
}

/* ---------------------------------------------------------------- ending a transaction */

/* Forgets the statement journal's point (the file is reused, not truncated). */
static void ckpt_forget(Pager *p) {
  if (p->ckptInUse) {
    tarvikOsSeek(&p->cpfd, 0);
    p->ckptNRec = 0;
    p->ckptInUse = 0;
    tarvikFree(p->aInCkpt);
    p->aInCkpt = nullptr;
    while (p->pCkpt) ckpt_list_remove(p, p->pCkpt);
  }
  p->ckptAutoopen = 0;
}

/* Clears the per-transaction state of the pager and its cached pages. */
static void pager_clear_transaction(Pager *p) {
  ckpt_forget(p);
  if (p->ckptOpen) {
    tarvikOsClose(&p->cpfd);
    p->ckptOpen = 0;
  }
  tarvikFree(p->aInJournal);
  p->aInJournal = nullptr;
  for (PgHdr *pPg = p->pAll; pPg; pPg = pPg->pNextAll) {
    pPg->inJournal = 0;
    pPg->dirty = 0;
    pPg->needSync = 0;
  }
  p->needSync = 0;
  p->dirtyFile = 0;
  p->alwaysRollback = 0;
  p->pFirstSynced = p->pFirst;
}

/* Removes the journal for good.  When the name cannot be unlinked, a journal
** cut to zero bytes (and synced) holds nothing and is as good as gone.  The
** handle is closed either way. */
static int pager_remove_journal(Pager *p) {
  int rc = TARVIK_OK;
  if (!p->tempFile && tarvikOsDelete(p->zJournal) != TARVIK_OK) {
    rc = tarvikOsTruncate(&p->jfd, 0);
    if (rc == TARVIK_OK && !p->noSync) rc = tarvikOsSync(&p->jfd);
    if (rc != TARVIK_OK) rc = TARVIK_IOERR;
  }
  tarvikOsClose(&p->jfd);
  p->journalOpen = 0;
  if (rc == TARVIK_OK && p->fullSync && !p->noSync && !p->tempFile) {
    /* Make the journal's disappearance durable too. */
    const char *zDir = p->zDirectory[0] ? p->zDirectory : "/";
    if (p->fd.dirfd < 0 && tarvikOsOpenDirectory(zDir, &p->fd) == TARVIK_OK) tarvikOsSync(&p->fd);
  }
  return rc;
}

/* Leaves the write transaction in doubt: the journal stays on disk for the
** next opener to play back, the lock is released and a sticky error bit says
** this pager can no longer be trusted. */
static void pager_abandon(Pager *p, u8 bit) {
  p->errMask |= bit;
  if ((p->errMask & ~PAGER_ERR_FULL) == 0) p->errMask |= PAGER_ERR_DISK;
  if (p->journalOpen) {
    tarvikOsClose(&p->jfd);
    p->journalOpen = 0;
  }
  pager_clear_transaction(p);
  tarvikOsUnlock(&p->fd);
  p->state = TARVIK_UNLOCK;
  p->dbSize = -1;
}

/* Ends a write transaction whose file content is final (committed, rolled
** back, or never changed): statement journal closed, journal removed, back to
** the read lock. */
static int pager_unwritelock(Pager *p) {
  if (p->state < TARVIK_WRITELOCK) return TARVIK_OK;
  int rc = TARVIK_OK;
  if (p->journalOpen) {
    rc = pager_remove_journal(p);
    if (rc != TARVIK_OK) {
      pager_abandon(p, PAGER_ERR_DISK);
      return rc;
    }
  }
  pager_clear_transaction(p);
  if (tarvikOsReadLock(&p->fd) == TARVIK_OK) {
    p->state = TARVIK_READLOCK;
  } else {
    /* A lock we cannot describe is no lock at all: state and lock agree. */
    tarvikOsUnlock(&p->fd);
    p->state = TARVIK_UNLOCK;
  }
  return rc;
}

/* ---------------------------------------------------------------- playback */

/* Reads one journal record and applies it.  TARVIK_DONE ends the playback
** successfully (end marker or a record from an earlier life of the file). */
static int pager_playback_one_page(Pager *p, OsFile *jfd, int format, bool *pWrote) {
  unsigned char aRec[TARVIK_PAGE_SIZE + 8];
  int nRec = format == JOURNAL_FORMAT_3 ? JOURNAL_PG_SZ(format) : CKPT_PG_SZ;
  int rc = tarvikOsRead(jfd, aRec, nRec);
  if (rc != TARVIK_OK) return rc;
  Pgno pgno = journalInt(format, aRec);
  if (pgno == 0) return TARVIK_DONE;
  if (pgno > (Pgno)p->dbSize) return TARVIK_OK;
  if (format == JOURNAL_FORMAT_3) {
    u32 cksum = getBE32(&aRec[4 + TARVIK_PAGE_SIZE]);
    if (cksum != p->cksumInit + pgno) return TARVIK_DONE;
  }
  rc = tarvikOsSeek(&p->fd, pageOffset(pgno));
  if (rc == TARVIK_OK) rc = tarvikOsWrite(&p->fd, &aRec[4], TARVIK_PAGE_SIZE);
  if (rc != TARVIK_OK) return rc;
  *pWrote = true;
  PgHdr *pPg = pager_lookup(p, pgno);
  if (pPg) {
    page_reload(p, pPg, &aRec[4]);
    pPg->dirty = 0;
    pPg->needSync = 0;
  }
  return TARVIK_OK;
}

/* After a playback every cached page must show the file's content: pages
** still dirty were changed but never journaled (new pages, pages that needed
** no journal), and pages past the restored end no longer exist. */
static int pager_reload_cache(Pager *p, Pgno nPage) {
  unsigned char aBuf[TARVIK_PAGE_SIZE];
  for (PgHdr *pPg = p->pAll; pPg; pPg = pPg->pNextAll) {
    if (!pPg->dirty && pPg->pgno <= nPage) continue;
    if (pPg->pgno > nPage) {
      memset(aBuf, 0, sizeof(aBuf));
    } else {
      int rc = tarvikOsSeek(&p->fd, pageOffset(pPg->pgno));
      if (rc == TARVIK_OK) rc = tarvikOsRead(&p->fd, aBuf, TARVIK_PAGE_SIZE);
      if (rc != TARVIK_OK) return rc;
    }
    if (pPg->nRef == 0 || memcmp(aBuf, PGHDR_TO_DATA(pPg), TARVIK_PAGE_SIZE) != 0) {
      page_reload(p, pPg, aBuf);
    }
    pPg->dirty = 0;
    pPg->needSync = 0;
  }
  return TARVIK_OK;
}

static bool allZero(const unsigned char *a, int n) {
  for (int i = 0; i < n; i++) {
    if (a[i]) return false;
  }
  return true;
}

/* Plays the open journal back into the file and the cache, then ends the
** write transaction.  With useJournalSize the records are counted from the
** file's size (this process wrote them and knows they are whole); otherwise
** from the header, as a hot journal's count says what was synced.
**
** On success the database is synced (unless syncing is off), the journal is
** removed and the pager holds the read lock.  On failure the journal is kept
** for the next opener, the lock is released and a sticky error is set:
** TARVIK_CORRUPT for a damaged journal, TARVIK_IOERR when the file could not
** be read or written. */
static int pager_playback(Pager *p, int useJournalSize) {
  tvAssert(p->journalOpen);
  pager_pin(p);
  bool wrote = false;
  int rc = TARVIK_OK;
  int format = 0;
  i64 szJ = 0;
  u32 nRec = 0;
  u32 mxPg = 0;
  unsigned char aHdr[20];
  bool holdsNothing = false;

  rc = tarvikOsFileSize(&p->jfd, &szJ);
  if (rc != TARVIK_OK) goto failed;
  if (szJ < 12) {
    holdsNothing = true;
    goto done;
  }
  /* A header never synced may survive a power loss as zeros: such a
  ** journal was never allowed to cover a change of the database. */
  tarvikOsSeek(&p->jfd, 0);
  rc = tarvikOsRead(&p->jfd, aHdr, szJ < 20 ? 12 : 20);
  if (rc != TARVIK_OK) goto failed;
  if (allZero(aHdr, szJ < 20 ? 12 : 20)) {
    holdsNothing = true;
    goto done;
  }
  if (memcmp(aHdr, aJournalMagic3, 8) == 0) {
    format = JOURNAL_FORMAT_3;
  } else if (memcmp(aHdr, aJournalMagic2, 8) == 0) {
    format = JOURNAL_FORMAT_2;
  } else if (memcmp(aHdr, aJournalMagic1, 8) == 0) {
    format = JOURNAL_FORMAT_1;
  } else {
    rc = TARVIK_CORRUPT;
    goto failed;
  }
  if (format == JOURNAL_FORMAT_3) {
    if (szJ < 20) {
      holdsNothing = true;
      goto done;
    }
    nRec = getBE32(&aHdr[8]);
    p->cksumInit = getBE32(&aHdr[12]);
    mxPg = getBE32(&aHdr[16]);
    u32 nInFile = (u32)((szJ - 20) / JOURNAL_PG_SZ(format));
    if (nRec == 0xffffffff || useJournalSize || nRec > nInFile) nRec = nInFile;
  } else {
    nRec = (u32)((szJ - 12) / JOURNAL_PG_SZ(format));
    mxPg = journalInt(format, &aHdr[8]);
  }
  if (mxPg > (u32)INT_MAX) {
    rc = TARVIK_CORRUPT;
    goto failed;
  }

  {
    i64 szDb = 0;
    rc = tarvikOsFileSize(&p->fd, &szDb);
    if (rc != TARVIK_OK) goto failed;
    if (szDb != (i64)mxPg * TARVIK_PAGE_SIZE) {
      rc = tarvikOsTruncate(&p->fd, (i64)mxPg * TARVIK_PAGE_SIZE);
      if (rc != TARVIK_OK) goto failed;
      wrote = true;
    }
  }
  p->dbSize = (int)mxPg;

  tarvikOsSeek(&p->jfd, JOURNAL_HDR_SZ(format));
  for (u32 i = 0; i < nRec; i++) {
    rc = pager_playback_one_page(p, &p->jfd, format, &wrote);
    if (rc == TARVIK_DONE) {
      rc = TARVIK_OK;
      break;
    }
    if (rc != TARVIK_OK) goto failed;
  }

done:
  if (holdsNothing) {
    p->dbSize = -1;
    mxPg = (u32)tarvikpager_pagecount(p);
  }
  rc = pager_reload_cache(p, (Pgno)mxPg);
  if (rc != TARVIK_OK) goto failed;
  if (wrote && !p->noSync) {
    rc = tarvikOsSync(&p->fd);
    if (rc != TARVIK_OK) goto failed;
  }
  rc = pager_unwritelock(p);
  p->dbSize = -1;
  pager_unpin(p);
  return rc;

failed:
  if (holdsNothing) {
    /* Nothing to lose: the journal may go. */
    rc = pager_unwritelock(p);
  } else {
    if (rc != TARVIK_CORRUPT && rc != TARVIK_FULL) rc = TARVIK_IOERR;
    pager_abandon(p, errBitFor(rc));
  }
  pager_unpin(p);
  return rc;
}

/* ---------------------------------------------------------------- open / close */

/* A new temporary file, deleted when closed. */
static int tarvikpager_opentemp(char *zFile, OsFile *fd) {
  int rc = TARVIK_CANTOPEN;
  for (int cnt = 0; cnt < 8; cnt++) {
    if (tarvikOsTempFileName(zFile) != TARVIK_OK) continue;
    rc = tarvikOsOpenExclusive(zFile, fd, 1);
    if (rc == TARVIK_OK) return rc;
  }
  return rc == TARVIK_NOMEM ? rc : TARVIK_CANTOPEN;
}

static void initFile(OsFile *f) {
  memset(f, 0, sizeof(*f));
  f->fd = -1;
  f->dirfd = -1;
}

int tarvikpager_open(Pager **ppPager, const char *zFilename, int mxPage, int nExtra,
                     int useJournal) {
  *ppPager = nullptr;
  if (tarvik_malloc_failed) return TARVIK_NOMEM;
  char zTemp[TARVIK_TEMPNAME_SIZE];
  OsFile fd;
  initFile(&fd);
  int readOnly = 0;
  int tempFile;
  char *zFullPath;
  int rc;
  if (zFilename && zFilename[0]) {
    zFullPath = tarvikOsFullPathname(zFilename);
    if (zFullPath == nullptr) return TARVIK_NOMEM;
    rc = tarvikOsOpenReadWrite(zFullPath, &fd, &readOnly);
    tempFile = 0;
    if (rc == TARVIK_OK) {
      /* The journal's name must be the same whichever name (link, relative
      ** path) the file was opened by, or a hot journal would be missed. */
      char *z = tarvikOsResolvedPathname(zFullPath);
      if (z == nullptr) {
        rc = TARVIK_NOMEM;
      } else {
        tarvikFree(zFullPath);
        zFullPath = z;
      }
    }
  } else {
    rc = tarvikpager_opentemp(zTemp, &fd);
    zFullPath = rc == TARVIK_OK ? tarvikOsFullPathname(zTemp) : nullptr;
    if (rc == TARVIK_OK && zFullPath == nullptr) rc = TARVIK_NOMEM;
    tempFile = 1;
  }
  if (rc != TARVIK_OK) {
    tarvikOsClose(&fd);
    tarvikFree(zFullPath);
    return rc == TARVIK_NOMEM ? rc : TARVIK_CANTOPEN;
  }
  int nName = (int)strlen(zFullPath);
  auto *p = (Pager *)tarvikMalloc((int)sizeof(Pager) + nName * 3 + 30);
  if (p == nullptr) {
    tarvikOsClose(&fd);
    tarvikFree(zFullPath);
    return TARVIK_NOMEM;
  }
  p->zFilename = (char *)&p[1];
  p->zDirectory = &p->zFilename[nName + 1];
  p->zJournal = &p->zDirectory[nName + 1];
  memcpy(p->zFilename, zFullPath, (size_t)nName + 1);
  memcpy(p->zDirectory, zFullPath, (size_t)nName + 1);
  char *zSlash = strrchr(p->zDirectory, '/');
  if (zSlash) *zSlash = 0;
  memcpy(p->zJournal, zFullPath, (size_t)nName);
  memcpy(&p->zJournal[nName], "-journal", 9);
  tarvikFree(zFullPath);

  p->fd = fd;
  initFile(&p->jfd);
  initFile(&p->cpfd);
  p->dbSize = -1;
  p->nExtra = (nExtra + 7) & ~7;
  p->mxPage = mxPage > 5 ? mxPage : 10;
  p->state = TARVIK_UNLOCK;
  p->tempFile = (u8)tempFile;
  p->readOnly = (u8)readOnly;
  p->useJournal = useJournal != 0;
  p->noSync = p->tempFile || !p->useJournal;
  *ppPager = p;
  return TARVIK_OK;
}

int tarvikpager_close(Pager *p) {
  if (p->state == TARVIK_WRITELOCK) tarvikpager_rollback(p);
  if (p->state != TARVIK_UNLOCK) tarvikOsUnlock(&p->fd);
  p->state = TARVIK_UNLOCK;
  p->inReset = 1; /* the pages go without their references */
  pager_free_pages(p);
  if (p->journalOpen) tarvikOsClose(&p->jfd);
  if (p->ckptOpen) tarvikOsClose(&p->cpfd);
  tarvikFree(p->aInJournal);
  tarvikFree(p->aInCkpt);
  tarvikOsClose(&p->fd);
  tarvikFree(p);
  return TARVIK_OK;
}

void tarvikpager_set_destructor(Pager *p, tarvikpager_destructor xDestructor) {
  p->xDestructor = xDestructor;
}

/* A pending journal sync (needSync) is never dropped here: only the sync
** itself clears it, so pages waiting for it stay unwritten. */
void tarvikpager_set_cachesize(Pager *p, int mxPage) {
  if (mxPage < 0) {
    p->noSync = 1;
    mxPage = -mxPage;
  } else {
    p->noSync = p->tempFile;
  }
  if (mxPage > 10) p->mxPage = mxPage;
}

void tarvikpager_set_safety_level(Pager *p, int level) {
  p->noSync = level == 1 || p->tempFile;
  p->fullSync = level == 3 && !p->tempFile;
}

void tarvikpager_set_codec(Pager *p, tarvikpager_codec xCodec, void *pCodecArg) {
  p->xCodec = xCodec;
  p->pCodecArg = pCodecArg;
}

int tarvikpager_isreadonly(Pager *p) { return p->readOnly; }
const char *tarvikpager_filename(Pager *p) { return p->zFilename; }

int *tarvikpager_stats(Pager *p) {
  static int a[TARVIK_PAGERSTAT_COUNT];
  a[TARVIK_PAGERSTAT_NREF] = p->nRef;
  a[TARVIK_PAGERSTAT_NPAGE] = p->nPage;
  a[TARVIK_PAGERSTAT_MXPAGE] = p->mxPage;
  a[TARVIK_PAGERSTAT_DBSIZE] = p->dbSize;
  a[TARVIK_PAGERSTAT_STATE] = p->state;
  a[TARVIK_PAGERSTAT_ERRMASK] = p->errMask;
  a[TARVIK_PAGERSTAT_NHIT] = p->nHit;
  a[TARVIK_PAGERSTAT_NMISS] = p->nMiss;
  a[TARVIK_PAGERSTAT_NOVFL] = p->nOvfl;
  return a;
}

/* ---------------------------------------------------------------- journal sync */

/* Makes every journal record written so far durable, so that the pages they
** cover may be written to the file. */
static int syncJournal(Pager *p) {
  if (p->needSync) {
    if (!p->tempFile) {
      tvAssert(p->journalOpen);
      int rc = TARVIK_OK;
      if (p->fullSync && !p->noSync) rc = tarvikOsSync(&p->jfd);
      if (rc == TARVIK_OK) rc = tarvikOsSeek(&p->jfd, 8);
      if (rc == TARVIK_OK) rc = write32bits(&p->jfd, (u32)p->nRec);
      if (rc == TARVIK_OK) p->countBySize = 0;
      if (rc == TARVIK_OK) {
        rc = tarvikOsSeek(&p->jfd, (i64)p->nRec * JOURNAL_PG_SZ(JOURNAL_FORMAT_3) + 20);
      }
      if (rc == TARVIK_OK && !p->noSync) rc = tarvikOsSync(&p->jfd);
      if (rc != TARVIK_OK) return rc;
      p->journalStarted = 1;
    }
    p->needSync = 0;
    for (PgHdr *pPg = p->pAll; pPg; pPg = pPg->pNextAll) pPg->needSync = 0;
    p->pFirstSynced = p->pFirst;
  }
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- failures in a write transaction
 */

/* A write, sync or allocation of the write transaction failed with rc.  The
** sticky bit for rc is set and the transaction undone: played back in this
** process when that is safe, else (keepJournal: a sync failed, so what the
** disk holds is unknown) left to the next opener with the journal kept.
** Returns rc. */
static int pager_fail(Pager *p, int rc, bool keepJournal) {
  p->errMask |= errBitFor(rc);
  if (p->state == TARVIK_WRITELOCK) {
    if (keepJournal || !p->journalOpen) {
      pager_abandon(p, errBitFor(rc));
    } else {
      pager_playback(p, 1);
    }
  }
  return rc;
}

/* ---------------------------------------------------------------- fetching pages */

/* First reference since the lock was dropped: take the read lock, play back a
** hot journal, and refuse a file that is not a database. */
static int pager_first_lock(Pager *p) {
  int rc = tarvikOsReadLock(&p->fd);
  if (rc != TARVIK_OK) return rc;
  p->state = TARVIK_READLOCK;
  if (p->useJournal && tarvikOsFileExists(p->zJournal)) {
    rc = tarvikOsWriteLock(&p->fd);
    if (rc != TARVIK_OK) {
      if (tarvikOsUnlock(&p->fd) != TARVIK_OK) rc = TARVIK_INTERNAL;
      p->state = TARVIK_UNLOCK;
      return rc;
    }
    p->state = TARVIK_WRITELOCK;
    /* Another process may have finished with it meanwhile. */
    if (tarvikOsFileExists(p->zJournal)) {
      rc = tarvikOsOpenReadOnly(p->zJournal, &p->jfd);
      if (rc != TARVIK_OK) {
        tarvikOsUnlock(&p->fd);
        p->state = TARVIK_UNLOCK;
        return TARVIK_BUSY;
      }
      p->journalOpen = 1;
      p->journalStarted = 0;
      p->origDbSize = 0;
      rc = pager_playback(p, 0);
      if (rc != TARVIK_OK) return rc;
    } else {
      rc = pager_unwritelock(p);
      if (rc != TARVIK_OK) return rc;
    }
    if (p->state != TARVIK_READLOCK) return TARVIK_BUSY;
  }
  /* A file of 1 to 1023 bytes has no whole page.  It may be a database cut
  ** short while page 1 was first written; anything else is someone's file
  ** that must not be taken for an empty database and overwritten. */
  i64 sz;
  rc = tarvikOsFileSize(&p->fd, &sz);
  if (rc == TARVIK_OK && sz > 0 && sz < TARVIK_PAGE_SIZE) {
    unsigned char aHead[TARVIK_FILE_MAGIC_SIZE];
    int n = sz < TARVIK_FILE_MAGIC_SIZE ? (int)sz : TARVIK_FILE_MAGIC_SIZE;
    rc = tarvikOsSeek(&p->fd, 0);
    if (rc == TARVIK_OK) rc = tarvikOsRead(&p->fd, aHead, n);
    if (rc == TARVIK_OK && memcmp(aHead, TARVIK_FILE_MAGIC, (size_t)n) != 0) rc = TARVIK_NOTADB;
  }
  if (rc != TARVIK_OK) {
    tarvikOsUnlock(&p->fd);
    p->state = TARVIK_UNLOCK;
    return rc;
  }
  return TARVIK_OK;
}

int tarvikpager_get(Pager *p, Pgno pgno, void **ppPage) {
  *ppPage = nullptr;
  tvAssert(pgno != 0);
  if (pgno == 0) return TARVIK_ERROR;
  if (p->errMask & ~PAGER_ERR_FULL) return pager_errcode(p);
  /* Page counts are ints: a larger number can only come from a damaged
  ** file, and would index past the transaction's bitmaps. */
  if (pgno > (Pgno)INT_MAX) return TARVIK_CORRUPT;

  if (p->nRef == 0) {
    tvAssert(p->pAll == nullptr);
    int rc = pager_first_lock(p);
    if (rc != TARVIK_OK) return rc;
  }

  PgHdr *pPg = pager_lookup(p, pgno);
  if (pPg) {
    p->nHit++;
    page_ref(pPg);
    *ppPage = PGHDR_TO_DATA(pPg);
    return TARVIK_OK;
  }

  p->nMiss++;
  if (p->nPage < p->mxPage || p->pFirst == nullptr) {
    pPg = (PgHdr *)tarvikMallocRaw((int)sizeof(PgHdr) + TARVIK_PAGE_SIZE + p->nExtra + 8);
    if (pPg == nullptr) {
      /* The write transaction (if any) and its journal stay until the caller
      ** rolls back; with no page referenced, drop the lock now. */
      p->errMask |= PAGER_ERR_MEM;
      if (p->nRef == 0) pager_reset(p);
      return TARVIK_NOMEM;
    }
    memset(pPg, 0, sizeof(PgHdr));
    pPg->pPager = p;
    pPg->pNextAll = p->pAll;
    if (p->pAll) p->pAll->pPrevAll = pPg;
    p->pAll = pPg;
    p->nPage++;
  } else {
    /* Recycle the least recently released page, preferring one that does not
    ** wait for a journal sync. */
    pPg = p->pFirstSynced;
    if (pPg == nullptr) {
      int rc = syncJournal(p);
      if (rc != TARVIK_OK) return pager_fail(p, rc, true);
      pPg = p->pFirst;
    }
    tvAssert(pPg->nRef == 0);
    if (pPg->dirty) {
      if (pPg->pgno <= (Pgno)p->dbSize) {
        tvAssert(!pPg->needSync);
        int rc = tarvikOsSeek(&p->fd, pageOffset(pPg->pgno));
        if (rc == TARVIK_OK) rc = tarvikOsWrite(&p->fd, PGHDR_TO_DATA(pPg), TARVIK_PAGE_SIZE);
        if (rc != TARVIK_OK) return pager_fail(p, rc, false);
      }
      pPg->dirty = 0;
    }
    if (pPg->alwaysRollback) p->alwaysRollback = 1;
    free_list_remove(p, pPg);
    hash_remove(p, pPg);
    ckpt_list_remove(p, pPg);
    p->nOvfl++;
    Pager *pp = pPg->pPager;
    PgHdr *pNextAll = pPg->pNextAll, *pPrevAll = pPg->pPrevAll;
    memset(pPg, 0, sizeof(PgHdr));
    pPg->pPager = pp;
    pPg->pNextAll = pNextAll;
    pPg->pPrevAll = pPrevAll;
  }

  pPg->pgno = pgno;
  pPg->inJournal =
      p->aInJournal && (int)pgno <= p->origDbSize && bitTest(p->aInJournal, pgno) ? 1 : 0;
  pPg->needSync = 0;
  if (p->aInCkpt && (int)pgno <= p->ckptSize && bitTest(p->aInCkpt, pgno)) {
    ckpt_list_add(p, pPg);
  }
  pPg->dirty = 0;
  pPg->nRef = 1;
  p->nRef++;
  hash_insert(p, pPg);
  memset(PGHDR_TO_EXTRA(pPg), 0, (size_t)p->nExtra);

  int nDb = tarvikpager_pagecount(p);
  if (p->errMask & ~PAGER_ERR_FULL) {
    tarvikpager_unref(PGHDR_TO_DATA(pPg));
    return pager_errcode(p);
  }
  unsigned char *aData = (unsigned char *)PGHDR_TO_DATA(pPg);
  /* Past the last whole page the data is zeros, except that a partial last
  ** page shows the bytes it has. */
  if ((int)pgno > nDb + 1) {
    memset(aData, 0, TARVIK_PAGE_SIZE);
  } else {
    int rc = tarvikOsSeek(&p->fd, pageOffset(pgno));
    if (rc == TARVIK_OK) rc = tarvikOsRead(&p->fd, aData, TARVIK_PAGE_SIZE);
    if (rc != TARVIK_OK) {
      i64 sz;
      if (tarvikOsFileSize(&p->fd, &sz) != TARVIK_OK || sz >= (i64)pgno * TARVIK_PAGE_SIZE) {
        /* Forget the page: its content is unknown. */
        hash_remove(p, pPg);
        pPg->pgno = 0;
        hash_insert(p, pPg);
        tarvikpager_unref(aData);
        return rc;
      }
      i64 nHave = sz - pageOffset(pgno);
      if (nHave < 0) nHave = 0;
      memset(aData + nHave, 0, (size_t)(TARVIK_PAGE_SIZE - nHave));
    }
  }
  *ppPage = aData;
  return TARVIK_OK;
}

void *tarvikpager_lookup(Pager *p, Pgno pgno) {
  if (p->errMask & ~PAGER_ERR_FULL) return nullptr;
  if (p->nRef == 0) return nullptr;
  PgHdr *pPg = pager_lookup(p, pgno);
  if (pPg == nullptr) return nullptr;
  page_ref(pPg);
  return PGHDR_TO_DATA(pPg);
}

int tarvikpager_ref(void *pData) {
  page_ref(DATA_TO_PGHDR(pData));
  return TARVIK_OK;
}

int tarvikpager_unref(void *pData) {
  PgHdr *pPg = DATA_TO_PGHDR(pData);
  Pager *p = pPg->pPager;
  tvAssert(pPg->nRef > 0);
  pPg->nRef--;
  if (pPg->nRef == 0) {
    pPg->pNextFree = nullptr;
    pPg->pPrevFree = p->pLast;
    if (p->pLast) {
      p->pLast->pNextFree = pPg;
    } else {
      p->pFirst = pPg;
    }
    p->pLast = pPg;
    if (!pPg->needSync && p->pFirstSynced == nullptr) p->pFirstSynced = pPg;
    if (p->xDestructor) p->xDestructor(pData);
    p->nRef--;
    tvAssert(p->nRef >= 0);
    if (p->nRef == 0 && !p->inReset) pager_reset(p);
  }
  return TARVIK_OK;
}

Pgno tarvikpager_pagenumber(void *pData) { return DATA_TO_PGHDR(pData)->pgno; }

void *tarvikpager_extra(void *pData) { return (char *)pData + TARVIK_PAGE_SIZE; }

int tarvikpager_iswriteable(void *pData) { return DATA_TO_PGHDR(pData)->dirty; }

/* ---------------------------------------------------------------- write transactions */

static int pager_open_journal(Pager *p) {
  tvAssert(p->state == TARVIK_WRITELOCK && !p->journalOpen && p->useJournal);
  tarvikpager_pagecount(p);
  if (p->errMask & ~PAGER_ERR_FULL) return pager_errcode(p);
  p->aInJournal = (u8 *)tarvikMalloc(p->dbSize / 8 + 1);
  if (p->aInJournal == nullptr) {
    pager_unwritelock(p);
    return TARVIK_NOMEM;
  }
  int rc = tarvikOsOpenExclusive(p->zJournal, &p->jfd, p->tempFile);
  if (rc != TARVIK_OK) {
    initFile(&p->jfd);
    pager_unwritelock(p);
    return rc == TARVIK_NOMEM ? rc : TARVIK_CANTOPEN;
  }
  if (!p->tempFile) {
    tarvikOsOpenDirectory(p->zDirectory[0] ? p->zDirectory : "/", &p->jfd);
  }
  p->journalOpen = 1;
  p->journalStarted = 0;
  p->needSync = 0;
  p->alwaysRollback = 0;
  p->nRec = 0;
  p->origDbSize = p->dbSize;

  unsigned char aHdr[20];
  memcpy(aHdr, aJournalMagic3, 8);
  putBE32(&aHdr[8], p->noSync ? 0xffffffff : 0);
  p->countBySize = p->noSync;
  tarvikRandomness(4, &p->cksumInit);
  putBE32(&aHdr[12], p->cksumInit);
  putBE32(&aHdr[16], (u32)p->dbSize);
  rc = tarvikOsWrite(&p->jfd, aHdr, 20);
  if (rc == TARVIK_OK && p->ckptAutoopen) rc = tarvikpager_ckpt_begin(p);
  if (rc != TARVIK_OK) {
    /* Nothing of the database has changed: the journal may go. */
    int rc2 = pager_unwritelock(p);
    return rc2 != TARVIK_OK ? rc2 : rc;
  }
  return TARVIK_OK;
}

int tarvikpager_begin(void *pData) {
  PgHdr *pPg = DATA_TO_PGHDR(pData);
  Pager *p = pPg->pPager;
  tvAssert(pPg->nRef > 0 && p->state != TARVIK_UNLOCK);
  if (p->state == TARVIK_WRITELOCK) return TARVIK_OK;
  if (p->readOnly) return TARVIK_PERM;
  int rc = tarvikOsWriteLock(&p->fd);
  if (rc != TARVIK_OK) return rc;
  p->state = TARVIK_WRITELOCK;
  p->dirtyFile = 0;
  p->minDbSize = tarvikpager_pagecount(p);
  if (p->useJournal && !p->tempFile) rc = pager_open_journal(p);
  return rc;
}

/* Writes one journal record straight from the page block (no copy): the page
** number goes into the 4 bytes before the data, the checksum into the first
** 4 bytes of the extra area, which are saved and restored around the write. */
static int journal_write_page(Pager *p, PgHdr *pPg) {
  unsigned char *aData = (unsigned char *)PGHDR_TO_DATA(pPg);
  unsigned char aSave[4];
  memcpy(aSave, aData + TARVIK_PAGE_SIZE, 4);
  store32bits(pPg->pgno, pPg, -4);
  store32bits(p->cksumInit + pPg->pgno, pPg, TARVIK_PAGE_SIZE);
  int rc = tarvikOsWrite(&p->jfd, aData - 4, JOURNAL_PG_SZ(JOURNAL_FORMAT_3));
  memcpy(aData + TARVIK_PAGE_SIZE, aSave, 4);
  return rc;
}

static int ckpt_write_page(Pager *p, PgHdr *pPg) {
  unsigned char *aData = (unsigned char *)PGHDR_TO_DATA(pPg);
  store32bits(pPg->pgno, pPg, -4);
  return tarvikOsWrite(&p->cpfd, aData - 4, CKPT_PG_SZ);
}

/* Journals a page's current content where the transaction or the statement
** needs it, without marking it dirty. */
static int pager_journal_page(Pager *p, PgHdr *pPg) {
  int rc;
  if (!pPg->inJournal && p->useJournal) {
    if ((int)pPg->pgno <= p->origDbSize) {
      tvAssert(p->journalOpen);
      rc = journal_write_page(p, pPg);
      if (rc != TARVIK_OK) return pager_fail(p, rc, false);
      p->nRec++;
      bitSet(p->aInJournal, pPg->pgno);
      /* With syncing off the record needs no fsync, but a header that counts
      ** its records (syncing was on when the journal opened, or at a sync
      ** since) must count this one before the page may reach the file, or a
      ** crash would leave a journal that does not restore it. */
      pPg->needSync = !p->noSync || !p->countBySize;
      pPg->inJournal = 1;
      if (p->ckptInUse && (int)pPg->pgno <= p->ckptSize) {
        bitSet(p->aInCkpt, pPg->pgno);
        ckpt_list_add(p, pPg);
      }
    } else {
      pPg->needSync = !p->journalStarted && !p->noSync;
    }
    if (pPg->needSync) p->needSync = 1;
  }
  if (p->ckptInUse && !pPg->inCkpt && (int)pPg->pgno <= p->ckptSize) {
    tvAssert(pPg->inJournal || (int)pPg->pgno > p->origDbSize);
    rc = ckpt_write_page(p, pPg);
    if (rc != TARVIK_OK) return pager_fail(p, rc, false);
    p->ckptNRec++;
    bitSet(p->aInCkpt, pPg->pgno);
    ckpt_list_add(p, pPg);
  }
  return TARVIK_OK;
}

int tarvikpager_write(void *pData) {
  PgHdr *pPg = DATA_TO_PGHDR(pData);
  Pager *p = pPg->pPager;
  if (p->errMask) return pager_errcode(p);
  if (p->readOnly) return TARVIK_PERM;
  if (pPg->inJournal && (pPg->inCkpt || !p->ckptInUse) && p->state == TARVIK_WRITELOCK) {
    pPg->dirty = 1;
    p->dirtyFile = 1;
    if ((int)pPg->pgno > p->dbSize) p->dbSize = (int)pPg->pgno;
    return TARVIK_OK;
  }
  /* The page becomes dirty only once its old content is safe: a page marked
  ** dirty outside a transaction could be written without the write lock. */
  int rc = tarvikpager_begin(pData);
  if (rc != TARVIK_OK) return rc;
  if (!p->journalOpen && p->useJournal) {
    rc = pager_open_journal(p);
    if (rc != TARVIK_OK) return rc;
  }
  rc = pager_journal_page(p, pPg);
  if (rc != TARVIK_OK) return rc;
  pPg->dirty = 1;
  p->dirtyFile = 1;
  if ((int)pPg->pgno > p->dbSize) p->dbSize = (int)pPg->pgno;
  return TARVIK_OK;
}

int tarvikpager_overwrite(Pager *p, Pgno pgno, const void *pData) {
  void *pPage;
  int rc = tarvikpager_get(p, pgno, &pPage);
  if (rc == TARVIK_OK) {
    rc = tarvikpager_write(pPage);
    if (rc == TARVIK_OK) memcpy(pPage, pData, TARVIK_PAGE_SIZE);
    tarvikpager_unref(pPage);
  }
  return rc;
}

void tarvikpager_dont_write(Pager *p, Pgno pgno) {
  PgHdr *pPg = pager_lookup(p, pgno);
  if (pPg == nullptr) return;
  pPg->alwaysRollback = 1;
  if (pPg->dirty) {
    if (p->dbSize == (int)pPg->pgno && p->minDbSize < p->dbSize) {
      /* The last page of a grown file must still be written so that the file
      ** reaches its size (grown since the transaction began, or since a
      ** truncation in it). */
    } else if (p->ckptInUse && !pPg->inCkpt && (int)pPg->pgno <= p->ckptSize) {
      /* Changed before the statement and not recorded for it: if the
      ** statement is rolled back the page is live again with that change,
      ** which only this dirty flag still carries to the file. */
    } else {
      pPg->dirty = 0;
    }
  }
}

void tarvikpager_dont_rollback(void *pData) {
  PgHdr *pPg = DATA_TO_PGHDR(pData);
  Pager *p = pPg->pPager;
  if (p->state != TARVIK_WRITELOCK || !p->journalOpen) return;
  if (pPg->alwaysRollback || p->alwaysRollback) return;
  if (!pPg->inJournal && (int)pPg->pgno <= p->origDbSize) {
    bitSet(p->aInJournal, pPg->pgno);
    pPg->inJournal = 1;
    if (p->ckptInUse && (int)pPg->pgno <= p->ckptSize) {
      bitSet(p->aInCkpt, pPg->pgno);
      ckpt_list_add(p, pPg);
    }
  }
  if (p->ckptInUse && !pPg->inCkpt && (int)pPg->pgno <= p->ckptSize) {
    bitSet(p->aInCkpt, pPg->pgno);
    ckpt_list_add(p, pPg);
  }
}

/* Sorts a pDirty list by page number (merge sort, no allocation). */
static PgHdr *sort_dirty(PgHdr *pList) {
  if (pList == nullptr || pList->pDirty == nullptr) return pList;
  PgHdr *a = nullptr, *b = nullptr;
  bool toA = true;
  while (pList) {
    PgHdr *pNext = pList->pDirty;
    if (toA) {
      pList->pDirty = a;
      a = pList;
    } else {
      pList->pDirty = b;
      b = pList;
    }
    toA = !toA;
    pList = pNext;
  }
  a = sort_dirty(a);
  b = sort_dirty(b);
  PgHdr head;
  PgHdr *pTail = &head;
  while (a && b) {
    if (a->pgno < b->pgno) {
      pTail->pDirty = a;
      a = a->pDirty;
    } else {
      pTail->pDirty = b;
      b = b->pDirty;
    }
    pTail = pTail->pDirty;
  }
  pTail->pDirty = a ? a : b;
  return head.pDirty;
}

int tarvikpager_commit(Pager *p) {
  if (p->errMask == PAGER_ERR_FULL) {
    int rc = tarvikpager_rollback(p);
    return rc == TARVIK_OK ? TARVIK_FULL : rc;
  }
  if (p->errMask) return pager_errcode(p);
  if (p->state != TARVIK_WRITELOCK) return TARVIK_ERROR;
  if (!p->dirtyFile) {
    int rc = pager_unwritelock(p);
    p->dbSize = -1;
    return rc;
  }
  int rc = syncJournal(p);
  if (rc != TARVIK_OK) return pager_fail(p, rc, true);

  PgHdr *pList = nullptr;
  for (PgHdr *pPg = p->pAll; pPg; pPg = pPg->pNextAll) {
    /* Pages cut off by a truncation are not written back. */
    if (pPg->dirty && pPg->pgno <= (Pgno)p->dbSize) {
      pPg->pDirty = pList;
      pList = pPg;
    }
  }
  pList = sort_dirty(pList);
  for (PgHdr *pPg = pList; pPg; pPg = pPg->pDirty) {
    rc = tarvikOsSeek(&p->fd, pageOffset(pPg->pgno));
    if (rc == TARVIK_OK) rc = tarvikOsWrite(&p->fd, PGHDR_TO_DATA(pPg), TARVIK_PAGE_SIZE);
    if (rc != TARVIK_OK) return pager_fail(p, rc, false);
  }
  if (!p->noSync) {
    rc = tarvikOsSync(&p->fd);
    if (rc != TARVIK_OK) return pager_fail(p, rc, true);
  }
  rc = pager_unwritelock(p);
  p->dbSize = -1;
  return rc;
}

int tarvikpager_rollback(Pager *p) {
  if (p->state == TARVIK_WRITELOCK && (!p->dirtyFile || !p->journalOpen)) {
    /* Without a journal nothing can be restored from the file, but the cache
    ** must at least stop showing changes that never reached it. */
    if (p->dirtyFile && !p->journalOpen) {
      p->dbSize = -1;
      pager_reload_cache(p, (Pgno)tarvikpager_pagecount(p));
    }
    int rc = pager_unwritelock(p);
    p->dbSize = -1;
    return rc;
  }
  if (p->errMask & ~PAGER_ERR_FULL) {
    if (p->state == TARVIK_WRITELOCK) pager_playback(p, 1);
    return pager_errcode(p);
  }
  if (p->state != TARVIK_WRITELOCK) return TARVIK_OK;
  int rc = pager_playback(p, 1);
  p->dbSize = -1;
  return rc;
}

/* ---------------------------------------------------------------- truncate */

int tarvikpager_truncate(Pager *p, Pgno nPage) {
  tarvikpager_pagecount(p);
  if (p->errMask) return pager_errcode(p);
  if (nPage >= (Pgno)p->dbSize) return TARVIK_OK;
  if (p->state != TARVIK_WRITELOCK) return TARVIK_ERROR;
  int rc;
  if (!p->journalOpen && p->useJournal) {
    rc = pager_open_journal(p);
    if (rc != TARVIK_OK) return rc;
  }
  /* The truncation destroys the content of every page past nPage: each one
  ** the transaction or the statement may have to restore is journaled first. */
  for (Pgno i = nPage + 1; i <= (Pgno)p->dbSize; i++) {
    bool needMain = p->journalOpen && (int)i <= p->origDbSize && !bitTest(p->aInJournal, i);
    bool needCkpt = p->ckptInUse && (int)i <= p->ckptSize && !bitTest(p->aInCkpt, i);
    if (!needMain && !needCkpt) continue;
    void *pData;
    rc = tarvikpager_get(p, i, &pData);
    if (rc != TARVIK_OK) return rc;
    PgHdr *pPg = DATA_TO_PGHDR(pData);
    rc = pager_journal_page(p, pPg);
    tarvikpager_unref(pData);
    if (rc != TARVIK_OK) return rc;
  }
  rc = syncJournal(p);
  if (rc != TARVIK_OK) return pager_fail(p, rc, true);
  rc = tarvikOsTruncate(&p->fd, (i64)nPage * TARVIK_PAGE_SIZE);
  if (rc != TARVIK_OK) return pager_fail(p, rc, false);
  p->dbSize = (int)nPage;
  if ((int)nPage < p->minDbSize) p->minDbSize = (int)nPage;
  p->dirtyFile = 1;
  for (PgHdr *pPg = p->pAll; pPg; pPg = pPg->pNextAll) {
    if (pPg->pgno <= nPage) continue;
    pPg->dirty = 0;
    /* A page past the end reads as zeros if it is fetched again. */
    if (pPg->nRef == 0) page_reload(p, pPg, nullptr);
  }
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- checkpoints */

int tarvikpager_ckpt_begin(Pager *p) {
  if (!p->journalOpen) {
    p->ckptAutoopen = 1;
    return TARVIK_OK;
  }
  tvAssert(!p->ckptInUse);
  p->aInCkpt = (u8 *)tarvikMalloc(p->dbSize / 8 + 1);
  if (p->aInCkpt == nullptr) return TARVIK_NOMEM;
  p->ckptJSize = (i64)p->nRec * JOURNAL_PG_SZ(JOURNAL_FORMAT_3) + 20;
  p->ckptSize = p->dbSize;
  if (!p->ckptOpen) {
    char zTemp[TARVIK_TEMPNAME_SIZE];
    int rc = tarvikpager_opentemp(zTemp, &p->cpfd);
    if (rc != TARVIK_OK) {
      initFile(&p->cpfd);
      tarvikFree(p->aInCkpt);
      p->aInCkpt = nullptr;
      return rc;
    }
    p->ckptOpen = 1;
    p->ckptNRec = 0;
  }
  p->ckptInUse = 1;
  return TARVIK_OK;
}

int tarvikpager_ckpt_commit(Pager *p) {
  ckpt_forget(p);
  return TARVIK_OK;
}

/* Restores every page to its content when the statement began: pages first
** journaled during the statement from the main journal's tail, the others
** from the statement journal; pages added since are cut off. */
static int pager_ckpt_playback(Pager *p) {
  bool wrote = false;
  /* Playback writes pages to the file; the journal records that protect
  ** their original content must be durable first. */
  int rc = syncJournal(p);
  if (rc != TARVIK_OK) return pager_fail(p, rc, true);
  pager_pin(p);
  rc = tarvikOsTruncate(&p->fd, (i64)p->ckptSize * TARVIK_PAGE_SIZE);
  p->dbSize = p->ckptSize;
  if (rc == TARVIK_OK) rc = tarvikOsSeek(&p->cpfd, 0);
  for (int i = 0; rc == TARVIK_OK && i < p->ckptNRec; i++) {
    rc = pager_playback_one_page(p, &p->cpfd, JOURNAL_FORMAT_2, &wrote);
    if (rc == TARVIK_DONE) rc = TARVIK_OK;
  }
  if (rc == TARVIK_OK) {
    i64 szJ = 0;
    rc = tarvikOsFileSize(&p->jfd, &szJ);
    if (rc == TARVIK_OK) rc = tarvikOsSeek(&p->jfd, p->ckptJSize);
    i64 nRec = (szJ - p->ckptJSize) / JOURNAL_PG_SZ(JOURNAL_FORMAT_3);
    for (i64 i = 0; rc == TARVIK_OK && i < nRec; i++) {
      rc = pager_playback_one_page(p, &p->jfd, JOURNAL_FORMAT_3, &wrote);
      if (rc == TARVIK_DONE) rc = TARVIK_OK;
    }
    tarvikOsSeek(&p->jfd, (i64)p->nRec * JOURNAL_PG_SZ(JOURNAL_FORMAT_3) + 20);
  }
  if (rc == TARVIK_OK) {
    for (PgHdr *pPg = p->pAll; pPg; pPg = pPg->pNextAll) {
      if ((int)pPg->pgno > p->ckptSize) {
        page_reload(p, pPg, nullptr);
        pPg->dirty = 0;
      }
    }
  }
  pager_unpin(p);
  if (rc != TARVIK_OK) {
    /* The statement's pages are in doubt; the whole transaction goes. */
    if (rc != TARVIK_CORRUPT && rc != TARVIK_FULL) rc = TARVIK_IOERR;
    pager_fail(p, rc, false);
  }
  return rc;
}

int tarvikpager_ckpt_rollback(Pager *p) {
  int rc = TARVIK_OK;
  if (p->ckptInUse) {
    rc = pager_ckpt_playback(p);
    ckpt_forget(p);
  }
  p->ckptAutoopen = 0;
  return rc;
}
