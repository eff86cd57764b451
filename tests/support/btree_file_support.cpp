#include "btree_file_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "tarvikInt.h"

namespace tvbtfile {

unsigned rd16(const std::string &img, size_t off) {
  uint16_t v = 0;
  if (off + 2 <= img.size()) memcpy(&v, img.data() + off, 2);
  return v;
}
unsigned rd32(const std::string &img, size_t off) {
  uint32_t v = 0;
  if (off + 4 <= img.size()) memcpy(&v, img.data() + off, 4);
  return v;
}
void wr16(std::string &img, size_t off, unsigned v) {
  uint16_t x = (uint16_t)v;
  if (off + 2 <= img.size()) memcpy(img.data() + off, &x, 2);
}
void wr32(std::string &img, size_t off, unsigned v) {
  uint32_t x = v;
  if (off + 4 <= img.size()) memcpy(img.data() + off, &x, 4);
}

namespace {

std::string bytesFor(int seed, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((seed * 131 + (int)i * 17) & 0xff);
  return s;
}

bool fillTable(Btree *pBt, int t, const Map &m) {
  CursorHolder c;
  if (tarvikBtreeCursor(pBt, t, 1, &c.p) != TARVIK_OK) return false;
  for (auto &[k, d] : m) {
    if (tarvikBtreeInsert(c.p, k.data(), (int)k.size(), d.data(), (int)d.size()) != TARVIK_OK) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<int> buildSampleDb(Btree *pBt, Tables &model) {
  std::vector<int> roots = {2};
  if (tarvikBtreeBeginTrans(pBt) != TARVIK_OK) return {};
  int a = 0, b = 0, gone = 0;
  tarvikBtreeCreateTable(pBt, &a);
  tarvikBtreeCreateTable(pBt, &gone);
  tarvikBtreeCreateTable(pBt, &b);
  Map m2, ma, mb, mg;
  char z[32];
  for (int i = 0; i < 300; i++) {
    snprintf(z, sizeof(z), "key%04d", i);
    m2[z] = bytesFor(i, (size_t)(i * 53 % 700));
  }
  for (int i = 0; i < 30; i++) {
    snprintf(z, sizeof(z), "big%03d", i);
    ma[std::string(z) + std::string((size_t)(i % 3) * 150, 'k')] =
        bytesFor(i, 1500 + (size_t)i * 40);
  }
  for (int i = 0; i < 200; i++) {
    snprintf(z, sizeof(z), "%05d", i * 7);
    mb[z] = z;
  }
  for (int i = 0; i < 60; i++) mg["g" + std::to_string(i)] = bytesFor(i, 400);
  bool ok = fillTable(pBt, 2, m2) && fillTable(pBt, a, ma) && fillTable(pBt, b, mb) &&
            fillTable(pBt, gone, mg);
  ok = ok && tarvikBtreeDropTable(pBt, gone) == TARVIK_OK;
  int aMeta[TARVIK_N_BTREE_META] = {0, 11, 22, 33, 44, a, b, 0, 0, 99};
  ok = ok && tarvikBtreeUpdateMeta(pBt, aMeta) == TARVIK_OK;
  if (!ok || tarvikBtreeCommit(pBt) != TARVIK_OK) {
    tarvikBtreeRollback(pBt);
    return {};
  }
  model[2] = m2;
  model[a] = ma;
  model[b] = mb;
  roots.push_back(a);
  roots.push_back(b);
  return roots;
}

bool buildSmallDb(Btree *pBt) {
  if (tarvikBtreeBeginTrans(pBt) != TARVIK_OK) return false;
  int t = 0, gone = 0;
  tarvikBtreeCreateTable(pBt, &t);
  tarvikBtreeCreateTable(pBt, &gone);
  Map m2, mt, mg;
  char z[32];
  for (int i = 0; i < 60; i++) {
    snprintf(z, sizeof(z), "key%04d", i * 5);
    m2[z] = bytesFor(i, (size_t)(i * 29 % 90));
  }
  m2["key0101"] = bytesFor(1, 2500);
  for (int i = 0; i < 8; i++) mt[std::to_string(i)] = bytesFor(i, 20);
  mg["g"] = bytesFor(3, 1300);
  bool ok = fillTable(pBt, 2, m2) && fillTable(pBt, t, mt) && fillTable(pBt, gone, mg) &&
            tarvikBtreeDropTable(pBt, gone) == TARVIK_OK;
  int aMeta[TARVIK_N_BTREE_META] = {0, 1, 0, 0, 0, t, 0, 0, 0, 0};
  ok = ok && tarvikBtreeUpdateMeta(pBt, aMeta) == TARVIK_OK;
  if (!ok || tarvikBtreeCommit(pBt) != TARVIK_OK) {
    tarvikBtreeRollback(pBt);
    return false;
  }
  return true;
}

void changeSampleDb(Btree *pBt, Tables &model, std::vector<int> &roots) {
  {
    CursorHolder c;
    if (tarvikBtreeCursor(pBt, 2, 1, &c.p) != TARVIK_OK) return;
    Map &m = model[2];
    for (int i = 0; i < 300; i += 3) {
      char z[32];
      snprintf(z, sizeof(z), "key%04d", i);
      int res;
      if (tarvikBtreeMoveto(c.p, z, (int)strlen(z), &res) != TARVIK_OK || res != 0) return;
      if (tarvikBtreeDelete(c.p) != TARVIK_OK) return;
      m.erase(z);
    }
    for (int i = 0; i < 100; i++) {
      std::string k = "new" + std::to_string(i), d = bytesFor(i + 7, (size_t)(i * 91 % 2500));
      if (tarvikBtreeInsert(c.p, k.data(), (int)k.size(), d.data(), (int)d.size())) return;
      m[k] = d;
    }
  }
  int t = 0;
  if (tarvikBtreeCreateTable(pBt, &t) != TARVIK_OK) return;
  Map mt;
  for (int i = 0; i < 80; i++) mt["t" + std::to_string(i)] = bytesFor(i, 250);
  if (!fillTable(pBt, t, mt)) return;
  model[t] = mt;
  roots.push_back(t);
  int dropped = roots[2];
  if (tarvikBtreeDropTable(pBt, dropped) != TARVIK_OK) return;
  model.erase(dropped);
  roots.erase(roots.begin() + 2);
}

Map dumpTable(Btree *pBt, int iTable) {
  Map m;
  CursorHolder c;
  if (tarvikBtreeCursor(pBt, iTable, 0, &c.p) != TARVIK_OK) return m;
  int res = 1;
  tarvikBtreeFirst(c.p, &res);
  while (res == 0) {
    int nk = 0, nd = 0;
    tarvikBtreeKeySize(c.p, &nk);
    tarvikBtreeDataSize(c.p, &nd);
    std::string k((size_t)nk, '\0'), d((size_t)nd, '\0');
    if (nk) tarvikBtreeKey(c.p, 0, nk, k.data());
    if (nd) tarvikBtreeData(c.p, 0, nd, d.data());
    m[k] = d;
    if (tarvikBtreeNext(c.p, &res) != TARVIK_OK) break;
  }
  return m;
}

namespace {

// Walks a sound image in its own byte order, reporting each multi-byte field
// (offset, width) and each page with its kind.
struct ImageWalker {
  const std::string &img;
  bool swapped;
  std::vector<std::pair<size_t, int>> fields;
  FileLayout layout;
  std::set<unsigned> seen;
  bool ok = true;

  unsigned g16(size_t off) const {
    unsigned v = rd16(img, off);
    return swapped ? (((v & 0xff) << 8) | (v >> 8)) : v;
  }
  unsigned g32(size_t off) const {
    unsigned v = rd32(img, off);
    return swapped ? __builtin_bswap32(v) : v;
  }
  unsigned nPage() const { return (unsigned)(img.size() / 1024); }
  bool visit(unsigned pgno) {
    if (pgno < 1 || pgno > nPage() || !seen.insert(pgno).second) {
      ok = false;
      return false;
    }
    return true;
  }
  void tree(unsigned pgno, int root) {
    if (!visit(pgno)) return;
    size_t b = (size_t)(pgno - 1) * 1024;
    layout.rootOf[pgno] = root;
    unsigned right = g32(b);
    (right ? layout.interiors : layout.leaves).push_back(pgno);
    fields.push_back({b, 4});
    fields.push_back({b + 4, 2});
    fields.push_back({b + 6, 2});
    unsigned off = g16(b + 4);
    for (int n = 0; off != 0 && n < 64; n++) {
      size_t c = b + off;
      unsigned left = g32(c);
      unsigned nKey = g16(c + 4) + ((unsigned char)img[c + 8] << 16);
      unsigned nData = g16(c + 10) + ((unsigned char)img[c + 9] << 16);
      for (size_t f : {c, c + 4, c + 6, c + 10}) fields.push_back({f, f == c ? 4 : 2});
      unsigned p = nKey + nData;
      if (p > 236) {
        fields.push_back({c + 248, 4});
        unsigned ov = g32(c + 248);
        for (unsigned k = 0; k < (p - 236 + 1019) / 1020 && ok; k++) {
          if (!visit(ov)) break;
          layout.overflow.push_back(ov);
          fields.push_back({(size_t)(ov - 1) * 1024, 4});
          ov = g32((size_t)(ov - 1) * 1024);
        }
      }
      if (left) tree(left, root);
      off = g16(c + 6);
    }
    off = g16(b + 6);
    for (int n = 0; off != 0 && n < 256; n++) {
      fields.push_back({b + off, 2});
      fields.push_back({b + off + 2, 2});
      off = g16(b + off + 2);
    }
    if (right) tree(right, root);
  }
  void run(const std::vector<int> &roots) {
    if (img.size() < 1024) {
      ok = false;
      return;
    }
    seen.insert(1);
    for (size_t f : {48, 52, 56}) fields.push_back({f, 4});
    for (int i = 0; i < 9; i++) fields.push_back({(size_t)60 + 4 * i, 4});
    unsigned trunk = g32(52);
    while (trunk != 0 && ok) {
      if (!visit(trunk)) break;
      size_t b = (size_t)(trunk - 1) * 1024;
      layout.trunks.push_back(trunk);
      fields.push_back({b, 4});
      fields.push_back({b + 4, 4});
      unsigned n = g32(b + 4);
      for (unsigned i = 0; i < n && i < 254; i++) {
        fields.push_back({b + 8 + 4 * i, 4});
        layout.freeLeaves.push_back(g32(b + 8 + 4 * i));
      }
      trunk = g32(b);
    }
    for (int r : roots) tree((unsigned)r, r);
  }
};

}  // namespace

bool describeFile(const std::string &img, const std::vector<int> &roots, FileLayout *pLayout) {
  ImageWalker w{img, rd32(img, 48) != 0xdae37528u, {}, {}, {}};
  w.run(roots);
  *pLayout = w.layout;
  return w.ok;
}

bool swapByteOrder(std::string &img, const std::vector<int> &roots) {
  ImageWalker w{img, rd32(img, 48) != 0xdae37528u, {}, {}, {}};
  w.run(roots);
  if (!w.ok) return false;
  std::vector<std::pair<size_t, int>> fields = w.fields;
  for (auto [off, width] : fields) {
    if (width == 2) {
      std::swap(img[off], img[off + 1]);
    } else {
      std::swap(img[off], img[off + 3]);
      std::swap(img[off + 1], img[off + 2]);
    }
  }
  return true;
}

int fuzzDatabaseImage(const uint8_t *aData, size_t nData) {
  static std::string path = "/tmp/tarvik_fuzz_" + std::to_string(getpid()) + ".db";
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (nData) fwrite(aData, 1, nData, f);
  fclose(f);
  unlink((path + "-journal").c_str());

  Btree *pBt = nullptr;
  if (tarvikBtreeOpen(path.c_str(), 0, 10, &pBt) != TARVIK_OK) return 0;
  tarvikBtreeSetSafetyLevel(pBt, 1);
  // Roots: tree 2 and those named by meta values 5..9 (as the sample
  // databases store them), within reason.
  std::vector<int> roots = {2};
  int aMeta[TARVIK_N_BTREE_META];
  if (tarvikBtreeGetMeta(pBt, aMeta) == TARVIK_OK) {
    for (int i = 5; i < TARVIK_N_BTREE_META; i++) {
      if (aMeta[i] > 2 && aMeta[i] < 100000) roots.push_back(aMeta[i]);
    }
  }
  for (int r : roots) {
    for (bool forward : {true, false}) {
      CursorHolder c;
      if (tarvikBtreeCursor(pBt, r, 0, &c.p) != TARVIK_OK) continue;
      int res = 1;
      int rc = forward ? tarvikBtreeFirst(c.p, &res) : tarvikBtreeLast(c.p, &res);
      for (int n = 0; rc == TARVIK_OK && res == 0 && n < 20000; n++) {
        char buf[64];
        int nKey = 0, nD = 0;
        tarvikBtreeKeySize(c.p, &nKey);
        tarvikBtreeDataSize(c.p, &nD);
        tarvikBtreeKey(c.p, nKey / 2, (int)sizeof(buf), buf);
        tarvikBtreeData(c.p, nD > 40 ? nD - 40 : 0, (int)sizeof(buf), buf);
        int cmp;
        tarvikBtreeKeyCompare(c.p, "key0100", 7, 0, &cmp);
        rc = forward ? tarvikBtreeNext(c.p, &res) : tarvikBtreePrevious(c.p, &res);
      }
      tarvikBtreeMoveto(c.p, "key0150", 7, &res);
    }
  }
  char *z = tarvikBtreeIntegrityCheck(pBt, roots.data(), (int)roots.size());
  tarvikFree(z);
  if (tarvikBtreeBeginTrans(pBt) == TARVIK_OK) {
    for (int r : roots) {
      CursorHolder c;
      if (tarvikBtreeCursor(pBt, r, 1, &c.p) != TARVIK_OK) continue;
      int rc = TARVIK_OK;
      std::string d(700, 'd');
      for (int i = 0; i < 30 && rc == TARVIK_OK; i++) {
        std::string k = "key" + std::to_string(i * 13);
        rc = tarvikBtreeInsert(c.p, k.data(), (int)k.size(), d.data(), (int)(i * 97 % 700));
      }
      int res = 1;
      if (rc == TARVIK_OK) rc = tarvikBtreeFirst(c.p, &res);
      for (int i = 0; i < 60 && rc == TARVIK_OK && res == 0; i++) {
        rc = tarvikBtreeDelete(c.p);
        if (rc == TARVIK_OK) rc = tarvikBtreeNext(c.p, &res);
      }
      c.close();
      if (r != 2) tarvikBtreeDropTable(pBt, r);
    }
    int t = 0;
    tarvikBtreeCreateTable(pBt, &t);
    char *z2 = tarvikBtreeIntegrityCheck(pBt, roots.data(), (int)roots.size());
    tarvikFree(z2);
    tarvikBtreeRollback(pBt);
  }
  tarvikBtreeClose(pBt);
  unlink(path.c_str());
  return 0;
}

}  // namespace tvbtfile
