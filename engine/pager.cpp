/*
** The pager (interface and contracts in pager.h).  Placeholder bodies: the
** real implementation follows.
*/
#include "pager.h"

int tarvikpager_open(Pager **ppPager, const char *, int, int, int) {
  *ppPager = nullptr;
  return TARVIK_CANTOPEN;
}
int tarvikpager_close(Pager *) { return TARVIK_OK; }
void tarvikpager_set_destructor(Pager *, tarvikpager_destructor) {}
void tarvikpager_set_cachesize(Pager *, int) {}
void tarvikpager_set_safety_level(Pager *, int) {}
void tarvikpager_set_codec(Pager *, tarvikpager_codec, void *) {}
int tarvikpager_get(Pager *, Pgno, void **ppPage) {
  *ppPage = nullptr;
  return TARVIK_INTERNAL;
}
void *tarvikpager_lookup(Pager *, Pgno) { return nullptr; }
int tarvikpager_ref(void *) { return TARVIK_OK; }
int tarvikpager_unref(void *) { return TARVIK_OK; }
Pgno tarvikpager_pagenumber(void *) { return 0; }
void *tarvikpager_extra(void *pData) { return (char *)pData + TARVIK_PAGE_SIZE; }
int tarvikpager_begin(void *) { return TARVIK_INTERNAL; }
int tarvikpager_write(void *) { return TARVIK_INTERNAL; }
int tarvikpager_iswriteable(void *) { return 0; }
int tarvikpager_overwrite(Pager *, Pgno, const void *) { return TARVIK_INTERNAL; }
void tarvikpager_dont_write(Pager *, Pgno) {}
void tarvikpager_dont_rollback(void *) {}
int tarvikpager_pagecount(Pager *) { return 0; }
int tarvikpager_truncate(Pager *, Pgno) { return TARVIK_INTERNAL; }
int tarvikpager_commit(Pager *) { return TARVIK_INTERNAL; }
int tarvikpager_rollback(Pager *) { return TARVIK_INTERNAL; }
int tarvikpager_ckpt_begin(Pager *) { return TARVIK_INTERNAL; }
int tarvikpager_ckpt_commit(Pager *) { return TARVIK_INTERNAL; }
int tarvikpager_ckpt_rollback(Pager *) { return TARVIK_INTERNAL; }
int tarvikpager_isreadonly(Pager *) { return 0; }
const char *tarvikpager_filename(Pager *) { return ""; }
int *tarvikpager_stats(Pager *) {
  static int a[TARVIK_PAGERSTAT_COUNT];
  return a;
}
