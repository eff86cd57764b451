/*
** The pager: one database file seen as an array of 1024-byte pages numbered
** from 1, a cache of recently used pages, and atomic, durable transactions
** through a rollback journal ("<file>-journal") plus one level of statement
** rollback through a checkpoint journal.
**
** The client (the file B-tree) refers to a page by the pointer to its 1024
** data bytes ("page" below).  Behind those bytes the pager keeps nExtra bytes
** for the client (tarvikpager_extra), zeroed whenever the page is (re)loaded.
**
** References: every successful tarvikpager_get / tarvikpager_lookup /
** tarvikpager_ref is paired with one tarvikpager_unref.  When the last
** reference on the pager goes, the pager drops its whole cache, rolls back an
** open write transaction and releases its file lock; so no page is ever served
** across a point where the lock was dropped.
**
** Result codes: every function returning int returns an engine result code
** unless said otherwise.  After a failure that leaves the pager unsure of the
** file (an I/O error, a full disk, no memory, damage), a sticky error bit is
** set and later calls report the same error until the pager is closed.
*/
#ifndef TARVIK_PAGER_H
#define TARVIK_PAGER_H

#include "os.h"
#include "tarvikInt.h"

/* The pager's states mirror the OS lock held on the database file:
** TARVIK_UNLOCK, TARVIK_READLOCK, TARVIK_WRITELOCK (os.h). */
/* The default number of pages in the cache. */
constexpr int TARVIK_DEFAULT_CACHE_SIZE = 2000;

/* Page 1 of a database begins with this text and a zero byte (the B-tree
** writes it).  The pager uses it only to tell a database that was cut short
** while being created from a file that is not a database at all. */
constexpr char TARVIK_FILE_MAGIC[] = "** This file contains an Tarvik 2.1 database **";
constexpr int TARVIK_FILE_MAGIC_SIZE = 48; /* the text and its zero byte */

/* Slots of the array returned by tarvikpager_stats. */
enum {
  TARVIK_PAGERSTAT_NREF = 0,   /* pages with references */
  TARVIK_PAGERSTAT_NPAGE = 1,  /* pages in the cache */
  TARVIK_PAGERSTAT_MXPAGE = 2, /* cache limit */
  TARVIK_PAGERSTAT_DBSIZE = 3, /* pages in the database, -1 if not known */
  TARVIK_PAGERSTAT_STATE = 4,  /* TARVIK_UNLOCK / READLOCK / WRITELOCK */
  TARVIK_PAGERSTAT_ERRMASK = 5,
  TARVIK_PAGERSTAT_NHIT = 6,
  TARVIK_PAGERSTAT_NMISS = 7,
  TARVIK_PAGERSTAT_NOVFL = 8, /* pages recycled */
  TARVIK_PAGERSTAT_COUNT = 9,
};

/* Sticky error bits (tarvikpager_stats[TARVIK_PAGERSTAT_ERRMASK]). */
enum {
  PAGER_ERR_FULL = 0x01,    /* TARVIK_FULL */
  PAGER_ERR_MEM = 0x02,     /* TARVIK_NOMEM */
  PAGER_ERR_LOCK = 0x04,    /* unused */
  PAGER_ERR_CORRUPT = 0x08, /* TARVIK_CORRUPT */
  PAGER_ERR_DISK = 0x10,    /* TARVIK_IOERR */
};

struct Pager;
struct PgHdr;

/* Called with the page's data pointer (see tarvikpager_set_destructor). */
typedef void (*tarvikpager_destructor)(void *pData);
/* Codec hook: stored, never invoked. */
typedef void (*tarvikpager_codec)(void *pArg, void *pData, Pgno pgno, int op);

/* Opens a pager on zFilename, or on a new temporary file (deleted on close)
** when zFilename is null or empty.  mxPage is the cache size (values up to 5
** mean 10); nExtra bytes are kept behind each page for the client; useJournal
** 0 opens without a rollback journal (no atomicity; for throw-away files).
** No page is read and no lock is taken yet.  TARVIK_CANTOPEN, TARVIK_NOMEM. */
int tarvikpager_open(Pager **ppPager, const char *zFilename, int mxPage, int nExtra,
                     int useJournal);
/* Rolls back an open write transaction, releases the lock, frees every
** cached page (references still held become invalid) and the pager. */
int tarvikpager_close(Pager *pPager);

/* xDestructor(page) is called when a page's reference count drops to 0, and
** before the pager replaces the content and zeroes the extra area of a page
** that is still referenced (rollback): it must release whatever the extra area
** holds (for instance a reference on a parent page) and may be called again
** for a page whose extra area it has already cleared. */
void tarvikpager_set_destructor(Pager *pPager, tarvikpager_destructor xDestructor);
/* mxPage < 0 turns syncing off and uses -mxPage; mxPage >= 0 turns syncing
** back on (except for temporary files).  The limit changes only for values
** above 10. */
void tarvikpager_set_cachesize(Pager *pPager, int mxPage);
/* 1: no syncs; 2: sync the journal and the file; 3: also sync the journal
** before writing its record count, and the directory after deleting it. */
void tarvikpager_set_safety_level(Pager *pPager, int level);
void tarvikpager_set_codec(Pager *pPager, tarvikpager_codec xCodec, void *pCodecArg);

/* Takes a reference on page pgno (>= 1), reading it if it is not cached.  The
** first reference takes the read lock and plays back a hot journal.  Pages
** past the end of the file read as zeros.  TARVIK_BUSY when another process
** holds the file; the sticky error otherwise. */
int tarvikpager_get(Pager *pPager, Pgno pgno, void **ppPage);
/* The page if it is cached (taking a reference), else null. */
void *tarvikpager_lookup(Pager *pPager, Pgno pgno);
int tarvikpager_ref(void *pData);
int tarvikpager_unref(void *pData);
Pgno tarvikpager_pagenumber(void *pData);
/* The client's nExtra bytes behind the page's data. */
void *tarvikpager_extra(void *pData);

/* Starts a write transaction (takes the write lock, opens the journal).
** pData is any referenced page of this pager.  TARVIK_BUSY when another
** process holds a lock on the file. */
int tarvikpager_begin(void *pData);
/* Makes a page writeable: journals its old content first (starting the write
** transaction if needed).  Must precede every change of the page's bytes.
** TARVIK_PERM on a read-only file. */
int tarvikpager_write(void *pData);
int tarvikpager_iswriteable(void *pData);
/* Replaces page pgno's content with the 1024 bytes at pData, journaled. */
int tarvikpager_overwrite(Pager *pPager, Pgno pgno, const void *pData);
/* Page pgno's content does not matter (a free page): it is not written at
** commit.  A page not in the cache is left alone. */
void tarvikpager_dont_write(Pager *pPager, Pgno pgno);
/* The page's old content does not matter (a free page being reused): it need
** not be journaled. */
void tarvikpager_dont_rollback(void *pData);

/* Pages in the database as the current transaction sees it (a partial last
** page of the file does not count). */
int tarvikpager_pagecount(Pager *pPager);
/* Shrinks the database to nPage pages (inside a write transaction). */
int tarvikpager_truncate(Pager *pPager, Pgno nPage);

/* Makes the transaction durable: syncs the journal, writes the changed pages,
** syncs the file, deletes the journal; then holds the read lock again.
** TARVIK_FULL for a full disk, TARVIK_IOERR for other failures: the
** transaction is then rolled back (or, if even that fails, left for the next
** opener to roll back from the journal), never half done. */
int tarvikpager_commit(Pager *pPager);
/* Undoes every change of the write transaction; then holds the read lock. */
int tarvikpager_rollback(Pager *pPager);

/* Statement rollback inside a write transaction: begin marks the point,
** rollback restores every page to its content at that point (pages added
** since are cut off), commit forgets the point. */
int tarvikpager_ckpt_begin(Pager *pPager);
int tarvikpager_ckpt_commit(Pager *pPager);
int tarvikpager_ckpt_rollback(Pager *pPager);

int tarvikpager_isreadonly(Pager *pPager);
const char *tarvikpager_filename(Pager *pPager);
/* A static array of TARVIK_PAGERSTAT_COUNT ints, overwritten by each call. */
int *tarvikpager_stats(Pager *pPager);

#endif /* TARVIK_PAGER_H */
