/*
** The command-line shell: opens one database, reads SQL and dot-commands
** from the terminal, a file or the command line, and prints result rows in
** one of six output modes.  It uses only the public interface of the
** library; the few text helpers it needs (number test, case-insensitive
** compare) are its own.
*/
#include "shell.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

/* The open database, also reached by the interrupt handler. */
static tarvik *db = nullptr;
static volatile sig_atomic_t seenInterrupt = 0;
static const char *Argv0 = "tarvik";
static char mainPrompt[20];
static char continuePrompt[20];
/* Set by .exit/.quit so that every nested input stream stops. */
static int seenExit = 0;

const char *modeDescr[] = {"line", "column", "list", "semi", "html", "insert"};

/* ------------------------------------------------------------ text helpers */

int shell_is_number(const char *z) {
  if (*z == '+' || *z == '-') z++;
  if (!isdigit((unsigned char)*z)) return 0;
  while (isdigit((unsigned char)*z)) z++;
  if (*z == '.') {
    z++;
    if (!isdigit((unsigned char)*z)) return 0;
    while (isdigit((unsigned char)*z)) z++;
  }
  if (*z == 'e' || *z == 'E') {
    z++;
    if (*z == '+' || *z == '-') z++;
    if (!isdigit((unsigned char)*z)) return 0;
    while (isdigit((unsigned char)*z)) z++;
  }
  return *z == 0;
}

static int shellStrICmp(const char *a, const char *b) {
  while (*a && tolower((unsigned char)*a) == tolower((unsigned char)*b)) {
    a++;
    b++;
  }
  return tolower((unsigned char)*a) - tolower((unsigned char)*b);
}

/* Copies z into a 20-byte setting, cut to 19 characters. */
static void setShort(char *zDest, const char *z) { snprintf(zDest, 20, "%.*s", 19, z); }

/* ------------------------------------------------------------ reading lines */

/* One line without its newline, or null at end of input.  The prompt (if
** any) is printed and flushed first.  The caller frees the line. */
static char *local_getline(const char *zPrompt, FILE *in) {
  if (zPrompt && *zPrompt) {
    printf("%s", zPrompt);
    fflush(stdout);
  }
  int nLine = 100;
  char *zLine = static_cast<char *>(malloc(nLine));
  if (zLine == nullptr) return nullptr;
  int n = 0;
  for (;;) {
    if (n + 100 > nLine) {
      nLine = nLine * 2 + 100;
      char *zNew = static_cast<char *>(realloc(zLine, nLine));
      if (zNew == nullptr) {
        free(zLine);
        return nullptr;
      }
      zLine = zNew;
    }
    if (fgets(&zLine[n], nLine - n, in) == nullptr) {
      if (n == 0) {
        free(zLine);
        return nullptr;
      }
      zLine[n] = 0;
      break;
    }
    while (zLine[n]) n++;
    if (n > 0 && zLine[n - 1] == '\n') {
      zLine[n - 1] = 0;
      break;
    }
  }
  return zLine;
}

/* Reads the next line: from the terminal with a prompt (main prompt unless
** a statement is pending), or from the file without one. */
static char *one_input_line(const char *zPrior, FILE *in) {
  if (in != nullptr) return local_getline(nullptr, in);
  const char *zPrompt = (zPrior && zPrior[0]) ? continuePrompt : mainPrompt;
  return local_getline(zPrompt, stdin);
}

/* ------------------------------------------------------------ row output */

/* Writes z with "<" and "&" escaped for HTML. */
static void output_html_string(FILE *out, const char *z) {
  for (; *z; z++) {
    if (*z == '<') {
      fputs("&lt;", out);
    } else if (*z == '&') {
      fputs("&amp;", out);
    } else {
      fputc(*z, out);
    }
  }
}

/* Writes z in single quotes with each inner quote doubled. */
static void output_quoted_string(FILE *out, const char *z) {
  fputc('\'', out);
  for (; *z; z++) {
    if (*z == '\'') fputc('\'', out);
    fputc(*z, out);
  }
  fputc('\'', out);
}

int callback(void *pArg, int nArg, char **azArg, char **azCol) {
  callback_data *p = static_cast<callback_data *>(pArg);
  switch (p->mode) {
    case MODE_Line: {
      if (azArg == nullptr) break;
      int w = 5;
      for (int i = 0; i < nArg; i++) {
        int len = static_cast<int>(strlen(azCol[i] ? azCol[i] : ""));
        if (len > w) w = len;
      }
      if (p->cnt++ > 0) fprintf(p->out, "\n");
      for (int i = 0; i < nArg; i++) {
        fprintf(p->out, "%*s = %s\n", w, azCol[i] ? azCol[i] : "",
                azArg[i] ? azArg[i] : p->nullvalue);
      }
      break;
    }
    case MODE_Column: {
      if (p->cnt++ == 0) {
        for (int i = 0; i < nArg; i++) {
          int w = i < 100 ? p->colWidth[i] : 0;
          if (w <= 0) {
            w = static_cast<int>(strlen(azCol[i] ? azCol[i] : ""));
            if (w < 10) w = 10;
            if (azArg) {
              int n = static_cast<int>(strlen(azArg[i] ? azArg[i] : p->nullvalue));
              if (w < n) w = n;
            }
          }
          if (i < 100) p->actualWidth[i] = w;
          if (p->showHeader) {
            fprintf(p->out, "%-*.*s%s", w, w, azCol[i] ? azCol[i] : "",
                    i == nArg - 1 ? "\n" : "  ");
          }
        }
        if (p->showHeader) {
          static const char zDashes[] =
              "-------------------------------------------------------------------------------"
              "--------------";
          static_assert(sizeof(zDashes) == 94, "a run of 93 dashes");
          for (int i = 0; i < nArg; i++) {
            int w = i < 100 ? p->actualWidth[i] : 10;
            fprintf(p->out, "%-*.*s%s", w, w, zDashes, i == nArg - 1 ? "\n" : "  ");
          }
        }
      }
      if (azArg == nullptr) break;
      for (int i = 0; i < nArg; i++) {
        int w = i < 100 ? p->actualWidth[i] : 10;
        fprintf(p->out, "%-*.*s%s", w, w, azArg[i] ? azArg[i] : p->nullvalue,
                i == nArg - 1 ? "\n" : "  ");
      }
      break;
    }
    case MODE_Semi:
    case MODE_List: {
      if (p->cnt++ == 0 && p->showHeader) {
        for (int i = 0; i < nArg; i++) {
          fprintf(p->out, "%s%s", azCol[i] ? azCol[i] : "", i == nArg - 1 ? "\n" : p->separator);
        }
      }
      if (azArg == nullptr) break;
      for (int i = 0; i < nArg; i++) {
        const char *z = azArg[i] ? azArg[i] : p->nullvalue;
        fprintf(p->out, "%s", z);
        if (i < nArg - 1) {
          fprintf(p->out, "%s", p->separator);
        } else if (p->mode == MODE_Semi) {
          fprintf(p->out, ";\n");
        } else {
          fprintf(p->out, "\n");
        }
      }
      break;
    }
    case MODE_Html: {
      if (p->cnt++ == 0 && p->showHeader) {
        fprintf(p->out, "<TR>");
        for (int i = 0; i < nArg; i++) fprintf(p->out, "<TH>%s</TH>", azCol[i] ? azCol[i] : "");
        fprintf(p->out, "</TR>\n");
      }
      if (azArg == nullptr) break;
      fprintf(p->out, "<TR>");
      for (int i = 0; i < nArg; i++) {
        fprintf(p->out, "<TD>");
        output_html_string(p->out, azArg[i] ? azArg[i] : p->nullvalue);
        fprintf(p->out, "</TD>\n");
      }
      fprintf(p->out, "</TR>\n");
      break;
    }
    case MODE_Insert: {
      if (azArg == nullptr) break;
      fprintf(p->out, "INSERT INTO %s VALUES(", p->zDestTable ? p->zDestTable : "table");
      for (int i = 0; i < nArg; i++) {
        const char *zSep = i > 0 ? "," : "";
        if (azArg[i] == nullptr) {
          fprintf(p->out, "%sNULL", zSep);
        } else if (shell_is_number(azArg[i])) {
          fprintf(p->out, "%s%s", zSep, azArg[i]);
        } else {
          fputs(zSep, p->out);
          output_quoted_string(p->out, azArg[i]);
        }
      }
      fprintf(p->out, ");\n");
      break;
    }
  }
  return 0;
}

void set_table_name(callback_data *p, const char *zName) {
  if (p->zDestTable) {
    free(p->zDestTable);
    p->zDestTable = nullptr;
  }
  if (zName == nullptr) return;
  bool needQuote = !isalpha((unsigned char)zName[0]) && zName[0] != '_';
  size_t n = 0;
  for (size_t i = 0; zName[i]; i++) {
    if (!isalnum((unsigned char)zName[i]) && zName[i] != '_') needQuote = true;
    n += zName[i] == '\'' ? 2 : 1;
  }
  if (needQuote) n += 2;
  char *z = static_cast<char *>(malloc(n + 1));
  if (z == nullptr) {
    fprintf(stderr, "Out of memory!\n");
    exit(1);
  }
  size_t j = 0;
  if (needQuote) z[j++] = '\'';
  for (size_t i = 0; zName[i]; i++) {
    z[j++] = zName[i];
    if (zName[i] == '\'') z[j++] = '\'';
  }
  if (needQuote) z[j++] = '\'';
  z[j] = 0;
  p->zDestTable = z;
}

/* ------------------------------------------------------------ database */

/* Opens the database on first need; failure ends the program. */
static void open_db(callback_data *p) {
  if (p->db != nullptr) return;
  char *zErrMsg = nullptr;
  p->db = tarvik_open(p->zDbFilename, 0, &zErrMsg);
  db = p->db;
  if (p->db == nullptr) {
    if (zErrMsg) {
      fprintf(stderr, "Unable to open database \"%s\": %s\n", p->zDbFilename, zErrMsg);
      tarvik_freemem(zErrMsg);
    } else {
      fprintf(stderr, "Unable to open database %s\n", p->zDbFilename);
    }
    exit(1);
  }
}

/* Prints a query error of a dot-command and frees it. */
static void report_error(char *zErrMsg) {
  if (zErrMsg) {
    fflush(stdout);
    fprintf(stderr, "Error: %s\n", zErrMsg);
    tarvik_freemem(zErrMsg);
  }
}

/* Each row of the .dump query: the object's SQL, then for a table its rows
** as INSERT statements. */
static int dump_callback(void *pArg, int nArg, char **azArg, char ** /*azCol*/) {
  callback_data *p = static_cast<callback_data *>(pArg);
  if (azArg == nullptr) return 0;
  if (nArg != 3) return 1;
  const char *zName = azArg[0];
  const char *zType = azArg[1];
  fprintf(p->out, "%s;\n", azArg[2] ? azArg[2] : "");
  if (zType && strcmp(zType, "table") == 0 && zName) {
    callback_data d2 = *p;
    d2.mode = MODE_Insert;
    d2.zDestTable = nullptr;
    d2.cnt = 0;
    set_table_name(&d2, zName);
    tarvik_exec_printf(p->db, "SELECT * FROM '%q'", callback, &d2, nullptr, zName);
    set_table_name(&d2, nullptr);
  }
  return 0;
}

/* Runs the .dump query over the schema table.  Its rows are fetched in full
** before any is dumped: dumping a table runs a query of its own, and the
** connection refuses to be used again from inside a row callback. */
static void dump_objects(callback_data *p, const char *zQuery, const char *zPattern,
                         char **pzErrMsg) {
  char **azResult = nullptr;
  int nRow = 0;
  int nCol = 0;
  int rc = zPattern ? tarvik_get_table_printf(p->db, zQuery, &azResult, &nRow, &nCol, pzErrMsg,
                                              zPattern)
                    : tarvik_get_table(p->db, zQuery, &azResult, &nRow, &nCol, pzErrMsg);
  if (rc == TARVIK_OK) {
    for (int i = 1; i <= nRow; i++) {
      if (dump_callback(p, nCol, &azResult[i * nCol], azResult) != 0) break;
    }
  }
  tarvik_free_table(azResult);
}

/* ------------------------------------------------------------ dot-commands */

static const char zHelp[] =
    ".databases             List names and files of attached databases\n"
    ".dump ?TABLE? ...      Dump the database in a text format\n"
    ".echo ON|OFF           Turn command echo on or off\n"
    ".exit                  Exit this program\n"
    ".explain ON|OFF        Turn output mode suitable for EXPLAIN on or off.\n"
    ".header(s) ON|OFF      Turn display of headers on or off\n"
    ".help                  Show this message\n"
    ".indices TABLE         Show names of all indices on TABLE\n"
    ".mode MODE             Set mode to one of \"line(s)\", \"column(s)\", \n"
    "                       \"insert\", \"list\", or \"html\"\n"
    ".mode insert TABLE     Generate SQL insert statements for TABLE\n"
    ".nullvalue STRING      Print STRING instead of nothing for NULL data\n"
    ".output FILENAME       Send output to FILENAME\n"
    ".output stdout         Send output to the screen\n"
    ".prompt MAIN CONTINUE  Replace the standard prompts\n"
    ".quit                  Exit this program\n"
    ".read FILENAME         Execute SQL in FILENAME\n"
    ".schema ?TABLE?        Show the CREATE statements\n"
    ".separator STRING      Change separator string for \"list\" mode\n"
    ".show                  Show the current values for various settings\n"
    ".tables ?PATTERN?      List names of tables matching a pattern\n"
    ".timeout MS            Try opening locked tables for MS milliseconds\n"
    ".width NUM NUM ...     Set column widths for \"column\" mode\n";

/* ON/OFF arguments: "on" or "yes" (any case) is 1, else the integer value. */
static int boolean_value(const std::string &zArg) {
  std::string z = zArg;
  for (char &c : z) c = static_cast<char>(tolower((unsigned char)c));
  if (z == "on" || z == "yes") return 1;
  return atoi(z.c_str());
}

/* Names in columns across an 80-character line (.tables). */
void print_in_columns(FILE *out, char **azName, int nName) {
  int maxlen = 0;
  for (int i = 0; i < nName; i++) {
    int len = static_cast<int>(strlen(azName[i] ? azName[i] : ""));
    if (len > maxlen) maxlen = len;
  }
  int nPrintCol = 80 / (maxlen + 2);
  if (nPrintCol < 1) nPrintCol = 1;
  int nPrintRow = (nName + nPrintCol - 1) / nPrintCol;
  for (int i = 0; i < nPrintRow; i++) {
    for (int j = i; j < nName; j += nPrintRow) {
      const char *zSp = j < nPrintRow ? "" : "  ";
      fprintf(out, "%s%-*s", zSp, maxlen, azName[j] ? azName[j] : "");
    }
    fprintf(out, "\n");
  }
}

/* The schema query of .schema, optionally restricted to one table. */
static const char zSchemaHead[] =
    "SELECT sql FROM "
    "  (SELECT * FROM tarvik_master UNION ALL"
    "   SELECT * FROM tarvik_temp_master) ";
static const char zSchemaTail[] = "type!='meta' AND sql NOTNULL ORDER BY substr(type,2,1), name";

int do_meta_command(char *zLine, callback_data *p) {
  /* Split into at most 50 arguments.  After white space a new argument
  ** starts even at the end of the line, so trailing white space gives an
  ** empty last argument. */
  std::vector<std::string> azArg;
  size_t i = 1;
  size_t len = strlen(zLine);
  while (i < len && azArg.size() < 50) {
    while (i < len && isspace((unsigned char)zLine[i])) i++;
    if (zLine[i] == '\'' || zLine[i] == '"') {
      char delim = zLine[i++];
      size_t start = i;
      while (i < len && zLine[i] != delim) i++;
      azArg.emplace_back(zLine + start, i - start);
      if (i < len) i++;
    } else {
      size_t start = i;
      while (i < len && !isspace((unsigned char)zLine[i])) i++;
      azArg.emplace_back(zLine + start, i - start);
    }
  }
  int nArg = static_cast<int>(azArg.size());
  if (nArg == 0) return 0;
  const char *z0 = azArg[0].c_str();
  size_t n = azArg[0].size();
  int c = z0[0];
  auto is = [&](const char *zName) { return strncmp(z0, zName, n) == 0; };
  int rc = 0;

  if (c == 'd' && n > 1 && is("databases")) {
    open_db(p);
    callback_data data = *p;
    data.showHeader = 0;
    data.mode = MODE_Column;
    data.cnt = 0;
    char *zErrMsg = nullptr;
    tarvik_exec(p->db, "PRAGMA database_list; ", callback, &data, &zErrMsg);
    report_error(zErrMsg);
  } else if (c == 'd' && is("dump")) {
    open_db(p);
    fprintf(p->out, "BEGIN TRANSACTION;\n");
    char *zErrMsg = nullptr;
    if (nArg == 1) {
      dump_objects(p,
                   "SELECT name, type, sql FROM tarvik_master "
                   "WHERE type!='meta' AND sql NOT NULL "
                   "ORDER BY substr(type,2,1), name",
                   nullptr, &zErrMsg);
    } else {
      for (int k = 1; k < nArg && zErrMsg == nullptr; k++) {
        dump_objects(p,
                     "SELECT name, type, sql FROM tarvik_master "
                     "WHERE tbl_name LIKE '%q' AND type!='meta' AND sql NOT NULL "
                     "ORDER BY substr(type,2,1), name",
                     azArg[k].c_str(), &zErrMsg);
      }
    }
    if (zErrMsg) {
      fflush(p->out);
      fprintf(stderr, "Error: %s\n", zErrMsg);
      tarvik_freemem(zErrMsg);
    } else {
      fprintf(p->out, "COMMIT;\n");
    }
  } else if (c == 'e' && is("echo") && nArg > 1) {
    p->echoOn = boolean_value(azArg[1]);
  } else if (c == 'e' && is("exit")) {
    rc = 1;
  } else if (c == 'e' && is("explain")) {
    int val = nArg >= 2 ? boolean_value(azArg[1]) : 1;
    if (val == 1) {
      if (!p->explainPrev.valid) {
        p->explainPrev.valid = 1;
        p->explainPrev.mode = p->mode;
        p->explainPrev.showHeader = p->showHeader;
        memcpy(p->explainPrev.colWidth, p->colWidth, sizeof(p->colWidth));
      }
      p->mode = MODE_Column;
      p->showHeader = 1;
      memset(p->colWidth, 0, sizeof(p->colWidth));
      p->colWidth[0] = 4;
      p->colWidth[1] = 12;
      p->colWidth[2] = 10;
      p->colWidth[3] = 10;
      p->colWidth[4] = 35;
    } else if (p->explainPrev.valid) {
      p->explainPrev.valid = 0;
      p->mode = p->explainPrev.mode;
      p->showHeader = p->explainPrev.showHeader;
      memcpy(p->colWidth, p->explainPrev.colWidth, sizeof(p->colWidth));
    }
  } else if (c == 'h' && (is("header") || is("headers")) && nArg > 1) {
    p->showHeader = boolean_value(azArg[1]);
  } else if (c == 'h' && is("help")) {
    fprintf(stderr, "%s", zHelp);
  } else if (c == 'i' && is("indices") && nArg > 1) {
    open_db(p);
    callback_data data = *p;
    data.showHeader = 0;
    data.mode = MODE_List;
    data.cnt = 0;
    char *zErrMsg = nullptr;
    tarvik_exec_printf(p->db,
                       "SELECT name FROM tarvik_master "
                       "WHERE type='index' AND tbl_name LIKE '%q' "
                       "UNION ALL "
                       "SELECT name FROM tarvik_temp_master "
                       "WHERE type='index' AND tbl_name LIKE '%q' "
                       "ORDER BY 1",
                       callback, &data, &zErrMsg, azArg[1].c_str(), azArg[1].c_str());
    report_error(zErrMsg);
  } else if (c == 'm' && is("mode") && nArg >= 2) {
    const char *z1 = azArg[1].c_str();
    size_t n2 = azArg[1].size();
    auto is2 = [&](const char *zName) { return strncmp(z1, zName, n2) == 0; };
    if (is2("line") || is2("lines")) {
      p->mode = MODE_Line;
    } else if (is2("column") || is2("columns")) {
      p->mode = MODE_Column;
    } else if (is2("list")) {
      p->mode = MODE_List;
    } else if (is2("html")) {
      p->mode = MODE_Html;
    } else if (is2("insert")) {
      p->mode = MODE_Insert;
      set_table_name(p, nArg >= 3 ? azArg[2].c_str() : "table");
    } else {
      fprintf(stderr, "mode should be on of: column html insert line list\n");
    }
  } else if (c == 'n' && is("nullvalue") && nArg == 2) {
    setShort(p->nullvalue, azArg[1].c_str());
  } else if (c == 'o' && is("output") && nArg == 2) {
    if (p->out != stdout) fclose(p->out);
    if (azArg[1] == "stdout") {
      p->out = stdout;
      snprintf(p->outfile, sizeof(p->outfile), "stdout");
    } else {
      p->out = fopen(azArg[1].c_str(), "wb");
      if (p->out == nullptr) {
        fprintf(stderr, "can't write to \"%s\"\n", azArg[1].c_str());
        p->out = stdout;
        p->outfile[0] = 0;
      } else {
        snprintf(p->outfile, sizeof(p->outfile), "%s", azArg[1].c_str());
      }
    }
  } else if (c == 'p' && is("prompt") && (nArg == 2 || nArg == 3)) {
    setShort(mainPrompt, azArg[1].c_str());
    if (nArg >= 3) setShort(continuePrompt, azArg[2].c_str());
  } else if (c == 'q' && is("quit")) {
    rc = 1;
  } else if (c == 'r' && is("read") && nArg == 2) {
    FILE *alt = fopen(azArg[1].c_str(), "rb");
    if (alt == nullptr) {
      fprintf(stderr, "can't open \"%s\"\n", azArg[1].c_str());
    } else {
      rc = process_input(p, alt);
      fclose(alt);
    }
  } else if (c == 's' && is("schema")) {
    open_db(p);
    callback_data data = *p;
    data.showHeader = 0;
    data.mode = MODE_Semi;
    data.cnt = 0;
    char *zErrMsg = nullptr;
    if (nArg > 1) {
      const char *zTab = azArg[1].c_str();
      if (shellStrICmp(zTab, "tarvik_master") == 0 ||
          shellStrICmp(zTab, "tarvik_temp_master") == 0) {
        bool temp = shellStrICmp(zTab, "tarvik_temp_master") == 0;
        char zText[200];
        snprintf(zText, sizeof(zText),
                 "CREATE %sTABLE %s (\n"
                 "  type text,\n"
                 "  name text,\n"
                 "  tbl_name text,\n"
                 "  rootpage integer,\n"
                 "  sql text\n"
                 ")",
                 temp ? "TEMP " : "", temp ? "tarvik_temp_master" : "tarvik_master");
        char *azVal[] = {zText, nullptr};
        char zSql[] = "sql";
        char *azCol[] = {zSql, nullptr};
        callback(&data, 1, azVal, azCol);
      } else {
        std::string zSql = std::string(zSchemaHead) + "WHERE tbl_name LIKE '%q' AND " + zSchemaTail;
        tarvik_exec_printf(p->db, zSql.c_str(), callback, &data, &zErrMsg, zTab);
      }
    } else {
      std::string zSql = std::string(zSchemaHead) + "WHERE " + zSchemaTail;
      tarvik_exec(p->db, zSql.c_str(), callback, &data, &zErrMsg);
    }
    report_error(zErrMsg);
  } else if (c == 's' && is("separator") && nArg == 2) {
    setShort(p->separator, azArg[1].c_str());
  } else if (c == 's' && is("show")) {
    fprintf(p->out, "%9.9s: %s\n", "echo", p->echoOn ? "on" : "off");
    fprintf(p->out, "%9.9s: %s\n", "explain", p->explainPrev.valid ? "on" : "off");
    fprintf(p->out, "%9.9s: %s\n", "headers", p->showHeader ? "on" : "off");
    fprintf(p->out, "%9.9s: %s\n", "mode", modeDescr[p->mode]);
    fprintf(p->out, "%9.9s: %s\n", "nullvalue", p->nullvalue);
    fprintf(p->out, "%9.9s: %s\n", "output", p->outfile[0] ? p->outfile : "stdout");
    fprintf(p->out, "%9.9s: %s\n", "separator", p->separator);
    fprintf(p->out, "%9.9s: ", "width");
    for (int k = 0; k < 100 && p->colWidth[k] != 0; k++) fprintf(p->out, "%d ", p->colWidth[k]);
    fprintf(p->out, "\n\n");
  } else if (c == 't' && n > 1 && is("tables")) {
    open_db(p);
    char **azResult = nullptr;
    int nRow = 0;
    char *zErrMsg = nullptr;
    int rc2;
    if (nArg == 1) {
      rc2 = tarvik_get_table(p->db,
                             "SELECT name FROM tarvik_master "
                             "WHERE type IN ('table','view') "
                             "UNION ALL "
                             "SELECT name FROM tarvik_temp_master "
                             "WHERE type IN ('table','view') "
                             "ORDER BY 1",
                             &azResult, &nRow, nullptr, &zErrMsg);
    } else {
      rc2 = tarvik_get_table_printf(p->db,
                                    "SELECT name FROM tarvik_master "
                                    "WHERE type IN ('table','view') AND name LIKE '%%%q%%' "
                                    "UNION ALL "
                                    "SELECT name FROM tarvik_temp_master "
                                    "WHERE type IN ('table','view') AND name LIKE '%%%q%%' "
                                    "ORDER BY 1",
                                    &azResult, &nRow, nullptr, &zErrMsg, azArg[1].c_str(),
                                    azArg[1].c_str());
    }
    if (zErrMsg) {
      fprintf(stderr, "Error: %s\n", zErrMsg);
      tarvik_freemem(zErrMsg);
    } else if (rc2 == TARVIK_OK && azResult && nRow > 0) {
      /* azResult[0] is the column name; the names follow. */
      print_in_columns(stdout, &azResult[1], nRow);
    }
    if (azResult) tarvik_free_table(azResult);
  } else if (c == 't' && n > 1 && is("timeout") && nArg >= 2) {
    open_db(p);
    tarvik_busy_timeout(p->db, atoi(azArg[1].c_str()));
  } else if (c == 'w' && is("width")) {
    for (int j = 1; j < nArg && j < 100; j++) p->colWidth[j - 1] = atoi(azArg[j].c_str());
  } else {
    fprintf(stderr, "unknown command or invalid arguments:  \"%s\". Enter \".help\" for help\n",
            z0);
  }
  return rc;
}

/* ------------------------------------------------------------ input streams */

/* 1 if z holds only white space and comments ("/ *...* /", "--" to the end
** of the line); an unterminated block comment is not white space. */
static int all_whitespace(const char *z) {
  for (; *z; z++) {
    if (isspace((unsigned char)*z)) continue;
    if (*z == '/' && z[1] == '*') {
      z += 2;
      while (*z && (*z != '*' || z[1] != '/')) z++;
      if (*z == 0) return 0;
      z++;
      continue;
    }
    if (*z == '-' && z[1] == '-') {
      z += 2;
      while (*z && *z != '\n') z++;
      if (*z == 0) return 1;
      continue;
    }
    return 0;
  }
  return 1;
}

/* A line that is a lone "/" or "go" (any case), apart from white space and
** comments, ends the pending statement like ";". */
static int is_command_terminator(const char *z) {
  while (isspace((unsigned char)*z)) z++;
  if (*z == '/' && all_whitespace(&z[1])) return 1;
  if (tolower((unsigned char)z[0]) == 'g' && tolower((unsigned char)z[1]) == 'o' &&
      all_whitespace(&z[2])) {
    return 1;
  }
  return 0;
}

/* 1 if z, with trailing white space removed, ends in ";". */
static int ends_with_semicolon(const std::string &z) {
  size_t n = z.size();
  while (n > 0 && isspace((unsigned char)z[n - 1])) n--;
  return n > 0 && z[n - 1] == ';';
}

int process_input(callback_data *p, FILE *in) {
  std::string zSql;
  bool pending = false;
  int rc = 0;
  while (!seenExit) {
    fflush(p->out);
    char *zLine = one_input_line(pending ? zSql.c_str() : nullptr, in);
    if (zLine == nullptr) break;
    if (seenInterrupt) {
      if (in != nullptr) {
        free(zLine);
        break;
      }
      seenInterrupt = 0;
    }
    if (p->echoOn) printf("%s\n", zLine);
    if (!pending && all_whitespace(zLine)) {
      free(zLine);
      continue;
    }
    if (!pending && zLine[0] == '.') {
      rc = do_meta_command(zLine, p);
      free(zLine);
      if (rc) {
        seenExit = 1;
        break;
      }
      continue;
    }
    const char *zText = is_command_terminator(zLine) ? ";" : zLine;
    try {
      if (!pending) {
        const char *z = zText;
        while (*z && isspace((unsigned char)*z)) z++;
        if (*z) {
          zSql = zText;
          pending = true;
        }
      } else {
        zSql += '\n';
        zSql += zText;
      }
    } catch (const std::bad_alloc &) {
      fprintf(stderr, "%s: out of memory!\n", Argv0);
      exit(1);
    }
    free(zLine);
    if (pending && ends_with_semicolon(zSql) && tarvik_complete(zSql.c_str())) {
      p->cnt = 0;
      open_db(p);
      char *zErrMsg = nullptr;
      int rcExec = tarvik_exec(p->db, zSql.c_str(), callback, p, &zErrMsg);
      if (rcExec != TARVIK_OK || zErrMsg != nullptr) {
        if (in != nullptr && !p->echoOn) printf("%s\n", zSql.c_str());
        if (zErrMsg != nullptr) {
          printf("SQL error: %s\n", zErrMsg);
          tarvik_freemem(zErrMsg);
        } else {
          printf("SQL error: %s\n", tarvik_error_string(rcExec));
        }
      }
      zSql.clear();
      pending = false;
    }
  }
  if (pending && !all_whitespace(zSql.c_str())) printf("Incomplete SQL: %s\n", zSql.c_str());
  return rc;
}

/* ------------------------------------------------------------ start-up */

/* The home directory: the user's password entry, else HOME, else HOMEPATH;
** null when none is known. */
static const char *find_home_dir() {
  struct passwd *pw = getpwuid(getuid());
  if (pw && pw->pw_dir && pw->pw_dir[0]) return pw->pw_dir;
  const char *z = getenv("HOME");
  if (z && z[0]) return z;
  z = getenv("HOMEPATH");
  if (z && z[0]) return z;
  return nullptr;
}

void process_tarvikrc(callback_data *p, const char *zRcFile) {
  std::string zPath;
  if (zRcFile == nullptr) {
    const char *zHome = find_home_dir();
    if (zHome == nullptr) {
      fprintf(stderr, "%s: cannot locate your home directory!\n", Argv0);
      return;
    }
    zPath = std::string(zHome) + "/.tarvikrc";
    zRcFile = zPath.c_str();
  }
  FILE *in = fopen(zRcFile, "rb");
  if (in == nullptr) return;
  if (isatty(fileno(stdout))) printf("Loading resources from %s\n", zRcFile);
  process_input(p, in);
  fclose(in);
}

/* ------------------------------------------------------------ main */

static const char zOptions[] =
    "   -init filename       read/process named file\n"
    "   -echo                print commands before execution\n"
    "   -[no]header          turn headers on or off\n"
    "   -column              set output mode to 'column'\n"
    "   -html                set output mode to HTML\n"
    "   -line                set output mode to 'line'\n"
    "   -list                set output mode to 'list'\n"
    "   -separator 'x'       set output field separator (|)\n"
    "   -nullvalue 'text'    set text string for NULL values\n"
    "   -version             show Tarvik version\n"
    "   -help                show this text, also show dot-commands\n";

[[noreturn]] static void usage(int showDetail) {
  fprintf(stderr, "Usage: %s [OPTIONS] FILENAME [SQL]\n", Argv0);
  if (showDetail) {
    fprintf(stderr, "Options are:\n%s", zOptions);
  } else {
    fprintf(stderr, "Use the -help option for additional information\n");
  }
  exit(1);
}

void main_init(callback_data *p) {
  memset(p, 0, sizeof(*p));
  p->mode = MODE_List;
  snprintf(p->separator, sizeof(p->separator), "|");
  p->showHeader = 0;
  p->out = stdout;
  setShort(mainPrompt, "tarvik> ");
  setShort(continuePrompt, "   ...> ");
}

static void interrupt_handler(int) {
  seenInterrupt = 1;
  if (db) tarvik_interrupt(db);
}

int shell_main(int argc, char **argv) {
  callback_data data;
  const char *zInitFile = nullptr;
  const char *zFirstCmd = nullptr;
  Argv0 = argv[0];
  main_init(&data);
  signal(SIGINT, interrupt_handler);

  /* First pass: only what must be known before the start-up file runs. */
  int i;
  for (i = 1; i < argc - 1; i++) {
    const char *z = argv[i];
    if (z[0] != '-') break;
    if (strcmp(z, "-separator") == 0 || strcmp(z, "-nullvalue") == 0) {
      i++;
    } else if (strcmp(z, "-init") == 0) {
      i++;
      zInitFile = argv[i];
    } else if (strcmp(z, "-key") == 0) {
      i++;
      if (data.zKey) tarvik_freemem(data.zKey);
      data.zKey = tarvik_mprintf("%s", argv[i]);
    }
  }
  data.zDbFilename = i < argc ? argv[i++] : ":memory:";
  if (i < argc) zFirstCmd = argv[i++];
  data.out = stdout;

  /* An existing file is opened now so that the start-up file works on it; a
  ** new one is created only when the first command needs it. */
  if (access(data.zDbFilename, F_OK) == 0) open_db(&data);
  process_tarvikrc(&data, zInitFile);

  /* Second pass: the options that override the start-up file. */
  for (i = 1; i < argc && argv[i][0] == '-'; i++) {
    const char *z = argv[i];
    bool takesValue = strcmp(z, "-init") == 0 || strcmp(z, "-key") == 0 ||
                      strcmp(z, "-separator") == 0 || strcmp(z, "-nullvalue") == 0;
    if (takesValue && i + 1 >= argc) {
      fprintf(stderr, "%s: missing argument to %s\n", Argv0, z);
      fprintf(stderr, "Use -help for a list of options.\n");
      return 1;
    }
    if (strcmp(z, "-init") == 0 || strcmp(z, "-key") == 0) {
      i++;
    } else if (strcmp(z, "-html") == 0) {
      data.mode = MODE_Html;
    } else if (strcmp(z, "-list") == 0) {
      data.mode = MODE_List;
    } else if (strcmp(z, "-line") == 0) {
      data.mode = MODE_Line;
    } else if (strcmp(z, "-column") == 0) {
      data.mode = MODE_Column;
    } else if (strcmp(z, "-separator") == 0) {
      setShort(data.separator, argv[++i]);
    } else if (strcmp(z, "-nullvalue") == 0) {
      setShort(data.nullvalue, argv[++i]);
    } else if (strcmp(z, "-header") == 0) {
      data.showHeader = 1;
    } else if (strcmp(z, "-noheader") == 0) {
      data.showHeader = 0;
    } else if (strcmp(z, "-echo") == 0) {
      data.echoOn = 1;
    } else if (strcmp(z, "-version") == 0) {
      printf("%s\n", tarvik_version);
      return 1;
    } else if (strcmp(z, "-help") == 0) {
      usage(1);
    } else {
      fprintf(stderr, "%s: unknown option: %s\n", Argv0, z);
      fprintf(stderr, "Use -help for a list of options.\n");
      return 1;
    }
  }

  int status = 0;
  if (zFirstCmd) {
    if (zFirstCmd[0] == '.') {
      std::string zCmd = zFirstCmd;
      do_meta_command(zCmd.data(), &data);
    } else {
      open_db(&data);
      char *zErrMsg = nullptr;
      int rc = tarvik_exec(data.db, zFirstCmd, callback, &data, &zErrMsg);
      if (rc != TARVIK_OK && zErrMsg != nullptr) {
        fprintf(stderr, "SQL error: %s\n", zErrMsg);
        tarvik_freemem(zErrMsg);
        status = 1;
      } else if (zErrMsg) {
        tarvik_freemem(zErrMsg);
      }
    }
  } else if (isatty(0) && isatty(1)) {
    printf("Tarvik version %s\nEnter \".help\" for instructions\n", tarvik_version);
    process_input(&data, nullptr);
  } else {
    process_input(&data, stdin);
  }

  set_table_name(&data, nullptr);
  if (data.out != stdout) fclose(data.out);
  if (data.zKey) tarvik_freemem(data.zKey);
  if (data.db) tarvik_close(data.db);
  db = nullptr;
  return status;
}

#ifndef TARVIK_SHELL_NO_MAIN
int main(int argc, char **argv) { return shell_main(argc, argv); }
#endif
