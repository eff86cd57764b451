/*
** Test hooks of the in-memory tree backend (btree_rb.cpp).  The backend
** itself is reached through tarvikRbtreeOpen and the tables in btree.h.
*/
#ifndef TARVIK_BTREE_RB_H
#define TARVIK_BTREE_RB_H

#include "btree.h"

#ifdef TARVIK_TEST
/* Full structural check of an in-memory store opened by tarvikRbtreeOpen:
** every tree's red-black colouring and black heights, parent links, strict
** key order, the cursor lists and the undo logs.  Returns null when all
** holds, else a description from tarvikMalloc (the caller frees it). */
char *tarvikRbtreeCheckInvariants(Btree *pBt);

/* Number of entries on the undo logs (transaction + checkpoint). */
int tarvikRbtreeUndoCount(Btree *pBt);

/* Flips the colour of the cursor's current entry (to damage a tree on
** purpose).  Returns 0 without a current entry. */
int tarvikRbtreeTestFlipColour(BtCursor *pCur);
#endif

#endif /* TARVIK_BTREE_RB_H */
