// Small helpers for tests that drive a storage backend through btree.h.
#ifndef TARVIK_TEST_BTREE_UTIL_H
#define TARVIK_TEST_BTREE_UTIL_H

#include <string>

#include "btree.h"

namespace tvtest {

// The current entry's whole key / data ("" without an entry).
inline std::string curKey(BtCursor *pCur) {
  int n = 0;
  tarvikBtreeKeySize(pCur, &n);
  std::string s((size_t)n, '\0');
  int got = n > 0 ? tarvikBtreeKey(pCur, 0, n, s.data()) : 0;
  s.resize((size_t)(got < 0 ? 0 : got));
  return s;
}

inline std::string curData(BtCursor *pCur) {
  int n = 0;
  tarvikBtreeDataSize(pCur, &n);
  std::string s((size_t)n, '\0');
  int got = n > 0 ? tarvikBtreeData(pCur, 0, n, s.data()) : 0;
  s.resize((size_t)(got < 0 ? 0 : got));
  return s;
}

inline int btInsert(BtCursor *pCur, const std::string &k, const std::string &d) {
  return tarvikBtreeInsert(pCur, k.data(), (int)k.size(), d.data(), (int)d.size());
}

inline int btMoveto(BtCursor *pCur, const std::string &k, int *pRes) {
  return tarvikBtreeMoveto(pCur, k.data(), (int)k.size(), pRes);
}

}  // namespace tvtest

#endif
