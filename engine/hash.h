/*
** The engine's one associative table.  Elements live on a single doubly
** linked list (the iteration order callers see); each bucket names a run of
** adjacent elements on that list.  The table owns its buckets, its elements
** and, when copyKey is set, private copies of STRING and BINARY keys.  It
** never owns the data pointers: callers free data before removing it.
*/
#ifndef TARVIK_HASH_H
#define TARVIK_HASH_H

struct HashElem {
  HashElem *next, *prev; /* the global element list */
  void *data;            /* caller's data; never null for a stored element */
  void *pKey;            /* the key (owned when the table copies keys) */
  int nKey;              /* key length, or the key itself for INT tables */
};

struct Hash {
  char keyClass;   /* TARVIK_HASH_INT, _POINTER, _STRING or _BINARY */
  char copyKey;    /* true: the table keeps private copies of keys */
  int count;       /* number of elements */
  HashElem *first; /* first element of the global list */
  int htsize;      /* number of buckets: 0 or a power of two */
  struct _ht {
    int count;       /* elements in this bucket */
    HashElem *chain; /* first element of this bucket on the global list */
  } *ht;
};

enum {
  TARVIK_HASH_INT = 1,
  TARVIK_HASH_POINTER = 2, /* reserved: no hash or compare function */
  TARVIK_HASH_STRING = 3,  /* text, compared without regard to ASCII case */
  TARVIK_HASH_BINARY = 4,  /* bytes, compared exactly */
};

void tarvikHashInit(Hash *pH, int keyClass, int copyKey);
void *tarvikHashInsert(Hash *pH, const void *pKey, int nKey, void *data);
void *tarvikHashFind(const Hash *pH, const void *pKey, int nKey);
void tarvikHashClear(Hash *pH);

/* Iteration: for (HashElem *p = hashFirst(&h); p; p = hashNext(p)) ... */
inline HashElem *hashFirst(const Hash *pH) { return pH->first; }
inline HashElem *hashNext(const HashElem *p) { return p->next; }
inline void *hashData(const HashElem *p) { return p->data; }
inline void *hashKey(const HashElem *p) { return p->pKey; }
inline int hashKeysize(const HashElem *p) { return p->nKey; }
inline int hashCount(const Hash *pH) { return pH->count; }

#endif /* TARVIK_HASH_H */
