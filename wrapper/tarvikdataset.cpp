#include "tarvikdataset.h"

#include <unistd.h>

#include <cctype>
#include <cstring>

namespace mornet {

namespace {

const char *errorText(int code) {
  static const char *const kMsg[] = {
      "Successful result",
      "SQL error or missing database",
      "An internal logic error in Tarvik",
      "Access permission denied",
      "Callback routine requested an abort",
      "The database file is locked",
      "A table in the database is locked",
      "A malloc() failed",
      "Attempt to write a readonly database",
      "Operation terminated by tarvik_interrupt()",
      "Some kind of disk I/O error occurred",
      "The database disk image is malformed",
      "(Internal Only) Table or record not found",
      "Insertion failed because database is full",
      "Unable to open the database file",
      "Database lock protocol error",
      "(Internal Only) Database table is empty",
      "The database schema changed",
      "Too much data for one row of a table",
      "Abort due to contraint violation",
      "Data type mismatch",
  };
  if (code < 0 || code >= static_cast<int>(sizeof(kMsg) / sizeof(kMsg[0]))) {
    return "Undefined Tarvik error";
  }
  return kMsg[code];
}

// Collects a result: column names once, then one sql_record per row; a NULL
// is an empty text marked null.
int callback(void *res_ptr, int ncol, char **values, char **names) {
  auto *r = static_cast<result_set *>(res_ptr);
  if (r->record_header.empty() && names) {
    for (int i = 0; i < ncol; i++) {
      field_prop &p = r->record_header[i];
      p.name = names[i] ? names[i] : "";
      p.idx = i;
    }
  }
  if (values) {
    sql_record rec;
    for (int i = 0; i < ncol; i++) {
      field_value v;
      if (values[i]) {
        v.set_asString(values[i]);
      } else {
        v.set_asString("");
        v.set_isNull();
      }
      rec[i] = v;
    }
    int key = static_cast<int>(r->records.size());
    r->records[key] = rec;
  }
  return 0;
}

// A record-set query is a SELECT: the first word, in any letter case.
// Anything else (an UPDATE that merely mentions "select" in a literal, say)
// is refused rather than run.
bool isSelect(const char *sql) {
  while (*sql && (std::isspace(static_cast<unsigned char>(*sql)) || *sql == '(')) sql++;
  return strncasecmp(sql, "select", 6) == 0 &&
         !(std::isalnum(static_cast<unsigned char>(sql[6])) || sql[6] == '_');
}

// Column names of a query that returned no rows, for an engine whose
// empty-result callbacks are off: a compiled statement names its columns
// when it finishes.
void fillHeader(tarvik *conn, const char *zSql, result_set *r) {
  tarvik_vm *pVm = nullptr;
  const char *zTail = nullptr;
  if (tarvik_compile(conn, zSql, &zTail, &pVm, nullptr) != TARVIK_OK || !pVm) return;
  int n = 0;
  const char **azValue = nullptr;
  const char **azName = nullptr;
  int rc = tarvik_step(pVm, &n, &azValue, &azName);
  if ((rc == TARVIK_DONE || rc == TARVIK_ROW) && azName) {
    callback(r, n, nullptr, const_cast<char **>(azName));
  }
  tarvik_finalize(pVm, nullptr);
}

const char kPragma[] = "PRAGMA empty_result_callbacks=ON";

}  // namespace

// ---------------------------------------------------------------- database

TarvikDatabase::TarvikDatabase() : conn(nullptr), _in_transaction(false), last_err(0) {
  error = "Unknown database error";
  host = "localhost";
  db = "tarvik.db";
  login = "root";
}

TarvikDatabase::~TarvikDatabase() { TarvikDatabase::disconnect(); }

Dataset *TarvikDatabase::CreateDataset() const {
  return new TarvikDataset(const_cast<TarvikDatabase *>(this));
}

int TarvikDatabase::status() { return active ? 1 : 0; }

int TarvikDatabase::setErr(int err_code, const char *qry) {
  error = errorText(err_code);
  error += "\nQuery: ";
  error += qry ? qry : "";
  error += "\n";
  return err_code;
}

const char *TarvikDatabase::getErrorMsg() { return error.c_str(); }

int TarvikDatabase::connect() {
  disconnect();
  char *zErr = nullptr;
  conn = tarvik_open(db.c_str(), 0, &zErr);
  if (!conn) {
    // Report the failure instead of keeping an older, unrelated message.
    setErr(TARVIK_CANTOPEN, db.c_str());
    if (zErr) error += zErr;
    tarvik_freemem(zErr);
    return 0;
  }
  tarvik_freemem(zErr);
  if (setErr(tarvik_exec(conn, kPragma, nullptr, nullptr, nullptr), kPragma) == 0) {
    active = true;
    return 1;
  }
  // Not active means disconnect() would never close it: close it here.
  tarvik_close(conn);
  conn = nullptr;
  return 0;
}

void TarvikDatabase::disconnect() {
  if (!active) return;
  tarvik_close(conn);
  conn = nullptr;
  active = false;
  _in_transaction = false;
}

int TarvikDatabase::create() { return connect(); }

int TarvikDatabase::drop() {
  if (active) {
    disconnect();
    unlink(db.c_str());
  }
  return 0;
}

long TarvikDatabase::nextid(const char *seq_name) {
  if (!active) return -1;
  result_set res;
  // The name goes into a literal through %q, which doubles its quotes.
  char *zSql = tarvik_mprintf("select nextid from %s where seq_name = '%q'", sequence_table.c_str(),
                              seq_name ? seq_name : "");
  if (!zSql) return -1;
  int rc = setErr(tarvik_exec(conn, zSql, callback, &res, nullptr), zSql);
  tarvik_freemem(zSql);
  last_err = rc != 0;
  if (last_err) return -1;
  long id;
  if (!res.records.empty()) {
    id = res.records[0][0].get_asLong() + 1;
    zSql = tarvik_mprintf("update %s set nextid=%d where seq_name = '%q'", sequence_table.c_str(),
                          static_cast<int>(id), seq_name ? seq_name : "");
  } else {
    id = 1;
    zSql = tarvik_mprintf("insert into %s (nextid,seq_name) values (%d,'%q')",
                          sequence_table.c_str(), static_cast<int>(id), seq_name ? seq_name : "");
  }
  if (!zSql) return -1;
  rc = setErr(tarvik_exec(conn, zSql, nullptr, nullptr, nullptr), zSql);
  tarvik_freemem(zSql);
  last_err = rc != 0;
  return last_err ? -1 : id;
}

// The transaction flag follows what the engine did: a refused "begin"
// (say, one already open) does not claim a transaction.
void TarvikDatabase::start_transaction() {
  if (!active) return;
  if (tarvik_exec(conn, "begin", nullptr, nullptr, nullptr) == TARVIK_OK) _in_transaction = true;
}

void TarvikDatabase::commit_transaction() {
  if (!active) return;
  if (tarvik_exec(conn, "commit", nullptr, nullptr, nullptr) == TARVIK_OK) _in_transaction = false;
}

void TarvikDatabase::rollback_transaction() {
  if (!active) return;
  tarvik_exec(conn, "rollback", nullptr, nullptr, nullptr);
  _in_transaction = false;
}

bool TarvikDatabase::in_transaction() { return _in_transaction; }

// ----------------------------------------------------------------- dataset

TarvikDataset::TarvikDataset() : TarvikDataset(nullptr) {}

TarvikDataset::TarvikDataset(TarvikDatabase *newDb)
    : Dataset(newDb), autorefresh(false), errmsg(nullptr) {}

TarvikDataset::~TarvikDataset() { tarvik_freemem(errmsg); }

tarvik *TarvikDataset::handle() {
  auto *tdb = dynamic_cast<TarvikDatabase *>(db);
  return tdb ? tdb->getHandle() : nullptr;
}

long TarvikDataset::nextid(const char *seq_name) {
  if (!handle()) return -1;
  return db->nextid(seq_name);
}

int TarvikDataset::num_rows() { return static_cast<int>(result.records.size()); }

bool TarvikDataset::query(const char *zSql) {
  if (!handle() || !zSql) return false;
  if (!isSelect(zSql)) return false;
  close();
  tarvik_freemem(errmsg);
  errmsg = nullptr;
  int rc = tarvik_exec(handle(), zSql, callback, &result, &errmsg);
  if (db->setErr(rc, zSql) != 0) return false;
  if (result.record_header.empty()) fillHeader(handle(), zSql, &result);
  active = true;
  ds_state = dsSelect;
  first();
  return true;
}

bool TarvikDataset::query(const std::string &q) { return query(q.c_str()); }

bool TarvikDataset::open(const std::string &q) {
  select_sql = q;
  return open();
}

bool TarvikDataset::open() {
  if (!select_sql.empty()) return query(select_sql);
  ds_state = dsInactive;
  return false;
}

void TarvikDataset::close() {
  Dataset::close();
  result.record_header.clear();
  result.records.clear();
  edit_object->clear();
  fields_object->clear();
  ds_state = dsInactive;
  active = false;
}

int TarvikDataset::exec(const std::string &q) {
  if (!handle()) return 5;
  exec_res.record_header.clear();
  exec_res.records.clear();
  tarvik_freemem(errmsg);
  errmsg = nullptr;
  int rc = tarvik_exec(handle(), q.c_str(), callback, &exec_res, &errmsg);
  return db->setErr(rc, q.c_str()) == 0 ? 1 : 5;
}

int TarvikDataset::exec() { return exec(sql); }

const result_set &TarvikDataset::getExecRes() { return exec_res; }

void TarvikDataset::first() {
  Dataset::first();
  fill_fields();
}

void TarvikDataset::next() {
  Dataset::next();
  if (!eof()) fill_fields();
}

void TarvikDataset::prev() {
  Dataset::prev();
  fill_fields();
}

void TarvikDataset::last() {
  Dataset::last();
  fill_fields();
}

bool TarvikDataset::seek(int pos) {
  if (ds_state != dsSelect) return false;
  bool r = Dataset::seek(pos);
  fill_fields();
  return r;
}

bool TarvikDataset::eof() { return feof; }
bool TarvikDataset::bof() { return fbof; }

void TarvikDataset::fill_fields() {
  if (!db || result.record_header.empty()) return;
  int nrec = static_cast<int>(result.records.size());
  // With rows, the current one must exist (frecno == nrec is one past the end).
  if (frecno < 0 || (nrec > 0 ? frecno >= nrec : frecno > 0)) return;
  if (fields_object->empty()) {
    for (auto &[i, p] : result.record_header) {
      (*fields_object)[i].props = p;
      (*edit_object)[i].props = p;
    }
  }
  if (nrec > 0) {
    for (auto &[i, v] : result.records[frecno]) {
      (*fields_object)[i].val = v;
      (*edit_object)[i].val = v;
    }
  } else {
    for (auto &[i, p] : result.record_header) {
      (*fields_object)[i].val = field_value();
      (*edit_object)[i].val = field_value();
    }
  }
}

bool TarvikDataset::make_insert() {
  if (!make_query(insert_sql)) return false;
  last();
  return true;
}

bool TarvikDataset::make_edit() { return make_query(update_sql); }

bool TarvikDataset::make_deletion() { return make_query(delete_sql); }

bool TarvikDataset::make_query(StringList &list) {
  if (!db) return false;
  // The queue runs in a transaction of its own only when the caller has
  // none open; a caller's transaction is neither committed nor rolled back
  // from here.
  bool own = false;
  if (autocommit && !db->in_transaction()) {
    db->start_transaction();
    own = db->in_transaction();
  }
  for (const std::string &stmt : list) {
    std::string q = stmt;
    parse_sql(q);
    tarvik_freemem(errmsg);
    errmsg = nullptr;
    int rc = handle() ? tarvik_exec(handle(), q.c_str(), nullptr, nullptr, &errmsg) : TARVIK_MISUSE;
    if (db->setErr(rc, q.c_str()) != 0) {
      if (own) db->rollback_transaction();
      return false;
    }
  }
  if (own) {
    db->commit_transaction();
    if (db->in_transaction()) {  // the commit was refused (busy, say)
      db->setErr(TARVIK_BUSY, "commit");
      db->rollback_transaction();
      return false;
    }
  }
  active = true;
  ds_state = dsSelect;
  if (autorefresh) refresh();
  return true;
}

void TarvikDataset::cancel() {
  if (ds_state != dsInsert && ds_state != dsEdit) return;
  ds_state = result.record_header.empty() ? dsInactive : dsSelect;
  // insert() blanked the current record; show the real one again.
  if (ds_state == dsSelect) fill_fields();
}

}  // namespace mornet
