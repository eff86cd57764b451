/*
** COPY.  PLACEHOLDER: the generator is a stub until the COPY code exists;
** it frees what it is given.
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikCopy(Parse *, SrcList *pTableName, const Token *pFilename, const Token *pDelimiter,
                int onError) {
  GEN_RECORD("Copy", pTableName, pFilename, pDelimiter, onError);
  tarvikSrcListDelete(pTableName);
}
