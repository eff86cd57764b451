// Helpers for tests of the pager: page patterns, whole-file images, and
// hand-made journals.
#ifndef TARVIK_TEST_PAGER_SUPPORT_H
#define TARVIK_TEST_PAGER_SUPPORT_H

#include <string>
#include <vector>

#include "pager.h"

// 1024 bytes that identify (page number, version): every byte depends on
// both, so a page restored from the wrong version or place is noticed.
std::string pagePattern(Pgno pgno, int version);

// A database image of pages 1..n, page i holding pagePattern(i, version[i-1]).
std::string dbImage(const std::vector<int> &versions);

// Page i (1-based) of a file image, or "" if the image is shorter.
std::string imagePage(const std::string &image, Pgno pgno);

// Byte-level journal building, big-endian unless hostOrder.
std::string be32(unsigned v);
std::string host32(unsigned v);
std::string journalHeader3(unsigned nRec, unsigned nonce, unsigned nPage);
std::string journalRecord3(Pgno pgno, const std::string &data, unsigned nonce);

// A fresh directory in memory-backed storage when the machine has it (its
// syncs cost nothing, which crash loops with thousands of commits need; the
// OS layer's fault seam models power loss the same way on any file system),
// else under /tmp.  Removed with its contents when destroyed.
class FastScratchDir {
 public:
  FastScratchDir();
  ~FastScratchDir();
  FastScratchDir(const FastScratchDir &) = delete;
  FastScratchDir &operator=(const FastScratchDir &) = delete;
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Gets page pgno, checks the call, returns the data pointer (null on error).
void *getPage(Pager *p, Pgno pgno, int *pRc = nullptr);
// Gets page pgno, makes it writeable and fills it with pagePattern(pgno, v).
int writePage(Pager *p, Pgno pgno, int version);
// The page's 1024 bytes as a string.
std::string pageBytes(const void *pData);

#endif
