/*
** The in-memory tree backend: every table is a red-black tree of separately
** allocated entries, tables are found by number in an integer-keyed Hash,
** and transactions keep an undo log instead of a journal.  Nothing is ever
** written anywhere; the store lives until Close.
**
** Ownership: the handle owns the table hash, every table, every node and
** its key and data bytes, every cursor (Close frees those still open) and
** both undo logs.  An undo entry owns the bytes it carries, and an entry
** that undoes a deletion also owns the unlinked node shell, so undoing it
** needs no allocation.  A dropped table stays in the hash, marked dropped
** and invisible, until the transaction commits (its undo entry then frees
** it) or rolls back (the mark is cleared).  Rolling back therefore never
** allocates and never fails.
*/
#include "btree_rb.h"

#include <cstdio>
#include <utility>

#include "btree.h"
#include "tarvikInt.h"

namespace {

enum { TRANS_NONE = 0, TRANS_INTRANSACTION = 1, TRANS_INCHECKPOINT = 2, TRANS_ROLLBACK = 3 };
enum { SKIP_NONE = 0, SKIP_NEXT = 1, SKIP_PREV = 2 };
enum { ROLLBACK_INSERT = 1, ROLLBACK_DELETE = 2, ROLLBACK_CREATE = 3, ROLLBACK_DROP = 4 };

struct RbtCursor;

struct BtRbNode {
  int nKey;
  char *pKey;
  int nData;
  char *pData;
  u8 isBlack;
  BtRbNode *pParent, *pLeft, *pRight;
  int nBlackHeight; /* scratch of the integrity check */
};

struct BtRbTree {
  RbtCursor *pCursors; /* cursors on this table, linked through pShared */
  BtRbNode *pHead;     /* root node */
  u8 isDropped;        /* dropped in the open transaction; gone at commit */
};

/* One undo step.  ROLLBACK_INSERT puts (pKey, pData) back: as new data of
** an existing key (the step undid a replacement) or as a new entry built in
** pSpare (the step undid a deletion).  ROLLBACK_DELETE removes pKey.
** ROLLBACK_CREATE revives dropped table iTab, ROLLBACK_DROP removes it. */
struct BtRollbackOp {
  u8 eOp;
  int iTab;
  int nKey;
  char *pKey;
  int nData;
  char *pData;
  BtRbNode *pSpare;
  BtRollbackOp *pNext;
};

struct Rbtree : Btree {
  int aMetaData[TARVIK_N_BTREE_META];
  int next_idx;
  Hash tblHash; /* table number -> BtRbTree */
  u8 eTransState;
  BtRollbackOp *pTransRollback;     /* newest first */
  BtRollbackOp *pCheckRollback;     /* newest first */
  BtRollbackOp *pCheckRollbackTail; /* oldest entry of the checkpoint log */
};

struct RbtCursor : BtCursor {
  Rbtree *pRbtree;
  BtRbTree *pTree; /* null once a rollback removed the table */
  int iTree;
  BtRbNode *pNode; /* current entry, or null */
  RbtCursor *pShared;
  u8 eSkip;
  u8 wrFlag;
};

Rbtree *asRb(Btree *p) { return static_cast<Rbtree *>(p); }
RbtCursor *asCur(BtCursor *p) { return static_cast<RbtCursor *>(p); }

bool inTrans(const Rbtree *p) {
  return p->eTransState == TRANS_INTRANSACTION || p->eTransState == TRANS_INCHECKPOINT;
}

/* Bytes compared unsigned, then length.  Always -1, 0 or 1. */
int key_compare(const void *pKey1, int nKey1, const void *pKey2, int nKey2) {
  int n = nKey1 < nKey2 ? nKey1 : nKey2;
  int c = n > 0 ? memcmp(pKey1, pKey2, (size_t)n) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  if (nKey1 == nKey2) return 0;
  return nKey1 < nKey2 ? -1 : 1;
}

/* A private copy of n bytes; zero bytes need no block. */
int copyBytes(const void *p, int n, char **pz) {
  *pz = nullptr;
  if (n <= 0) return TARVIK_OK;
  *pz = (char *)tarvikMallocRaw(n);
  if (*pz == nullptr) return TARVIK_NOMEM;
  memcpy(*pz, p, (size_t)n);
  return TARVIK_OK;
}

void freeNode(BtRbNode *p) {
  tarvikFree(p->pKey);
  tarvikFree(p->pData);
  tarvikFree(p);
}

void freeOp(BtRollbackOp *p) {
  tarvikFree(p->pKey);
  tarvikFree(p->pData);
  tarvikFree(p->pSpare);
  tarvikFree(p);
}

/* Tables, including those dropped in the open transaction. */
BtRbTree *rawTable(Rbtree *p, int i) { return (BtRbTree *)tarvikHashFind(&p->tblHash, nullptr, i); }
BtRbTree *findTable(Rbtree *p, int i) {
  BtRbTree *t = rawTable(p, i);
  return (t && !t->isDropped) ? t : nullptr;
}

/* ---------------------------------------------------------------- tree shape */

BtRbNode *leftmost(BtRbNode *p) {
  while (p->pLeft) p = p->pLeft;
  return p;
}
BtRbNode *rightmost(BtRbNode *p) {
  while (p->pRight) p = p->pRight;
  return p;
}
BtRbNode *nextNode(BtRbNode *p) {
  if (p->pRight) return leftmost(p->pRight);
  while (p->pParent && p->pParent->pRight == p) p = p->pParent;
  return p->pParent;
}
BtRbNode *prevNode(BtRbNode *p) {
  if (p->pLeft) return rightmost(p->pLeft);
  while (p->pParent && p->pParent->pLeft == p) p = p->pParent;
  return p->pParent;
}

/* Replaces pOld by pNew in pOld's parent (or as the root). */
void replaceChild(BtRbTree *pTree, BtRbNode *pOld, BtRbNode *pNew) {
  BtRbNode *pParent = pOld->pParent;
  if (pParent == nullptr) {
    pTree->pHead = pNew;
  } else if (pParent->pLeft == pOld) {
    pParent->pLeft = pNew;
  } else {
    pParent->pRight = pNew;
  }
  if (pNew) pNew->pParent = pParent;
}

void leftRotate(BtRbTree *pTree, BtRbNode *pX) {
  BtRbNode *pY = pX->pRight;
  pX->pRight = pY->pLeft;
  if (pY->pLeft) pY->pLeft->pParent = pX;
  replaceChild(pTree, pX, pY);
  pY->pLeft = pX;
  pX->pParent = pY;
}

void rightRotate(BtRbTree *pTree, BtRbNode *pX) {
  BtRbNode *pY = pX->pLeft;
  pX->pLeft = pY->pRight;
  if (pY->pRight) pY->pRight->pParent = pX;
  replaceChild(pTree, pX, pY);
  pY->pRight = pX;
  pX->pParent = pY;
}

bool isBlack(const BtRbNode *p) { return p == nullptr || p->isBlack; }

/* pX was just linked in red; repair a red parent. */
void do_insert_balancing(BtRbTree *pTree, BtRbNode *pX) {
  while (pX->pParent && !pX->pParent->isBlack) {
    BtRbNode *pP = pX->pParent;
    BtRbNode *pG = pP->pParent; /* exists: a red node is never the root */
    if (pP == pG->pLeft) {
      BtRbNode *pU = pG->pRight;
      if (!isBlack(pU)) {
        pP->isBlack = 1;
        pU->isBlack = 1;
        pG->isBlack = 0;
        pX = pG;
        continue;
      }
      if (pX == pP->pRight) {
        leftRotate(pTree, pP);
        pX = pP;
        pP = pX->pParent;
      }
      pP->isBlack = 1;
      pG->isBlack = 0;
      rightRotate(pTree, pG);
    } else {
      BtRbNode *pU = pG->pLeft;
      if (!isBlack(pU)) {
        pP->isBlack = 1;
        pU->isBlack = 1;
        pG->isBlack = 0;
        pX = pG;
        continue;
      }
      if (pX == pP->pLeft) {
        rightRotate(pTree, pP);
        pX = pP;
        pP = pX->pParent;
      }
      pP->isBlack = 1;
      pG->isBlack = 0;
      leftRotate(pTree, pG);
    }
  }
  pTree->pHead->isBlack = 1;
}

/* A black node was removed; pX (possibly absent) took its place under
** pParent and is one black short. */
void do_delete_balancing(BtRbTree *pTree, BtRbNode *pX, BtRbNode *pParent) {
  while (pX != pTree->pHead && isBlack(pX)) {
    if (pX == pParent->pLeft) {
      BtRbNode *pW = pParent->pRight; /* exists: its side holds a black more */
      if (!pW->isBlack) {
        pW->isBlack = 1;
        pParent->isBlack = 0;
        leftRotate(pTree, pParent);
        pW = pParent->pRight;
      }
      if (isBlack(pW->pLeft) && isBlack(pW->pRight)) {
        pW->isBlack = 0;
        pX = pParent;
        pParent = pX->pParent;
      } else {
        if (isBlack(pW->pRight)) {
          pW->pLeft->isBlack = 1;
          pW->isBlack = 0;
          rightRotate(pTree, pW);
          pW = pParent->pRight;
        }
        pW->isBlack = pParent->isBlack;
        pParent->isBlack = 1;
        pW->pRight->isBlack = 1;
        leftRotate(pTree, pParent);
        pX = pTree->pHead;
        break;
      }
    } else {
      BtRbNode *pW = pParent->pLeft;
      if (!pW->isBlack) {
        pW->isBlack = 1;
        pParent->isBlack = 0;
        rightRotate(pTree, pParent);
        pW = pParent->pLeft;
      }
      if (isBlack(pW->pLeft) && isBlack(pW->pRight)) {
        pW->isBlack = 0;
        pX = pParent;
        pParent = pX->pParent;
      } else {
        if (isBlack(pW->pLeft)) {
          pW->pRight->isBlack = 1;
          pW->isBlack = 0;
          leftRotate(pTree, pW);
          pW = pParent->pLeft;
        }
        pW->isBlack = pParent->isBlack;
        pParent->isBlack = 1;
        pW->pLeft->isBlack = 1;
        rightRotate(pTree, pParent);
        pX = pTree->pHead;
        break;
      }
    }
  }
  if (pX) pX->isBlack = 1;
}

/* Finds the key: returns the node visited last (null for an empty tree)
** and in *pC how its key compares with the search key (-1 smaller, 0 equal,
** 1 larger; -1 for an empty tree). */
BtRbNode *searchTree(BtRbTree *pTree, const void *pKey, int nKey, int *pC) {
  BtRbNode *pNode = pTree->pHead, *pLast = nullptr;
  int c = -1;
  while (pNode && c != 0) {
    c = key_compare(pNode->pKey, pNode->nKey, pKey, nKey);
    pLast = pNode;
    if (c < 0) {
      pNode = pNode->pRight;
    } else if (c > 0) {
      pNode = pNode->pLeft;
    }
  }
  *pC = c;
  return pLast;
}

/* Links pNew (key and data set) beside pLast, where searchTree ended with
** comparison result c != 0, and rebalances. */
void linkNode(BtRbTree *pTree, BtRbNode *pNew, BtRbNode *pLast, int c) {
  pNew->isBlack = 0;
  pNew->pLeft = pNew->pRight = nullptr;
  pNew->pParent = pLast;
  if (pLast == nullptr) {
    pTree->pHead = pNew;
  } else if (c < 0) {
    pLast->pRight = pNew;
  } else {
    pLast->pLeft = pNew;
  }
  do_insert_balancing(pTree, pNew);
}

/* Removes pNode's entry from the tree.  A node with two children takes its
** successor's key and data and the successor's node is unlinked instead.
** Returns the unlinked node, which carries the removed entry's key and data
** and no links. */
BtRbNode *unlinkEntry(BtRbTree *pTree, BtRbNode *pNode) {
  if (pNode->pLeft && pNode->pRight) {
    BtRbNode *pSucc = leftmost(pNode->pRight);
    std::swap(pNode->nKey, pSucc->nKey);
    std::swap(pNode->pKey, pSucc->pKey);
    std::swap(pNode->nData, pSucc->nData);
    std::swap(pNode->pData, pSucc->pData);
    pNode = pSucc;
  }
  BtRbNode *pChild = pNode->pLeft ? pNode->pLeft : pNode->pRight;
  BtRbNode *pParent = pNode->pParent;
  replaceChild(pTree, pNode, pChild);
  if (pNode->isBlack) do_delete_balancing(pTree, pChild, pParent);
  pNode->pParent = pNode->pLeft = pNode->pRight = nullptr;
  return pNode;
}

/* Empties the tree bottom-up without recursion.  Without ppSpareOps the
** nodes are freed; with it, each node's key, data and shell move into the
** next of the preallocated undo entries (one per node), which go on the
** log. */
void clearNodes(Rbtree *pRb, BtRbTree *pTree, int iTab, BtRollbackOp **ppSpareOps);

/* ---------------------------------------------------------------- undo log */

/* Puts an entry on the log that the current state writes to. */
void pushLog(Rbtree *p, BtRollbackOp *pOp) {
  if (p->eTransState == TRANS_INCHECKPOINT) {
    if (p->pCheckRollback == nullptr) p->pCheckRollbackTail = pOp;
    pOp->pNext = p->pCheckRollback;
    p->pCheckRollback = pOp;
  } else {
    pOp->pNext = p->pTransRollback;
    p->pTransRollback = pOp;
  }
}

BtRollbackOp *newOp(int eOp, int iTab) {
  BtRollbackOp *pOp = (BtRollbackOp *)tarvikMalloc(sizeof(BtRollbackOp));
  if (pOp) {
    pOp->eOp = (u8)eOp;
    pOp->iTab = iTab;
  }
  return pOp;
}

void freeTable(BtRbTree *pTree) {
  clearNodes(nullptr, pTree, 0, nullptr);
  tarvikFree(pTree);
}

/* Removes table i from the hash and frees it.  Cursors still on it are
** detached: they keep no table and no entry. */
void removeTable(Rbtree *p, int i) {
  BtRbTree *pTree = rawTable(p, i);
  if (pTree == nullptr) return;
  for (RbtCursor *pCur = pTree->pCursors; pCur;) {
    RbtCursor *pNext = pCur->pShared;
    pCur->pTree = nullptr;
    pCur->pNode = nullptr;
    pCur->pShared = nullptr;
    pCur->eSkip = SKIP_NONE;
    pCur = pNext;
  }
  tarvikHashInsert(&p->tblHash, nullptr, i, nullptr);
  freeTable(pTree);
}

/* Drops a committed log: entries that could revive a dropped table now
** free it for good. */
void discardLog(Rbtree *p, BtRollbackOp *pOp) {
  while (pOp) {
    BtRollbackOp *pNext = pOp->pNext;
    if (pOp->eOp == ROLLBACK_CREATE) removeTable(p, pOp->iTab);
    freeOp(pOp);
    pOp = pNext;
  }
}

void invalidateCursors(BtRbTree *pTree) {
  for (RbtCursor *pCur = pTree->pCursors; pCur; pCur = pCur->pShared) {
    pCur->pNode = nullptr;
    pCur->eSkip = SKIP_NONE;
  }
}

/* Undoes one step.  These are privileged operations: they ignore cursors
** (which lose their current entry instead of refusing the change), log
** nothing and allocate nothing, so a rollback always completes. */
void undoOne(Rbtree *p, BtRollbackOp *pOp) {
  BtRbTree *pTree = rawTable(p, pOp->iTab);
  tvAssert(pTree != nullptr);
  if (pTree == nullptr) return;
  switch (pOp->eOp) {
    case ROLLBACK_INSERT: {
      invalidateCursors(pTree);
      int c;
      BtRbNode *pLast = searchTree(pTree, pOp->pKey, pOp->nKey, &c);
      if (pLast && c == 0) {
        tarvikFree(pLast->pData);
        pLast->pData = pOp->pData;
        pLast->nData = pOp->nData;
        pOp->pData = nullptr;
        break;
      }
      BtRbNode *pNew = pOp->pSpare;
      pOp->pSpare = nullptr;
      tvAssert(pNew != nullptr);
      if (pNew == nullptr) break;
      pNew->pKey = pOp->pKey;
      pNew->nKey = pOp->nKey;
      pNew->pData = pOp->pData;
      pNew->nData = pOp->nData;
      pOp->pKey = pOp->pData = nullptr;
      linkNode(pTree, pNew, pLast, c);
      break;
    }
    case ROLLBACK_DELETE: {
      invalidateCursors(pTree);
      int c;
      BtRbNode *pLast = searchTree(pTree, pOp->pKey, pOp->nKey, &c);
      tvAssert(pLast && c == 0);
      if (pLast && c == 0) freeNode(unlinkEntry(pTree, pLast));
      break;
    }
    case ROLLBACK_CREATE:
      tvAssert(pTree->isDropped);
      pTree->isDropped = 0;
      break;
    case ROLLBACK_DROP:
      removeTable(p, pOp->iTab);
      break;
  }
}

void execute_rollback_list(Rbtree *p, BtRollbackOp *pOp) {
  while (pOp) {
    BtRollbackOp *pNext = pOp->pNext;
    undoOne(p, pOp);
    freeOp(pOp);
    pOp = pNext;
  }
}

void clearNodes(Rbtree *pRb, BtRbTree *pTree, int iTab, BtRollbackOp **ppSpareOps) {
  BtRbNode *p = pTree->pHead;
  pTree->pHead = nullptr;
  while (p) {
    if (p->pLeft) {
      p = p->pLeft;
    } else if (p->pRight) {
      p = p->pRight;
    } else {
      BtRbNode *pParent = p->pParent;
      if (pParent) {
        if (pParent->pLeft == p) {
          pParent->pLeft = nullptr;
        } else {
          pParent->pRight = nullptr;
        }
      }
      if (ppSpareOps) {
        BtRollbackOp *pOp = *ppSpareOps;
        *ppSpareOps = pOp->pNext;
        pOp->eOp = ROLLBACK_INSERT;
        pOp->iTab = iTab;
        pOp->pKey = p->pKey;
        pOp->nKey = p->nKey;
        pOp->pData = p->pData;
        pOp->nData = p->nData;
        p->pKey = p->pData = nullptr;
        p->pParent = nullptr;
        pOp->pSpare = p;
        pushLog(pRb, pOp);
      } else {
        freeNode(p);
      }
      p = pParent;
    }
  }
}

/* Before a change through pCur (or, for pCur null, a change of the whole
** table): a read cursor on the table refuses it; other write cursors lose
** their current entry. */
int checkReadLocks(BtRbTree *pTree, RbtCursor *pCur) {
  for (RbtCursor *p = pTree->pCursors; p; p = p->pShared) {
    if (p != pCur && !p->wrFlag) return TARVIK_LOCKED;
  }
  for (RbtCursor *p = pTree->pCursors; p; p = p->pShared) {
    if (p != pCur) {
      p->pNode = nullptr;
      p->eSkip = SKIP_NONE;
    }
  }
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- BtOps */

int memRbtreeClose(Btree *pBt);
int memRbtreeSetCacheSize(Btree *, int) { return TARVIK_OK; }
int memRbtreeSetSafetyLevel(Btree *, int) { return TARVIK_OK; }

int memRbtreeBeginTrans(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  if (p->eTransState != TRANS_NONE) return TARVIK_ERROR;
  p->eTransState = TRANS_INTRANSACTION;
  return TARVIK_OK;
}

int memRbtreeCommit(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  discardLog(p, p->pCheckRollback);
  discardLog(p, p->pTransRollback);
  p->pCheckRollback = p->pCheckRollbackTail = p->pTransRollback = nullptr;
  p->eTransState = TRANS_NONE;
  return TARVIK_OK;
}

int memRbtreeRollback(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  p->eTransState = TRANS_ROLLBACK;
  execute_rollback_list(p, p->pCheckRollback);
  execute_rollback_list(p, p->pTransRollback);
  p->pCheckRollback = p->pCheckRollbackTail = p->pTransRollback = nullptr;
  p->eTransState = TRANS_NONE;
  return TARVIK_OK;
}

int memRbtreeBeginCkpt(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  if (p->eTransState != TRANS_INTRANSACTION) return TARVIK_ERROR;
  p->eTransState = TRANS_INCHECKPOINT;
  return TARVIK_OK;
}

int memRbtreeCommitCkpt(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  if (p->eTransState != TRANS_INCHECKPOINT) return TARVIK_OK;
  if (p->pCheckRollback) {
    p->pCheckRollbackTail->pNext = p->pTransRollback;
    p->pTransRollback = p->pCheckRollback;
    p->pCheckRollback = p->pCheckRollbackTail = nullptr;
  }
  p->eTransState = TRANS_INTRANSACTION;
  return TARVIK_OK;
}

int memRbtreeRollbackCkpt(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  if (p->eTransState != TRANS_INCHECKPOINT) return TARVIK_OK;
  p->eTransState = TRANS_ROLLBACK;
  execute_rollback_list(p, p->pCheckRollback);
  p->pCheckRollback = p->pCheckRollbackTail = nullptr;
  p->eTransState = TRANS_INTRANSACTION;
  return TARVIK_OK;
}

int memRbtreeCreateTable(Btree *pBt, int *piTable) {
  Rbtree *p = asRb(pBt);
  if (!inTrans(p)) return TARVIK_ERROR;
  BtRollbackOp *pOp = newOp(ROLLBACK_DROP, p->next_idx);
  BtRbTree *pTree = (BtRbTree *)tarvikMalloc(sizeof(BtRbTree));
  if (pOp == nullptr || pTree == nullptr ||
      tarvikHashInsert(&p->tblHash, nullptr, p->next_idx, pTree) != nullptr) {
    tarvikFree(pOp);
    tarvikFree(pTree);
    return TARVIK_NOMEM;
  }
  *piTable = p->next_idx++;
  pushLog(p, pOp);
  return TARVIK_OK;
}

int memRbtreeDropTable(Btree *pBt, int iTable) {
  Rbtree *p = asRb(pBt);
  if (!inTrans(p)) return TARVIK_ERROR;
  BtRbTree *pTree = findTable(p, iTable);
  if (pTree == nullptr) return TARVIK_ERROR;
  if (pTree->pCursors) return TARVIK_LOCKED;
  BtRollbackOp *pOp = newOp(ROLLBACK_CREATE, iTable);
  if (pOp == nullptr) return TARVIK_NOMEM;
  pTree->isDropped = 1;
  pushLog(p, pOp);
  return TARVIK_OK;
}

int countNodes(const BtRbNode *p) {
  int n = 0;
  if (p == nullptr) return 0;
  for (p = leftmost(const_cast<BtRbNode *>(p)); p; p = nextNode(const_cast<BtRbNode *>(p))) n++;
  return n;
}

int memRbtreeClearTable(Btree *pBt, int iTable) {
  Rbtree *p = asRb(pBt);
  if (!inTrans(p)) return TARVIK_ERROR;
  BtRbTree *pTree = findTable(p, iTable);
  if (pTree == nullptr) return TARVIK_ERROR;
  int rc = checkReadLocks(pTree, nullptr);
  if (rc) return rc;
  /* One undo entry per node, all taken before anything changes, so the
  ** clear either happens completely or not at all. */
  BtRollbackOp *pSpare = nullptr;
  for (int n = countNodes(pTree->pHead); n > 0; n--) {
    BtRollbackOp *pOp = newOp(ROLLBACK_INSERT, iTable);
    if (pOp == nullptr) {
      while (pSpare) {
        BtRollbackOp *pNext = pSpare->pNext;
        tarvikFree(pSpare);
        pSpare = pNext;
      }
      return TARVIK_NOMEM;
    }
    pOp->pNext = pSpare;
    pSpare = pOp;
  }
  clearNodes(p, pTree, iTable, &pSpare);
  tvAssert(pSpare == nullptr);
  return TARVIK_OK;
}

int memRbtreeCursor(Btree *pBt, int iTable, int wrFlag, BtCursor **ppCur) {
  Rbtree *p = asRb(pBt);
  *ppCur = nullptr;
  BtRbTree *pTree = findTable(p, iTable);
  if (pTree == nullptr) return TARVIK_ERROR;
  RbtCursor *pCur = (RbtCursor *)tarvikMalloc(sizeof(RbtCursor));
  if (pCur == nullptr) return TARVIK_NOMEM;
  pCur->pOps = &tarvikRbtreeCursorOps;
  pCur->pRbtree = p;
  pCur->pTree = pTree;
  pCur->iTree = iTable;
  pCur->wrFlag = wrFlag ? 1 : 0;
  pCur->eSkip = SKIP_NONE;
  pCur->pShared = pTree->pCursors;
  pTree->pCursors = pCur;
  *ppCur = pCur;
  return TARVIK_OK;
}

int memRbtreeGetMeta(Btree *pBt, int *aMeta) {
  memcpy(aMeta, asRb(pBt)->aMetaData, sizeof(int) * TARVIK_N_BTREE_META);
  return TARVIK_OK;
}

/* Meta 0 counts free pages and is read-only; a memory store has none. */
int memRbtreeUpdateMeta(Btree *pBt, int *aMeta) {
  Rbtree *p = asRb(pBt);
  if (!inTrans(p)) return TARVIK_ERROR;
  memcpy(&p->aMetaData[1], &aMeta[1], sizeof(int) * (TARVIK_N_BTREE_META - 1));
  return TARVIK_OK;
}

/* A growing text for the integrity check.  An allocation failure drops the
** text; the check then reports nothing. */
struct CheckText {
  char *z = nullptr;
  int n = 0, nAlloc = 0;
  bool failed = false;
  void append(const char *zAdd, int nAdd) {
    if (failed) return;
    if (n + nAdd + 1 > nAlloc) {
      int nNew = (n + nAdd + 1) * 2 + 64;
      char *zNew = (char *)tarvikRealloc(z, nNew);
      if (zNew == nullptr) {
        tarvikFree(z);
        z = nullptr;
        n = nAlloc = 0;
        failed = true;
        return;
      }
      z = zNew;
      nAlloc = nNew;
    }
    memcpy(z + n, zAdd, (size_t)nAdd);
    n += nAdd;
    z[n] = 0;
  }
  void appendf(const char *zFormat, const void *ptr) {
    char zBuf[64];
    int k = snprintf(zBuf, sizeof(zBuf), zFormat, ptr);
    append(zBuf, k < (int)sizeof(zBuf) ? k : (int)sizeof(zBuf) - 1);
  }
  void indent(int n) {
    for (int i = 0; i < n; i++) append(" ", 1);
  }
};

/* The tree dump that follows each message: one line per node (address and
** colour), children indented by 3; an absent child is its (null) address. */
void append_node(CheckText *pOut, const BtRbNode *pNode, int indent) {
  pOut->indent(indent);
  pOut->appendf("%p", pNode);
  if (pNode == nullptr) {
    pOut->append("\n", 1);
    return;
  }
  pOut->append(pNode->isBlack ? " B \n" : " R \n", 4);
  append_node(pOut, pNode->pLeft, indent + 3);
  append_node(pOut, pNode->pRight, indent + 3);
}

/* Post-order walk without recursion; nBlackHeight of a node is the number
** of black nodes on each path from it down to an absent child. */
void check_redblack_tree(BtRbTree *pTree, CheckText *pOut) {
  BtRbNode *p = pTree->pHead;
  if (p == nullptr) return;
  auto descend = [](BtRbNode *q) {
    for (;;) {
      if (q->pLeft) {
        q = q->pLeft;
      } else if (q->pRight) {
        q = q->pRight;
      } else {
        return q;
      }
    }
  };
  p = descend(p);
  while (p) {
    int hLeft = p->pLeft ? p->pLeft->nBlackHeight : 0;
    int hRight = p->pRight ? p->pRight->nBlackHeight : 0;
    if (!p->isBlack && (!isBlack(p->pLeft) || !isBlack(p->pRight))) {
      pOut->appendf("Red node with red child at %p\n", p);
      append_node(pOut, pTree->pHead, 0);
      pOut->append("\n", 1);
    }
    if (hLeft != hRight) {
      pOut->appendf("Different black-heights at %p\n", p);
      append_node(pOut, pTree->pHead, 0);
      pOut->append("\n", 1);
    }
    p->nBlackHeight = hLeft + (p->isBlack ? 1 : 0);
    BtRbNode *pParent = p->pParent;
    if (pParent && pParent->pLeft == p && pParent->pRight) {
      p = descend(pParent->pRight);
    } else {
      p = pParent;
    }
  }
}

char *memRbtreeIntegrityCheck(Btree *pBt, int *, int) {
  Rbtree *p = asRb(pBt);
  CheckText out;
  for (HashElem *e = hashFirst(&p->tblHash); e; e = hashNext(e)) {
    BtRbTree *pTree = (BtRbTree *)hashData(e);
    if (!pTree->isDropped) check_redblack_tree(pTree, &out);
  }
  return out.z;
}

const char *memRbtreeGetFilename(Btree *) { return nullptr; }
int memRbtreeCopyfile(Btree *, Btree *) { return TARVIK_INTERNAL; }
struct Pager *memRbtreePager(Btree *) {
  return nullptr;
}

/* ---------------------------------------------------------------- cursors */

int memRbtreeMoveto(BtCursor *pCurB, const void *pKey, int nKey, int *pRes) {
  RbtCursor *pCur = asCur(pCurB);
  *pRes = -1;
  if (pCur->pTree == nullptr) return TARVIK_ABORT;
  pCur->pNode = searchTree(pCur->pTree, pKey, nKey, pRes);
  pCur->eSkip = SKIP_NONE;
  return TARVIK_OK;
}

int memRbtreeInsert(BtCursor *pCurB, const void *pKey, int nKey, const void *pData, int nData) {
  RbtCursor *pCur = asCur(pCurB);
  Rbtree *p = pCur->pRbtree;
  if (pCur->pTree == nullptr) return TARVIK_ABORT;
  if (!inTrans(p) || nKey < 0 || nData < 0) return TARVIK_ERROR;
  if (!pCur->wrFlag) return TARVIK_PERM;
  int rc = checkReadLocks(pCur->pTree, pCur);
  if (rc) return rc;

  int c;
  BtRbNode *pLast = searchTree(pCur->pTree, pKey, nKey, &c);
  char *pDataCopy = nullptr, *pKeyCopy = nullptr, *pLogKey = nullptr;
  BtRbNode *pNew = nullptr;
  BtRollbackOp *pOp = newOp(c == 0 && pLast ? ROLLBACK_INSERT : ROLLBACK_DELETE, pCur->iTree);
  bool ok = pOp && copyBytes(pData, nData, &pDataCopy) == TARVIK_OK &&
            copyBytes(pKey, nKey, &pLogKey) == TARVIK_OK;
  if (ok && !(c == 0 && pLast)) {
    pNew = (BtRbNode *)tarvikMalloc(sizeof(BtRbNode));
    ok = pNew && copyBytes(pKey, nKey, &pKeyCopy) == TARVIK_OK;
  }
  if (!ok) {
    tarvikFree(pOp);
    tarvikFree(pDataCopy);
    tarvikFree(pLogKey);
    tarvikFree(pKeyCopy);
    tarvikFree(pNew);
    return TARVIK_NOMEM;
  }
  pOp->pKey = pLogKey;
  pOp->nKey = nKey;
  if (pNew == nullptr) {
    /* Replace the data; the old data moves into the undo entry. */
    pOp->pData = pLast->pData;
    pOp->nData = pLast->nData;
    pLast->pData = pDataCopy;
    pLast->nData = nData;
    pNew = pLast;
  } else {
    pNew->pKey = pKeyCopy;
    pNew->nKey = nKey;
    pNew->pData = pDataCopy;
    pNew->nData = nData;
    linkNode(pCur->pTree, pNew, pLast, c);
  }
  pushLog(p, pOp);
  pCur->pNode = pNew;
  pCur->eSkip = SKIP_NONE;
  return TARVIK_OK;
}

/* After a delete, Next yields the entry that followed the deleted one and
** Previous the one before it. */
int memRbtreeDelete(BtCursor *pCurB) {
  RbtCursor *pCur = asCur(pCurB);
  Rbtree *p = pCur->pRbtree;
  if (pCur->pTree == nullptr) return TARVIK_ABORT;
  if (!inTrans(p)) return TARVIK_ERROR;
  if (!pCur->wrFlag) return TARVIK_PERM;
  int rc = checkReadLocks(pCur->pTree, pCur);
  if (rc) return rc;
  BtRbNode *pNode = pCur->pNode;
  if (pNode == nullptr) return TARVIK_OK;
  BtRollbackOp *pOp = newOp(ROLLBACK_INSERT, pCur->iTree);
  if (pOp == nullptr) return TARVIK_NOMEM;

  if (pNode->pLeft && pNode->pRight) {
    /* The node takes its successor's entry and stays current. */
    pCur->eSkip = SKIP_NEXT;
  } else if (BtRbNode *pNext = nextNode(pNode)) {
    pCur->pNode = pNext;
    pCur->eSkip = SKIP_NEXT;
  } else {
    pCur->pNode = prevNode(pNode);
    pCur->eSkip = pCur->pNode ? SKIP_PREV : SKIP_NONE;
  }
  BtRbNode *pGone = unlinkEntry(pCur->pTree, pNode);
  pOp->pKey = pGone->pKey;
  pOp->nKey = pGone->nKey;
  pOp->pData = pGone->pData;
  pOp->nData = pGone->nData;
  pGone->pKey = pGone->pData = nullptr;
  pOp->pSpare = pGone;
  pushLog(p, pOp);
  return TARVIK_OK;
}

int memRbtreeFirst(BtCursor *pCurB, int *pRes) {
  RbtCursor *pCur = asCur(pCurB);
  *pRes = 1;
  if (pCur->pTree == nullptr) return TARVIK_ABORT;
  pCur->eSkip = SKIP_NONE;
  pCur->pNode = pCur->pTree->pHead ? leftmost(pCur->pTree->pHead) : nullptr;
  *pRes = pCur->pNode ? 0 : 1;
  return TARVIK_OK;
}

int memRbtreeLast(BtCursor *pCurB, int *pRes) {
  RbtCursor *pCur = asCur(pCurB);
  *pRes = 1;
  if (pCur->pTree == nullptr) return TARVIK_ABORT;
  pCur->eSkip = SKIP_NONE;
  pCur->pNode = pCur->pTree->pHead ? rightmost(pCur->pTree->pHead) : nullptr;
  *pRes = pCur->pNode ? 0 : 1;
  return TARVIK_OK;
}

int memRbtreeNext(BtCursor *pCurB, int *pRes) {
  RbtCursor *pCur = asCur(pCurB);
  *pRes = 1;
  if (pCur->pTree == nullptr) return TARVIK_ABORT;
  if (pCur->pNode && pCur->eSkip != SKIP_NEXT) pCur->pNode = nextNode(pCur->pNode);
  pCur->eSkip = SKIP_NONE;
  *pRes = pCur->pNode ? 0 : 1;
  return TARVIK_OK;
}

int memRbtreePrevious(BtCursor *pCurB, int *pRes) {
  RbtCursor *pCur = asCur(pCurB);
  *pRes = 1;
  if (pCur->pTree == nullptr) return TARVIK_ABORT;
  if (pCur->pNode && pCur->eSkip != SKIP_PREV) pCur->pNode = prevNode(pCur->pNode);
  pCur->eSkip = SKIP_NONE;
  *pRes = pCur->pNode ? 0 : 1;
  return TARVIK_OK;
}

int memRbtreeKeySize(BtCursor *pCurB, int *pSize) {
  RbtCursor *pCur = asCur(pCurB);
  *pSize = pCur->pNode ? pCur->pNode->nKey : 0;
  return TARVIK_OK;
}

int memRbtreeDataSize(BtCursor *pCurB, int *pSize) {
  RbtCursor *pCur = asCur(pCurB);
  *pSize = pCur->pNode ? pCur->pNode->nData : 0;
  return TARVIK_OK;
}

/* Copies what exists of [offset, offset + amt) and returns its length. */
int readClamped(const char *pSrc, int nSrc, int offset, int amt, char *zBuf) {
  if (offset < 0 || amt <= 0 || offset >= nSrc) return 0;
  if (amt > nSrc - offset) amt = nSrc - offset;
  memcpy(zBuf, pSrc + offset, (size_t)amt);
  return amt;
}

int memRbtreeKey(BtCursor *pCurB, int offset, int amt, char *zBuf) {
  RbtCursor *pCur = asCur(pCurB);
  if (pCur->pNode == nullptr) return 0;
  return readClamped(pCur->pNode->pKey, pCur->pNode->nKey, offset, amt, zBuf);
}

int memRbtreeData(BtCursor *pCurB, int offset, int amt, char *zBuf) {
  RbtCursor *pCur = asCur(pCurB);
  if (pCur->pNode == nullptr) return 0;
  return readClamped(pCur->pNode->pData, pCur->pNode->nData, offset, amt, zBuf);
}

int memRbtreeKeyCompare(BtCursor *pCurB, const void *pKey, int nKey, int nIgnore, int *pRes) {
  RbtCursor *pCur = asCur(pCurB);
  BtRbNode *pNode = pCur->pNode;
  if (pNode == nullptr || pNode->nKey < nIgnore) {
    *pRes = -1;
  } else {
    *pRes = key_compare(pNode->pKey, pNode->nKey - (nIgnore > 0 ? nIgnore : 0), pKey, nKey);
  }
  return TARVIK_OK;
}

int memRbtreeCloseCursor(BtCursor *pCurB) {
  RbtCursor *pCur = asCur(pCurB);
  if (pCur->pTree) {
    for (RbtCursor **pp = &pCur->pTree->pCursors; *pp; pp = &(*pp)->pShared) {
      if (*pp == pCur) {
        *pp = pCur->pShared;
        break;
      }
    }
  }
  tarvikFree(pCur);
  return TARVIK_OK;
}

int memRbtreeClose(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  memRbtreeCommit(pBt);
  p->eTransState = TRANS_ROLLBACK;
  for (HashElem *e = hashFirst(&p->tblHash); e; e = hashNext(e)) {
    BtRbTree *pTree = (BtRbTree *)hashData(e);
    for (RbtCursor *pCur = pTree->pCursors; pCur;) {
      RbtCursor *pNext = pCur->pShared;
      tarvikFree(pCur);
      pCur = pNext;
    }
    freeTable(pTree);
  }
  tarvikHashClear(&p->tblHash);
  tarvikFree(p);
  return TARVIK_OK;
}

}  // namespace

const BtOps tarvikRbtreeOps = {
    memRbtreeClose,          memRbtreeSetCacheSize, memRbtreeSetSafetyLevel, memRbtreeBeginTrans,
    memRbtreeCommit,         memRbtreeRollback,     memRbtreeBeginCkpt,      memRbtreeCommitCkpt,
    memRbtreeRollbackCkpt,   memRbtreeCreateTable,  memRbtreeCreateTable,    memRbtreeDropTable,
    memRbtreeClearTable,     memRbtreeCursor,       memRbtreeGetMeta,        memRbtreeUpdateMeta,
    memRbtreeIntegrityCheck, memRbtreeGetFilename,  memRbtreeCopyfile,       memRbtreePager,
};

const BtCursorOps tarvikRbtreeCursorOps = {
    memRbtreeMoveto,   memRbtreeDelete,   memRbtreeInsert,      memRbtreeFirst, memRbtreeLast,
    memRbtreeNext,     memRbtreePrevious, memRbtreeKeySize,     memRbtreeKey,   memRbtreeKeyCompare,
    memRbtreeDataSize, memRbtreeData,     memRbtreeCloseCursor,
};

int tarvikRbtreeOpen(const char *, int, int, Btree **ppBtree) {
  *ppBtree = nullptr;
  Rbtree *p = (Rbtree *)tarvikMalloc(sizeof(Rbtree));
  if (p == nullptr) return TARVIK_NOMEM;
  tarvikHashInit(&p->tblHash, TARVIK_HASH_INT, 0);
  BtRbTree *pTree = (BtRbTree *)tarvikMalloc(sizeof(BtRbTree));
  if (pTree == nullptr || tarvikHashInsert(&p->tblHash, nullptr, 2, pTree) != nullptr) {
    tarvikFree(pTree);
    tarvikHashClear(&p->tblHash);
    tarvikFree(p);
    return TARVIK_NOMEM;
  }
  p->pOps = &tarvikRbtreeOps;
  p->next_idx = 3;
  p->aMetaData[2] = 4;
  p->eTransState = TRANS_NONE;
  *ppBtree = p;
  return TARVIK_OK;
}

#ifdef TARVIK_TEST
namespace {

/* Black height of the subtree, or -1 after recording a fault in zErr. */
int checkSubtree(const BtRbNode *p, char *zErr, size_t nErr) {
  if (p == nullptr) return 0;
  for (const BtRbNode *pChild : {p->pLeft, p->pRight}) {
    if (pChild && pChild->pParent != p) {
      snprintf(zErr, nErr, "node %p: child %p has a wrong parent link", (const void *)p,
               (const void *)pChild);
      return -1;
    }
  }
  if (!p->isBlack && (!isBlack(p->pLeft) || !isBlack(p->pRight))) {
    snprintf(zErr, nErr, "red node %p has a red child", (const void *)p);
    return -1;
  }
  int hLeft = checkSubtree(p->pLeft, zErr, nErr);
  if (hLeft < 0) return -1;
  int hRight = checkSubtree(p->pRight, zErr, nErr);
  if (hRight < 0) return -1;
  if (hLeft != hRight) {
    snprintf(zErr, nErr, "node %p: black heights %d and %d differ", (const void *)p, hLeft, hRight);
    return -1;
  }
  return hLeft + (p->isBlack ? 1 : 0);
}

bool checkTable(Rbtree *pRb, int iTab, BtRbTree *pTree, char *zErr, size_t nErr) {
  BtRbNode *pHead = pTree->pHead;
  if (pHead && (pHead->pParent || !pHead->isBlack)) {
    snprintf(zErr, nErr, "table %d: root is red or has a parent", iTab);
    return false;
  }
  if (checkSubtree(pHead, zErr, nErr) < 0) return false;
  if (pHead) {
    for (BtRbNode *p = leftmost(pHead), *pNext; (pNext = nextNode(p)) != nullptr; p = pNext) {
      if (key_compare(p->pKey, p->nKey, pNext->pKey, pNext->nKey) >= 0) {
        snprintf(zErr, nErr, "table %d: keys out of order at %p", iTab, (void *)pNext);
        return false;
      }
    }
  }
  if (pTree->isDropped && (pTree->pCursors || pRb->eTransState == TRANS_NONE)) {
    snprintf(zErr, nErr, "table %d: dropped table with cursors or outside a transaction", iTab);
    return false;
  }
  for (RbtCursor *pCur = pTree->pCursors; pCur; pCur = pCur->pShared) {
    if (pCur->pTree != pTree || pCur->iTree != iTab || pCur->pRbtree != pRb) {
      snprintf(zErr, nErr, "table %d: cursor %p belongs elsewhere", iTab, (void *)pCur);
      return false;
    }
    if (pCur->pNode) {
      int c;
      BtRbNode *pFound = searchTree(pTree, pCur->pNode->pKey, pCur->pNode->nKey, &c);
      if (pFound != pCur->pNode || c != 0) {
        snprintf(zErr, nErr, "table %d: cursor %p is on a node not in the tree", iTab,
                 (void *)pCur);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

char *tarvikRbtreeCheckInvariants(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  char zErr[200];
  zErr[0] = 0;
  for (HashElem *e = hashFirst(&p->tblHash); e; e = hashNext(e)) {
    if (!checkTable(p, hashKeysize(e), (BtRbTree *)hashData(e), zErr, sizeof(zErr))) {
      return tarvikStrDup(zErr);
    }
  }
  if (p->eTransState == TRANS_ROLLBACK ||
      (p->eTransState == TRANS_NONE && (p->pTransRollback || p->pCheckRollback)) ||
      (p->eTransState != TRANS_INCHECKPOINT && p->pCheckRollback)) {
    return tarvikStrDup("undo logs do not match the transaction state");
  }
  BtRollbackOp *pTail = p->pCheckRollback;
  while (pTail && pTail->pNext) pTail = pTail->pNext;
  if (pTail != (p->pCheckRollback ? p->pCheckRollbackTail : pTail)) {
    return tarvikStrDup("checkpoint log tail is wrong");
  }
  return nullptr;
}

int tarvikRbtreeUndoCount(Btree *pBt) {
  Rbtree *p = asRb(pBt);
  int n = 0;
  for (BtRollbackOp *pOp = p->pTransRollback; pOp; pOp = pOp->pNext) n++;
  for (BtRollbackOp *pOp = p->pCheckRollback; pOp; pOp = pOp->pNext) n++;
  return n;
}

int tarvikRbtreeTestFlipColour(BtCursor *pCurB) {
  RbtCursor *pCur = asCur(pCurB);
  if (pCur->pNode == nullptr) return 0;
  pCur->pNode->isBlack = !pCur->pNode->isBlack;
  return 1;
}
#endif /* TARVIK_TEST */
