#include "pager_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

FastScratchDir::FastScratchDir() {
  char shm[] = "/dev/shm/tarvik_test_XXXXXX";
  char tmp[] = "/tmp/tarvik_test_XXXXXX";
  char *p = access("/dev/shm", W_OK) == 0 ? mkdtemp(shm) : nullptr;
  if (p == nullptr) p = mkdtemp(tmp);
  if (p == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path_ = p;
}

FastScratchDir::~FastScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string pagePattern(Pgno pgno, int version) {
  std::string s(TARVIK_PAGE_SIZE, '\0');
  unsigned x = pgno * 2654435761u + (unsigned)version * 40503u + 17;
  for (int i = 0; i < TARVIK_PAGE_SIZE; i++) {
    x = x * 1103515245u + 12345u;
    s[i] = (char)(x >> 16);
  }
  return s;
}

std::string dbImage(const std::vector<int> &versions) {
  std::string s;
  for (size_t i = 0; i < versions.size(); i++) s += pagePattern((Pgno)(i + 1), versions[i]);
  return s;
}

std::string imagePage(const std::string &image, Pgno pgno) {
  size_t off = (size_t)(pgno - 1) * TARVIK_PAGE_SIZE;
  if (off + TARVIK_PAGE_SIZE > image.size()) return "";
  return image.substr(off, TARVIK_PAGE_SIZE);
}

std::string be32(unsigned v) {
  std::string s(4, '\0');
  s[0] = (char)(v >> 24);
  s[1] = (char)(v >> 16);
  s[2] = (char)(v >> 8);
  s[3] = (char)v;
  return s;
}

std::string host32(unsigned v) { return std::string((const char *)&v, 4); }

std::string journalHeader3(unsigned nRec, unsigned nonce, unsigned nPage) {
  static const char magic[] = "\xd9\xd5\x05\xf9\x20\xa1\x63\xd6";
  return std::string(magic, 8) + be32(nRec) + be32(nonce) + be32(nPage);
}

std::string journalRecord3(Pgno pgno, const std::string &data, unsigned nonce) {
  return be32(pgno) + data + be32(nonce + pgno);
}

void *getPage(Pager *p, Pgno pgno, int *pRc) {
  void *pData = nullptr;
  int rc = tarvikpager_get(p, pgno, &pData);
  if (pRc) *pRc = rc;
  return rc == TARVIK_OK ? pData : nullptr;
}

int writePage(Pager *p, Pgno pgno, int version) {
  void *pData = nullptr;
  int rc = tarvikpager_get(p, pgno, &pData);
  if (rc != TARVIK_OK) return rc;
  rc = tarvikpager_write(pData);
  if (rc == TARVIK_OK) memcpy(pData, pagePattern(pgno, version).data(), TARVIK_PAGE_SIZE);
  tarvikpager_unref(pData);
  return rc;
}

std::string pageBytes(const void *pData) {
  return std::string((const char *)pData, TARVIK_PAGE_SIZE);
}
