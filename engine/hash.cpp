/*
** The generic hash table.  Its element order is visible to callers (schema
** listings iterate it), so insertion and rehash follow one fixed rule: a new
** element goes immediately before its bucket's first element, or at the
** head of the global list when its bucket is empty.
*/
#include "hash.h"

#include "tarvikInt.h"

typedef int (*HashFunction)(const void *pKey, int nKey);
typedef int (*CompareFunction)(const void *pKey1, int n1, const void *pKey2, int n2);

static int intHash(const void *, int n) { return n ^ (n << 8) ^ (n >> 8); }
static int intCompare(const void *, int n1, const void *, int n2) { return n2 - n1; }

static int strHash(const void *pKey, int nKey) { return tarvikHashNoCase((const char *)pKey, nKey); }
static int strCompare(const void *pKey1, int n1, const void *pKey2, int n2) {
  if (n1 != n2) return n2 - n1;
  return tarvikStrNICmp((const char *)pKey1, (const char *)pKey2, n1);
}

static int binHash(const void *pKey, int nKey) {
  u32 h = 0;
  const signed char *z = (const signed char *)pKey;
  while (nKey-- > 0) h = (h << 3) ^ h ^ (u32)(int)*z++;
  return (int)(h & 0x7fffffff);
}
static int binCompare(const void *pKey1, int n1, const void *pKey2, int n2) {
  if (n1 != n2) return n2 - n1;
  return memcmp(pKey1, pKey2, (size_t)n1);
}

static HashFunction hashFunction(int keyClass) {
  switch (keyClass) {
    case TARVIK_HASH_INT: return intHash;
    case TARVIK_HASH_STRING: return strHash;
    case TARVIK_HASH_BINARY: return binHash;
    default: return nullptr;
  }
}
static CompareFunction compareFunction(int keyClass) {
  switch (keyClass) {
    case TARVIK_HASH_INT: return intCompare;
    case TARVIK_HASH_STRING: return strCompare;
    case TARVIK_HASH_BINARY: return binCompare;
    default: return nullptr;
  }
}

/* The bucket of a raw hash: the hash functions wrap in 32-bit arithmetic,
** and INT hashes may be negative, so mask as unsigned. */
static int bucketOf(const Hash *pH, int h) { return (int)((u32)h & (u32)(pH->htsize - 1)); }

void tarvikHashInit(Hash *pH, int keyClass, int copyKey) {
  tvAssert(pH != nullptr);
  tvAssert(keyClass >= TARVIK_HASH_INT && keyClass <= TARVIK_HASH_BINARY);
  pH->keyClass = (char)keyClass;
  pH->copyKey = (char)((keyClass == TARVIK_HASH_STRING || keyClass == TARVIK_HASH_BINARY) && copyKey);
  pH->first = nullptr;
  pH->htsize = 0;
  pH->ht = nullptr;
  pH->count = 0;
}

void tarvikHashClear(Hash *pH) {
  tvAssert(pH != nullptr);
  HashElem *elem = pH->first;
  pH->first = nullptr;
  tarvikFree(pH->ht);
  pH->ht = nullptr;
  pH->htsize = 0;
  while (elem) {
    HashElem *next = elem->next;
    if (pH->copyKey && elem->pKey) tarvikFree(elem->pKey);
    tarvikFree(elem);
    elem = next;
  }
  pH->count = 0;
}

/* Links pNew into bucket h by the one insertion rule. */
static void linkIntoBucket(Hash *pH, int h, HashElem *pNew) {
  Hash::_ht *pEntry = &pH->ht[h];
  HashElem *pHead = pEntry->chain;
  if (pHead) {
    pNew->next = pHead;
    pNew->prev = pHead->prev;
    if (pHead->prev) {
      pHead->prev->next = pNew;
    } else {
      pH->first = pNew;
    }
    pHead->prev = pNew;
  } else {
    pNew->next = pH->first;
    if (pH->first) pH->first->prev = pNew;
    pNew->prev = nullptr;
    pH->first = pNew;
  }
  pEntry->count++;
  pEntry->chain = pNew;
}

/* Moves every element into a new bucket array of new_size (a power of two).
** On allocation failure the table keeps its old buckets. */
static void rehash(Hash *pH, int new_size) {
  tvAssert((new_size & (new_size - 1)) == 0);
  if (new_size <= 0 || new_size > (1 << 26)) return;
  auto *new_ht = (Hash::_ht *)tarvikMalloc(new_size * (int)sizeof(Hash::_ht));
  if (new_ht == nullptr) return;
  tarvikFree(pH->ht);
  pH->ht = new_ht;
  pH->htsize = new_size;
  HashFunction xHash = hashFunction(pH->keyClass);
  HashElem *elem = pH->first;
  pH->first = nullptr;
  while (elem) {
    HashElem *next = elem->next;
    linkIntoBucket(pH, bucketOf(pH, xHash(elem->pKey, elem->nKey)), elem);
    elem = next;
  }
}

static HashElem *findElementGivenHash(const Hash *pH, const void *pKey, int nKey, int h) {
  if (pH->ht == nullptr) return nullptr;
  const Hash::_ht *pEntry = &pH->ht[h];
  HashElem *elem = pEntry->chain;
  CompareFunction xCompare = compareFunction(pH->keyClass);
  for (int count = pEntry->count; count-- > 0 && elem; elem = elem->next) {
    if (xCompare(elem->pKey, elem->nKey, pKey, nKey) == 0) return elem;
  }
  return nullptr;
}

static void removeElementGivenHash(Hash *pH, HashElem *elem, int h) {
  if (elem->prev) {
    elem->prev->next = elem->next;
  } else {
    pH->first = elem->next;
  }
  if (elem->next) elem->next->prev = elem->prev;
  Hash::_ht *pEntry = &pH->ht[h];
  if (pEntry->chain == elem) pEntry->chain = elem->next;
  pEntry->count--;
  if (pEntry->count <= 0) pEntry->chain = nullptr;
  if (pH->copyKey && elem->pKey) tarvikFree(elem->pKey);
  tarvikFree(elem);
  pH->count--;
}

void *tarvikHashFind(const Hash *pH, const void *pKey, int nKey) {
  if (pH == nullptr || pH->ht == nullptr) return nullptr;
  HashFunction xHash = hashFunction(pH->keyClass);
  tvAssert(xHash != nullptr);
  HashElem *elem = findElementGivenHash(pH, pKey, nKey, bucketOf(pH, xHash(pKey, nKey)));
  return elem ? elem->data : nullptr;
}

void *tarvikHashInsert(Hash *pH, const void *pKey, int nKey, void *data) {
  tvAssert(pH != nullptr);
  HashFunction xHash = hashFunction(pH->keyClass);
  tvAssert(xHash != nullptr);
  int hraw = xHash(pKey, nKey);
  if (pH->htsize > 0) {
    int h = bucketOf(pH, hraw);
    HashElem *elem = findElementGivenHash(pH, pKey, nKey, h);
    if (elem) {
      void *old_data = elem->data;
      if (data == nullptr) {
        removeElementGivenHash(pH, elem, h);
      } else {
        elem->data = data;
      }
      return old_data;
    }
  }
  if (data == nullptr) return nullptr;

  auto *new_elem = (HashElem *)tarvikMalloc(sizeof(HashElem));
  if (new_elem == nullptr) return data;
  if (pH->copyKey && pKey != nullptr) {
    new_elem->pKey = tarvikMallocRaw(nKey);
    if (new_elem->pKey == nullptr && nKey > 0) {
      tarvikFree(new_elem);
      return data;
    }
    if (nKey > 0) memcpy(new_elem->pKey, pKey, (size_t)nKey);
  } else {
    new_elem->pKey = (void *)pKey;
  }
  new_elem->nKey = nKey;
  pH->count++;
  if (pH->htsize == 0) {
    rehash(pH, 8);
    if (pH->htsize == 0) {
      pH->count = 0;
      if (pH->copyKey) tarvikFree(new_elem->pKey);
      tarvikFree(new_elem);
      return data;
    }
  }
  if (pH->count > pH->htsize) rehash(pH, pH->htsize * 2);
  /* The bucket is taken only now, from the table as it stands after any
  ** growth. */
  linkIntoBucket(pH, bucketOf(pH, hraw), new_elem);
  new_elem->data = data;
  return nullptr;
}
