// The generic hash table: replacement and removal semantics, growth,
// iteration order, key classes and allocation failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash.h"
#include "tarvikInt.h"

namespace {

int tag[64];
void *D(int i) { return &tag[i]; }

std::vector<int> order(const Hash &h) {
  std::vector<int> out;
  for (HashElem *p = hashFirst(&h); p; p = hashNext(p)) out.push_back(hashKeysize(p));
  return out;
}

TEST(Hash, InsertReplaceAndRemoveReturnTheRightData) {
  Hash h;
  tarvikHashInit(&h, TARVIK_HASH_STRING, 0);
  EXPECT_EQ(tarvikHashFind(&h, "a", 2), nullptr) << "a table without buckets finds nothing";
  EXPECT_EQ(h.ht, nullptr);
  EXPECT_EQ(tarvikHashInsert(&h, "absent", 7, nullptr), nullptr);
  EXPECT_EQ(hashCount(&h), 0);
  EXPECT_EQ(h.ht, nullptr) << "removing an absent key allocates nothing";

  EXPECT_EQ(tarvikHashInsert(&h, "Tbl", 4, D(1)), nullptr);
  EXPECT_EQ(tarvikHashFind(&h, "TBL", 4), D(1)) << "case-insensitive";
  EXPECT_EQ(tarvikHashFind(&h, "TBL", 3), nullptr) << "length takes part in the key";
  EXPECT_EQ(tarvikHashInsert(&h, "tBL", 4, D(2)), D(1)) << "replacement returns the old data";
  EXPECT_EQ(hashCount(&h), 1);
  EXPECT_EQ(tarvikHashInsert(&h, "tbl", 4, nullptr), D(2)) << "removal returns the old data";
  EXPECT_EQ(hashCount(&h), 0);
  EXPECT_EQ(hashFirst(&h), nullptr);
  tarvikHashClear(&h);
}

TEST(Hash, GrowsAtTheNinthAndSeventeenthInsertion) {
  Hash h;
  tarvikHashInit(&h, TARVIK_HASH_INT, 0);
  for (int i = 1; i <= 8; i++) tarvikHashInsert(&h, nullptr, i, D(i));
  EXPECT_EQ(h.htsize, 8);
  tarvikHashInsert(&h, nullptr, 9, D(9));
  EXPECT_EQ(h.htsize, 16);
  for (int i = 10; i <= 16; i++) tarvikHashInsert(&h, nullptr, i, D(i));
  EXPECT_EQ(h.htsize, 16);
  tarvikHashInsert(&h, nullptr, 17, D(17));
  EXPECT_EQ(h.htsize, 32);
  for (int i = 1; i <= 17; i++) EXPECT_EQ(tarvikHashFind(&h, nullptr, i), D(i)) << i;
  tarvikHashClear(&h);
  EXPECT_EQ(tarvikHashFind(&h, nullptr, 3), nullptr);
  EXPECT_EQ(h.htsize, 0);
}

TEST(Hash, IterationOrderFollowsTheBucketRule) {
  // INT keys 1..3 with 8 buckets: hash(n) = n ^ n<<8 ^ n>>8, bucket = low 3 bits,
  // so each key has its own bucket and each new element goes to the list head.
  Hash h;
  tarvikHashInit(&h, TARVIK_HASH_INT, 0);
  tarvikHashInsert(&h, nullptr, 1, D(1));
  tarvikHashInsert(&h, nullptr, 2, D(2));
  tarvikHashInsert(&h, nullptr, 3, D(3));
  EXPECT_EQ(order(h), (std::vector<int>{3, 2, 1}));
  // Key 9 shares bucket 1 with key 1: it goes immediately before key 1.
  tarvikHashInsert(&h, nullptr, 9, D(9));
  EXPECT_EQ(order(h), (std::vector<int>{3, 2, 9, 1}));
  tarvikHashClear(&h);
}

TEST(Hash, DeletionWhileIteratingVisitsEveryElementOnce) {
  Hash h;
  tarvikHashInit(&h, TARVIK_HASH_INT, 0);
  for (int i = 0; i < 40; i++) tarvikHashInsert(&h, nullptr, i, D(i % 64));
  int seen = 0;
  for (HashElem *p = hashFirst(&h); p;) {
    HashElem *next = hashNext(p);
    if (hashKeysize(p) % 2 == 0) tarvikHashInsert(&h, nullptr, hashKeysize(p), nullptr);
    seen++;
    p = next;
  }
  EXPECT_EQ(seen, 40);
  EXPECT_EQ(hashCount(&h), 20);
  for (int i = 0; i < 40; i++) {
    EXPECT_EQ(tarvikHashFind(&h, nullptr, i), i % 2 ? D(i) : nullptr) << i;
  }
  tarvikHashClear(&h);
}

TEST(Hash, CopiedKeysSurviveTheCallersBuffer) {
  Hash h;
  tarvikHashInit(&h, TARVIK_HASH_BINARY, 1);
  std::string key("key\0one", 7);
  tarvikHashInsert(&h, key.data(), (int)key.size(), D(1));
  key.assign("xxxxxxx");
  EXPECT_EQ(tarvikHashFind(&h, "key\0one", 7), D(1));
  EXPECT_EQ(tarvikHashFind(&h, "KEY\0one", 7), nullptr) << "binary keys compare exactly";
  tarvikHashClear(&h);

  // Borrowed keys: the element points at the caller's bytes.
  Hash b;
  tarvikHashInit(&b, TARVIK_HASH_STRING, 0);
  char name[] = "t1";
  tarvikHashInsert(&b, name, 3, D(2));
  EXPECT_EQ(hashKey(hashFirst(&b)), name);
  tarvikHashClear(&b);
}

TEST(Hash, AllocationFailureReturnsTheDataAndLeaksNothing) {
  long outstanding = tarvikTestMallocOutstanding();
  for (int n = 1; n <= 40; n++) {
    Hash h;
    tarvikHashInit(&h, TARVIK_HASH_STRING, 1);
    tarvikTestMallocFail(n, false);
    int stored = 0;
    char key[16];
    for (int i = 0; i < 12; i++) {
      snprintf(key, sizeof key, "k%d", i);
      void *rc = tarvikHashInsert(&h, key, (int)strlen(key), D(i));
      if (rc == nullptr) {
        stored++;
      } else {
        EXPECT_EQ(rc, D(i)) << "a failed insert hands back the caller's data";
      }
    }
    tarvikTestMallocFail(0, false);
    EXPECT_EQ(hashCount(&h), stored);
    int found = 0;
    for (int i = 0; i < 12; i++) {
      snprintf(key, sizeof key, "K%d", i);
      if (tarvikHashFind(&h, key, (int)strlen(key)) == D(i)) found++;
    }
    EXPECT_EQ(found, stored) << "fail at allocation " << n;
    tarvikHashClear(&h);
    EXPECT_EQ(tarvikTestMallocOutstanding(), outstanding) << "leak with failure at " << n;
  }
}

}  // namespace
