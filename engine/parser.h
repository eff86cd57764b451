/*
** The push parser (parse.cpp, running the tables generated from parse.y).
** tarvikRunParser is its only caller in the engine; tests drive it
** directly.
*/
#ifndef TARVIK_PARSER_H
#define TARVIK_PARSER_H

#include <cstdio>

#include "tarvikInt.h"

/* Allocates a parser with an empty stack; null when allocation fails. */
void *tarvikParserAlloc(void *(*mallocProc)(int));
/* Pops and destroys whatever is left on the stack, then frees the parser. */
void tarvikParserFree(void *p, void (*freeProc)(void *));
/* Pushes one token; code 0 is the end of input. */
void tarvikParser(void *p, int tokenCode, Token token, Parse *pParse);
/* Traces every step to `stream` with `zPrompt` before each line; either null stops tracing. */
void tarvikParserTrace(FILE *stream, const char *zPrompt);
/* The name of a grammar symbol, "Unknown" outside the range. */
const char *tarvikParserTokenName(int code);

#ifdef TARVIK_TEST
/* How often each rule was reduced since the process started (for coverage
** of the grammar by the tests), the number of rules, and a rule's text. */
const unsigned *tarvikParserRuleCounts();
int tarvikParserRuleCount();
const char *tarvikParserRuleText(int iRule);
#endif

#endif /* TARVIK_PARSER_H */
