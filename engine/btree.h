/*
** The storage backend interface.
**
** Every tree store (the file B-tree over the pager, the in-memory red-black
** tree store) is reached through two operation tables: BtOps for the store
** as a whole and BtCursorOps for a cursor on one of its trees.  A backend's
** handle derives from Btree and its cursor from BtCursor, so each begins
** with the pointer to its table and callers never need to know which
** backend they hold:
**
**     struct FileBtree : Btree { Pager *pPager; ... };   // pOps at offset 0
**
** Callers dispatch through the inline helpers below (tarvikBtreeCommit(pBt),
** tarvikBtreeNext(pCur, &res), ...).
**
** Trees are named by an int: the root page number in the file backend, the
** table number in the in-memory one.  Tree 2 always exists (the schema
** table).  Keys and data are byte strings; entries are ordered by their
** keys compared as unsigned bytes, a key that is a prefix of another sorting
** first; keys are unique within a tree.
**
** Contracts shared by every backend:
**  - every function returns a result code (TARVIK_OK, ...) except Key/Data
**    (bytes delivered), IntegrityCheck (a message or null), GetFilename and
**    Pager;
**  - IntegrityCheck's message comes from tarvikMalloc; the caller frees it;
**  - GetMeta fills TARVIK_N_BTREE_META ints: meta 0 is the count of free
**    pages (read-only, 0 where there are no pages), meta 1..9 belong to the
**    schema layer.  UpdateMeta writes meta 1..9;
**  - changing operations need a write transaction (BeginTrans) and report
**    an error code without one;
**  - Moveto's out value: 0 when the cursor is on an equal key, < 0 when it
**    ended on an entry smaller than the key, > 0 on a larger one; an empty
**    tree gives < 0 and no entry;
**  - First/Last give 1 for an empty tree, Next/Previous 1 when no entry
**    remains;
**  - Key/Data(offset, amount, buffer) copy at most the bytes that exist from
**    offset on and return the number copied (0 without a current entry).
*/
#ifndef TARVIK_BTREE_H
#define TARVIK_BTREE_H

struct Btree;
struct BtCursor;
struct BtOps;
struct BtCursorOps;
struct Pager;

/* Number of meta integers GetMeta returns and UpdateMeta takes. */
constexpr int TARVIK_N_BTREE_META = 10;

/* Operations on a whole store, in table order. */
struct BtOps {
  int (*Close)(Btree *);                          /* close cursors, the store, free the handle */
  int (*SetCacheSize)(Btree *, int nPage);        /* pages kept in the cache */
  int (*SetSafetyLevel)(Btree *, int level);      /* sync level */
  int (*BeginTrans)(Btree *);                     /* start a write transaction */
  int (*Commit)(Btree *);                         /* commit it */
  int (*Rollback)(Btree *);                       /* roll it back */
  int (*BeginCkpt)(Btree *);                      /* start a statement checkpoint */
  int (*CommitCkpt)(Btree *);                     /* end it, keeping its changes */
  int (*RollbackCkpt)(Btree *);                   /* undo the changes since it began */
  int (*CreateTable)(Btree *, int *piTable);      /* new empty tree; its number out */
  int (*CreateIndex)(Btree *, int *piTable);      /* same as CreateTable */
  int (*DropTable)(Btree *, int iTable);          /* remove a tree entirely */
  int (*ClearTable)(Btree *, int iTable);         /* remove every entry, keep the tree */
  int (*Cursor)(Btree *, int iTable, int wrFlag, BtCursor **ppCur); /* open a cursor */
  int (*GetMeta)(Btree *, int *aMeta);            /* TARVIK_N_BTREE_META ints out */
  int (*UpdateMeta)(Btree *, int *aMeta);         /* TARVIK_N_BTREE_META ints in */
  char *(*IntegrityCheck)(Btree *, int *aRoot, int nRoot); /* message or null */
  const char *(*GetFilename)(Btree *);            /* file name, or null */
  int (*Copyfile)(Btree *pTo, Btree *pFrom);      /* page copy of a whole database */
  struct Pager *(*Pager)(Btree *);                /* the pager, or null */
};

/* Operations on a cursor, in table order. */
struct BtCursorOps {
  int (*Moveto)(BtCursor *, const void *pKey, int nKey, int *pRes);
  int (*Delete)(BtCursor *);
  int (*Insert)(BtCursor *, const void *pKey, int nKey, const void *pData, int nData);
  int (*First)(BtCursor *, int *pRes);
  int (*Last)(BtCursor *, int *pRes);
  int (*Next)(BtCursor *, int *pRes);
  int (*Previous)(BtCursor *, int *pRes);
  int (*KeySize)(BtCursor *, int *pSize);
  int (*Key)(BtCursor *, int offset, int amt, char *zBuf);
  int (*KeyCompare)(BtCursor *, const void *pKey, int nKey, int nIgnore, int *pRes);
  int (*DataSize)(BtCursor *, int *pSize);
  int (*Data)(BtCursor *, int offset, int amt, char *zBuf);
  int (*CloseCursor)(BtCursor *);
};

/* The common head of every backend handle and cursor. */
struct Btree {
  const BtOps *pOps;
};
struct BtCursor {
  const BtCursorOps *pOps;
};

/* ---------------------------------------------------------------- backends */

/* File B-tree (btree.cpp): zFilename null for a temporary file. */
extern const BtOps tarvikBtreeOps;
extern const BtCursorOps tarvikBtreeCursorOps;
int tarvikBtreeOpen(const char *zFilename, int omitJournal, int nCache, Btree **ppBtree);

/* In-memory red-black trees (btree_rb.cpp): the three first arguments are
** ignored; the store starts with an empty tree 2. */
extern const BtOps tarvikRbtreeOps;
extern const BtCursorOps tarvikRbtreeCursorOps;
int tarvikRbtreeOpen(const char *zFilename, int mode, int nPg, Btree **ppBtree);

/* ---------------------------------------------------------------- dispatch */

inline int tarvikBtreeClose(Btree *p) { return p->pOps->Close(p); }
inline int tarvikBtreeSetCacheSize(Btree *p, int n) { return p->pOps->SetCacheSize(p, n); }
inline int tarvikBtreeSetSafetyLevel(Btree *p, int n) { return p->pOps->SetSafetyLevel(p, n); }
inline int tarvikBtreeBeginTrans(Btree *p) { return p->pOps->BeginTrans(p); }
inline int tarvikBtreeCommit(Btree *p) { return p->pOps->Commit(p); }
inline int tarvikBtreeRollback(Btree *p) { return p->pOps->Rollback(p); }
inline int tarvikBtreeBeginCkpt(Btree *p) { return p->pOps->BeginCkpt(p); }
inline int tarvikBtreeCommitCkpt(Btree *p) { return p->pOps->CommitCkpt(p); }
inline int tarvikBtreeRollbackCkpt(Btree *p) { return p->pOps->RollbackCkpt(p); }
inline int tarvikBtreeCreateTable(Btree *p, int *piTable) {
  return p->pOps->CreateTable(p, piTable);
}
inline int tarvikBtreeCreateIndex(Btree *p, int *piTable) {
  return p->pOps->CreateIndex(p, piTable);
}
inline int tarvikBtreeDropTable(Btree *p, int iTable) { return p->pOps->DropTable(p, iTable); }
inline int tarvikBtreeClearTable(Btree *p, int iTable) { return p->pOps->ClearTable(p, iTable); }
inline int tarvikBtreeCursor(Btree *p, int iTable, int wrFlag, BtCursor **ppCur) {
  return p->pOps->Cursor(p, iTable, wrFlag, ppCur);
}
inline int tarvikBtreeGetMeta(Btree *p, int *aMeta) { return p->pOps->GetMeta(p, aMeta); }
inline int tarvikBtreeUpdateMeta(Btree *p, int *aMeta) { return p->pOps->UpdateMeta(p, aMeta); }
inline char *tarvikBtreeIntegrityCheck(Btree *p, int *aRoot, int nRoot) {
  return p->pOps->IntegrityCheck(p, aRoot, nRoot);
}
inline const char *tarvikBtreeGetFilename(Btree *p) { return p->pOps->GetFilename(p); }
inline int tarvikBtreeCopyFile(Btree *pTo, Btree *pFrom) {
  return pTo->pOps->Copyfile(pTo, pFrom);
}
inline struct Pager *tarvikBtreePager(Btree *p) { return p->pOps->Pager(p); }

inline int tarvikBtreeMoveto(BtCursor *p, const void *pKey, int nKey, int *pRes) {
  return p->pOps->Moveto(p, pKey, nKey, pRes);
}
inline int tarvikBtreeDelete(BtCursor *p) { return p->pOps->Delete(p); }
inline int tarvikBtreeInsert(BtCursor *p, const void *pKey, int nKey, const void *pData,
                             int nData) {
  return p->pOps->Insert(p, pKey, nKey, pData, nData);
}
inline int tarvikBtreeFirst(BtCursor *p, int *pRes) { return p->pOps->First(p, pRes); }
inline int tarvikBtreeLast(BtCursor *p, int *pRes) { return p->pOps->Last(p, pRes); }
inline int tarvikBtreeNext(BtCursor *p, int *pRes) { return p->pOps->Next(p, pRes); }
inline int tarvikBtreePrevious(BtCursor *p, int *pRes) { return p->pOps->Previous(p, pRes); }
inline int tarvikBtreeKeySize(BtCursor *p, int *pSize) { return p->pOps->KeySize(p, pSize); }
inline int tarvikBtreeKey(BtCursor *p, int offset, int amt, char *zBuf) {
  return p->pOps->Key(p, offset, amt, zBuf);
}
inline int tarvikBtreeKeyCompare(BtCursor *p, const void *pKey, int nKey, int nIgnore,
                                 int *pRes) {
  return p->pOps->KeyCompare(p, pKey, nKey, nIgnore, pRes);
}
inline int tarvikBtreeDataSize(BtCursor *p, int *pSize) { return p->pOps->DataSize(p, pSize); }
inline int tarvikBtreeData(BtCursor *p, int offset, int amt, char *zBuf) {
  return p->pOps->Data(p, offset, amt, zBuf);
}
inline int tarvikBtreeCloseCursor(BtCursor *p) { return p->pOps->CloseCursor(p); }

#endif /* TARVIK_BTREE_H */
