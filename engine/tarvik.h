/*
** Tarvik: an embedded SQL database engine.  This is the whole public
** interface; it is plain C so that C programs can include it.
**
** Error contract.  Functions return an integer result code (TARVIK_OK on
** success).  Where a function takes a `char **pzErrMsg` argument and fails
** with a message, the message is allocated by the library and must be freed
** by the caller with tarvik_freemem(); on success the argument is left
** untouched.  Texts returned by the tarvik_mprintf() family are freed the
** same way.
*/
#ifndef TARVIK_H
#define TARVIK_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TARVIK_BUILDING_LIBRARY)
#define TARVIK_API __attribute__((visibility("default")))
#else
#define TARVIK_API
#endif

#define TARVIK_VERSION "2.8.13"

/* The version and encoding of the library as built. */
TARVIK_API extern const char tarvik_version[];
TARVIK_API extern const char tarvik_encoding[];
TARVIK_API const char *tarvik_libversion(void);
TARVIK_API const char *tarvik_libencoding(void);

/* An open database connection.  Opaque to callers. */
typedef struct tarvik tarvik;

/* Result codes. */
#define TARVIK_OK 0          /* Successful result */
#define TARVIK_ERROR 1       /* SQL error or missing database */
#define TARVIK_INTERNAL 2    /* An internal logic error */
#define TARVIK_PERM 3        /* Access permission denied */
#define TARVIK_ABORT 4       /* Callback routine requested an abort */
#define TARVIK_BUSY 5        /* The database file is locked */
#define TARVIK_LOCKED 6      /* A table in the database is locked */
#define TARVIK_NOMEM 7       /* An allocation failed */
#define TARVIK_READONLY 8    /* Attempt to write a readonly database */
#define TARVIK_INTERRUPT 9   /* Operation terminated by tarvik_interrupt() */
#define TARVIK_IOERR 10      /* Some kind of disk I/O error occurred */
#define TARVIK_CORRUPT 11    /* The database disk image is malformed */
#define TARVIK_NOTFOUND 12   /* Table or record not found */
#define TARVIK_FULL 13       /* Insertion failed because database is full */
#define TARVIK_CANTOPEN 14   /* Unable to open the database file */
#define TARVIK_PROTOCOL 15   /* Database lock protocol error */
#define TARVIK_EMPTY 16      /* Table contains no data */
#define TARVIK_SCHEMA 17     /* The database schema changed */
#define TARVIK_TOOBIG 18     /* Too much data for one row of a table */
#define TARVIK_CONSTRAINT 19 /* Abort due to constraint violation */
#define TARVIK_MISMATCH 20   /* Data type mismatch */
#define TARVIK_MISUSE 21     /* Library used incorrectly */
#define TARVIK_NOLFS 22      /* Uses OS features not supported on host */
#define TARVIK_AUTH 23       /* Authorization denied */
#define TARVIK_FORMAT 24     /* Auxiliary database format error */
#define TARVIK_RANGE 25      /* 2nd parameter to tarvik_bind out of range */
#define TARVIK_NOTADB 26     /* File opened that is not a database file */
#define TARVIK_ROW 100       /* tarvik_step() has another row ready */
#define TARVIK_DONE 101      /* tarvik_step() has finished executing */

/* Authorizer answers; they share the value space of the result codes. */
#define TARVIK_DENY 1
#define TARVIK_IGNORE 2

/* The message of a result code ("unknown error" for codes without one). */
TARVIK_API const char *tarvik_error_string(int rc);

/* Incremented by every allocation that fails; never reset. */
TARVIK_API extern int tarvik_malloc_failed;

/* Frees a text that the library handed to the caller. */
TARVIK_API void tarvik_freemem(void *p);

/* Formatted printing into memory obtained from the library (free with
** tarvik_freemem).  Beyond the C conversions: %q doubles single quotes,
** %Q does the same and encloses the text in quotes (NULL becomes NULL). */
TARVIK_API char *tarvik_mprintf(const char *zFormat, ...);
TARVIK_API char *tarvik_vmprintf(const char *zFormat, va_list ap);
TARVIK_API char *tarvik_snprintf(int n, char *zBuf, const char *zFormat, ...);

/* A compiled statement, handed out by tarvik_compile.  Opaque. */
typedef struct Vdbe tarvik_vm;

/* Binds host parameter i (1-based) of a compiled statement that has not
** been stepped yet.  zVal null binds NULL; len < 0 means strlen(zVal) + 1
** (lengths count the terminating NUL).  With copy set the library keeps a
** private NUL-terminated copy; otherwise zVal must stay valid for the run.
** TARVIK_RANGE for a bad index, TARVIK_MISUSE when the statement is not
** ready or already started, TARVIK_NOMEM when the copy cannot be made (the
** previous binding then stays). */
TARVIK_API int tarvik_bind(tarvik_vm *pVm, int i, const char *zVal, int len, int copy);

/* The context of one call of an SQL function: what a function's code
** receives and hands its result back through.  Opaque. */
typedef struct tarvik_func tarvik_func;

/* Set the function's result.  Texts are copied (n < 0: up to the NUL);
** tarvik_set_result_string returns the stored copy, or null for a NULL
** result or when out of memory.  An aggregate's step function sets no
** result; an error reported from it is kept for the statement. */
TARVIK_API char *tarvik_set_result_string(tarvik_func *p, const char *zResult, int n);
TARVIK_API void tarvik_set_result_int(tarvik_func *p, int iResult);
TARVIK_API void tarvik_set_result_double(tarvik_func *p, double rResult);
TARVIK_API void tarvik_set_result_error(tarvik_func *p, const char *zMsg, int n);

/* The pUserData given when the function was registered. */
TARVIK_API void *tarvik_user_data(tarvik_func *p);

/* Aggregates only: the current group's state block of nByte bytes,
** zero-filled on the first call for the group; later calls return the same
** block.  Null when out of memory. */
TARVIK_API void *tarvik_aggregate_context(tarvik_func *p, int nByte);

/* Aggregates only: how many times the step function has been called for
** the current group. */
TARVIK_API int tarvik_aggregate_count(tarvik_func *p);

/* 1 if the text is empty or ends with a complete SQL statement (a semicolon
** outside any string, quoted name, comment or trigger body, followed only by
** white space and comments), else 0. */
TARVIK_API int tarvik_complete(const char *zSql);

/* ------------------------------------------------ connections and statements */

/* ------------------------------------------------ result tables */

/* ------------------------------------------------ user functions */

/* Result types of SQL functions, for tarvik_function_type: numeric, text,
** or numeric when any argument is numeric.  A value k >= 0 means "the type
** of argument k". */
#define TARVIK_NUMERIC (-1)
#define TARVIK_TEXT (-2)
#define TARVIK_ARGS (-3)

/* Registers an SQL function of nArg arguments (-1: any number) under zName
** (at most 255 bytes, case-insensitive), replacing the definition of that
** name and argument count if there is one.  xFunc receives the arguments as
** texts (NULL as a null pointer) and sets its result through the context; a
** null xFunc makes calls with that argument count an error.  Returns 0, or
** 1 when refused: a null connection or name, nArg outside -1..127, a name
** too long, out of memory, or a compiled statement exists (which also marks
** the connection as misused). */
TARVIK_API int tarvik_create_function(tarvik *db, const char *zName, int nArg,
                                      void (*xFunc)(tarvik_func *, int, const char **),
                                      void *pUserData);

/* Registers an aggregate function: xStep is called for each row of a
** group, xFinalize once at the end of the group to set the result.  State
** lives in tarvik_aggregate_context.  Same checks and results as
** tarvik_create_function. */
TARVIK_API int tarvik_create_aggregate(tarvik *db, const char *zName, int nArg,
                                       void (*xStep)(tarvik_func *, int, const char **),
                                       void (*xFinalize)(tarvik_func *), void *pUserData);

/* Sets the result type (TARVIK_NUMERIC, TARVIK_TEXT, TARVIK_ARGS or an
** argument number) of every definition of zName; call it after creating
** them.  Returns 0. */
TARVIK_API int tarvik_function_type(tarvik *db, const char *zName, int dataType);


#ifdef __cplusplus
}
#endif

#endif /* TARVIK_H */
