// Helpers for tests of the file B-tree: sample databases, raw reading and
// patching of file images, a byte-order swapper for whole files, and the
// entry function the database-file fuzzer and its corpus replay share.
// Nothing here uses GoogleTest, so the fuzz target can link it.
#ifndef TARVIK_TEST_BTREE_FILE_SUPPORT_H
#define TARVIK_TEST_BTREE_FILE_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "btree.h"

namespace tvbtfile {

using Map = std::map<std::string, std::string>;
using Tables = std::map<int, Map>;

// Closes its cursor at scope exit.
struct CursorHolder {
  BtCursor *p = nullptr;
  CursorHolder() = default;
  CursorHolder(const CursorHolder &) = delete;
  ~CursorHolder() { close(); }
  void close() {
    if (p) tarvikBtreeCloseCursor(p);
    p = nullptr;
  }
};

// Integers of a file image in this machine's byte order.
unsigned rd16(const std::string &img, size_t off);
unsigned rd32(const std::string &img, size_t off);
void wr16(std::string &img, size_t off, unsigned v);
void wr32(std::string &img, size_t off, unsigned v);

// Fills a fresh store: tree 2 and two more trees, several levels deep, with
// overflow entries, a dropped tree's pages on the free list and meta values;
// commits.  The content goes into model; returns the roots in use.
std::vector<int> buildSampleDb(Btree *pBt, Tables &model);
// A small store (about a dozen pages: two levels, overflow, free pages, a
// second tree named by meta value 5) for seeding the file fuzzer; commits.
bool buildSmallDb(Btree *pBt);
// Inserts, replaces, deletes, creates a tree and drops one (inside the
// caller's transaction), keeping model and roots in step.
void changeSampleDb(Btree *pBt, Tables &model, std::vector<int> &roots);
// A tree's whole content (walked forwards).
Map dumpTable(Btree *pBt, int iTable);

// Where the pages of a sound file image are.
struct FileLayout {
  std::vector<unsigned> leaves, interiors, overflow, trunks, freeLeaves;
  std::map<unsigned, int> rootOf; /* tree page -> root of its tree */
};
bool describeFile(const std::string &img, const std::vector<int> &roots, FileLayout *pLayout);
// Rewrites every 16- and 32-bit field of a sound image in the other byte
// order (page 1, tree pages, cells, free blocks, overflow and trunk pages).
bool swapByteOrder(std::string &img, const std::vector<int> &roots);

// Opens a database file image (written to a scratch file), walks every tree
// named in its first root page both ways, runs the integrity check and a few
// changes; never fails except by crashing.  Shared by the fuzz target and
// the corpus replay.
int fuzzDatabaseImage(const uint8_t *aData, size_t nData);

}  // namespace tvbtfile

#endif
