/*
** Pseudo-random bytes: the keystream of the RC4 cipher, keyed once per
** process with the 256-byte seed of tarvikOsRandomSeed (time and process id).
** Good enough for rowids, temporary names and the schema cookie; not for
** secrets.
*/
#include "os.h"

namespace {

struct Prng {
  u8 isInit; /* 0 until keyed */
  u8 i, j;
  u8 s[256];
};
Prng prng;

void keyGenerator(const unsigned char *aSeed) {
  prng.i = prng.j = 0;
  for (int k = 0; k < 256; k++) prng.s[k] = (u8)k;
  for (int k = 0; k < 256; k++) {
    prng.j = (u8)(prng.j + prng.s[k] + aSeed[k]);
    u8 t = prng.s[prng.j];
    prng.s[prng.j] = prng.s[k];
    prng.s[k] = t;
  }
  /* j is left where the key schedule put it: the stream continues from it. */
  prng.isInit = 1;
}

/* Caller holds the mutex. */
u8 randomByte() {
  if (!prng.isInit) {
    char zSeed[TARVIK_SEED_SIZE];
    tarvikOsRandomSeed(zSeed);
    keyGenerator((const unsigned char *)zSeed);
  }
  prng.i++;
  u8 t = prng.s[prng.i];
  prng.j = (u8)(prng.j + t);
  prng.s[prng.i] = prng.s[prng.j];
  prng.s[prng.j] = t;
  return prng.s[(u8)(t + prng.s[prng.i])];
}

}  // namespace

void tarvikRandomness(int N, void *pBuf) {
  auto *z = (unsigned char *)pBuf;
  tarvikOsEnterMutex();
  for (int k = 0; k < N; k++) z[k] = randomByte();
  tarvikOsLeaveMutex();
}

#ifdef TARVIK_TEST
void tarvikTestRandomSeed(const unsigned char *aSeed) {
  tarvikOsEnterMutex();
  keyGenerator(aSeed);
  tarvikOsLeaveMutex();
}
#endif
