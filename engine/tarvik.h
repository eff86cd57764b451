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

/* Receives each result row of tarvik_exec: argc columns, argv their values
** (null for NULL; argv itself is null for the one call made for an empty
** result when empty-result callbacks are on), azColName their names.  A
** non-zero return stops the statement with TARVIK_ABORT. */
typedef int (*tarvik_callback)(void *pArg, int argc, char **argv, char **azColName);

/* Opens (or creates) the database file zFilename; ":memory:" opens a
** database that lives in memory only.  mode is ignored.  Null on failure,
** with a message through pzErrMsg when it is not null. */
TARVIK_API tarvik *tarvik_open(const char *zFilename, int mode, char **pzErrMsg);

/* Closes the connection.  While a compiled statement exists the close is
** refused: the connection is marked misused and closes itself when its last
** statement is finalized. */
TARVIK_API void tarvik_close(tarvik *db);

/* Runs every statement of zSql, handing result rows to xCallback (may be
** null).  Stops at the first failure and returns its code. */
TARVIK_API int tarvik_exec(tarvik *db, const char *zSql, tarvik_callback xCallback, void *pArg,
                           char **pzErrMsg);

/* Compiles the first statement of zSql.  *pzTail receives the rest of the
** text; *ppVm the statement, or null when the text held none or on
** failure. */
TARVIK_API int tarvik_compile(tarvik *db, const char *zSql, const char **pzTail, tarvik_vm **ppVm,
                              char **pzErrMsg);

/* Runs a compiled statement to its next row: TARVIK_ROW with *pN columns,
** *pazValue the values and *pazColName the names; TARVIK_DONE at the end
** (names still given); TARVIK_BUSY (may be stepped again); TARVIK_ERROR
** (finalize or reset tells which error); TARVIK_MISUSE.  The arrays stay
** valid until the next step, reset or finalize. */
TARVIK_API int tarvik_step(tarvik_vm *pVm, int *pN, const char ***pazValue,
                           const char ***pazColName);

/* Destroys a compiled statement; returns the result of its run, with its
** message through pzErrMsg. */
TARVIK_API int tarvik_finalize(tarvik_vm *pVm, char **pzErrMsg);

/* Ends the statement's run like finalize, but keeps it ready to run again
** with its parameter bindings. */
TARVIK_API int tarvik_reset(tarvik_vm *pVm, char **pzErrMsg);

/* Counters: the row number of the last successful INSERT, the rows changed
** by the last tarvik_exec or since the last compile, and the rows changed by
** the last finished statement. */
TARVIK_API int tarvik_last_insert_rowid(tarvik *db);
TARVIK_API int tarvik_changes(tarvik *db);
TARVIK_API int tarvik_last_statement_changes(tarvik *db);

/* Makes the running statement stop with TARVIK_INTERRUPT at its next check.
** The one call allowed from inside a callback of the same connection. */
TARVIK_API void tarvik_interrupt(tarvik *db);

/* Called when a lock is refused, with pArg, an empty text and a count that
** starts at 1; a zero return gives up with TARVIK_BUSY.  Null removes it. */
TARVIK_API void tarvik_busy_handler(tarvik *db, int (*xBusy)(void *, const char *, int),
                                    void *pArg);

/* Waits in steps of one second while the waits so far stay within ms
** milliseconds; ms <= 0 removes any busy handler. */
TARVIK_API void tarvik_busy_timeout(tarvik *db, int ms);

/* Calls xProgress every nOps instructions of a running statement; a
** non-zero return stops it with TARVIK_ABORT.  nOps <= 0 removes it. */
TARVIK_API void tarvik_progress_handler(tarvik *db, int nOps, int (*xProgress)(void *), void *pArg);

/* Receives the text of every statement compiled.  Returns the previous
** argument. */
TARVIK_API void *tarvik_trace(tarvik *db, void (*xTrace)(void *, const char *), void *pArg);

/* Called before each commit; a non-zero return turns the commit into a
** rollback (TARVIK_CONSTRAINT).  Returns the previous argument. */
TARVIK_API void *tarvik_commit_hook(tarvik *db, int (*xCommit)(void *), void *pArg);

/* ------------------------------------------------ result tables */

/* Runs zSql and collects its results into one array: the nColumn column
** names, then nRow rows of nColumn values (NULL values are null pointers).
** Free it with tarvik_free_table.  pnRow, pnColumn and pzErrMsg may be
** null. */
TARVIK_API int tarvik_get_table(tarvik *db, const char *zSql, char ***pazResult, int *pnRow,
                                int *pnColumn, char **pzErrMsg);
TARVIK_API void tarvik_free_table(char **azResult);

/* tarvik_exec and tarvik_get_table on SQL text formatted like
** tarvik_mprintf. */
TARVIK_API int tarvik_exec_printf(tarvik *db, const char *zFormat, tarvik_callback xCallback,
                                  void *pArg, char **pzErrMsg, ...);
TARVIK_API int tarvik_exec_vprintf(tarvik *db, const char *zFormat, tarvik_callback xCallback,
                                   void *pArg, char **pzErrMsg, va_list ap);
TARVIK_API int tarvik_get_table_printf(tarvik *db, const char *zFormat, char ***pazResult,
                                       int *pnRow, int *pnColumn, char **pzErrMsg, ...);
TARVIK_API int tarvik_get_table_vprintf(tarvik *db, const char *zFormat, char ***pazResult,
                                        int *pnRow, int *pnColumn, char **pzErrMsg, va_list ap);

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
