#!/bin/sh
# Runs one SQL corpus script through the shell and compares its output
# (standard output and standard error together) with the expected file.
#   run_sql_corpus.sh SHELL SCRIPT.sql EXPECTED.out [file|memory]
# "file" (the default) uses a fresh database file in a temporary directory;
# "memory" uses ":memory:".  Both run with the temporary directory as the
# working directory, so scripts may create files by relative name.
set -u
shell=$1
script=$2
expected=$3
where=${4:-file}
abspath() { case $1 in /*) echo "$1" ;; *) echo "$(pwd)/$1" ;; esac; }
shell=$(abspath "$shell")
script=$(abspath "$script")
expected=$(abspath "$expected")
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-sql.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
if [ "$where" = memory ]; then db=":memory:"; else db="test.db"; fi
(cd "$tmp" && "$shell" "$db" < "$script" > actual.out 2>&1)
status=$?
if [ $status -ge 128 ]; then
  echo "shell ended by signal (status $status)"
  cat "$tmp/actual.out"
  exit 1
fi
if ! diff -u "$expected" "$tmp/actual.out"; then
  echo "output differs from $expected ($where database)"
  exit 1
fi
exit 0
