/*
** The command-line shell's state and entry points.  The program itself is
** shell.cpp; this header exists so the tests can drive the row formatting
** and the dot-commands in-process.  Everything here uses only the public
** interface of the library.
*/
#ifndef TARVIK_SHELL_H
#define TARVIK_SHELL_H

#include <cstdio>

#include "tarvik.h"

/* Output modes; the values index modeDescr. */
enum {
  MODE_Line = 0,   /* one line per column: name = value */
  MODE_Column = 1, /* fixed-width columns */
  MODE_List = 2,   /* values joined by the separator */
  MODE_Semi = 3,   /* as list, each row ended by ";" */
  MODE_Html = 4,   /* HTML table rows */
  MODE_Insert = 5, /* INSERT statements */
};

/* Settings kept aside while the explain setting is on. */
struct previous_mode_data {
  int valid;
  int mode;
  int showHeader;
  int colWidth[100];
};

/* The shell's whole state.  Copied by value when a command needs a private
** variant (a copy never owns zDestTable unless it sets its own). */
struct callback_data {
  tarvik *db;
  int echoOn;
  int cnt;
  FILE *out;
  int mode;
  int showHeader;
  char *zDestTable;
  char separator[20];
  int colWidth[100];
  int actualWidth[100];
  char nullvalue[20];
  previous_mode_data explainPrev;
  char outfile[1024];
  const char *zDbFilename;
  char *zKey;
};

extern const char *modeDescr[];

/* Default settings: list mode, "|" separator, no headers, standard output. */
void main_init(callback_data *p);

/* The row callback of tarvik_exec; prints one row in p's mode.  Returns 0. */
int callback(void *pArg, int nArg, char **azArg, char **azCol);

/* Sets (or, with null, frees) the insert-mode table name, quoted as needed. */
void set_table_name(callback_data *p, const char *zName);

/* Runs one dot-command line (starting with "."); 1 means exit. */
int do_meta_command(char *zLine, callback_data *p);

/* Reads and runs input from in (null: the terminal, with prompts); 1 when
** an exit command ended it. */
int process_input(callback_data *p, FILE *in);

/* Processes the start-up file (null: .tarvikrc in the home directory). */
void process_tarvikrc(callback_data *p, const char *zRcFile);

/* 1 if the whole text is a number (sign, digits, optional fraction and
** exponent). */
int shell_is_number(const char *z);

/* Prints nName names in columns across an 80-character line (.tables). */
void print_in_columns(FILE *out, char **azName, int nName);

/* The whole program; returns the exit status. */
int shell_main(int argc, char **argv);

#endif /* TARVIK_SHELL_H */
