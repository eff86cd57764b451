#include "dataset.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace mornet {

namespace {

constexpr int kFormatBuffer = 8192;  // 8191 characters and the terminator

// Single-quoted SQL literal; embedded quotes are doubled so a value can
// never end the literal early. A NULL value becomes the keyword NULL.
std::string sqlLiteral(const field_value &v) {
  if (v.get_isNull()) return "NULL";
  std::string s = v.get_asString();
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

void replaceToken(std::string &sql, const std::string &token, const std::string &value) {
  std::string::size_type pos = 0;
  while ((pos = sql.find(token, pos)) != std::string::npos) {
    std::string::size_type end = pos + token.size();
    if (end < sql.size() && isNameChar(sql[end])) {
      pos = end;  // a prefix of a longer name
      continue;
    }
    sql.replace(pos, token.size(), value);
    pos += value.size();  // never rescan what was inserted
  }
}

}  // namespace

Database::Database() : active(false), sequence_table("db_sequence") {}

Database::~Database() = default;

int Database::connectFull(const char *newHost, const char *newPort, const char *newDb,
                          const char *newLogin, const char *newPasswd) {
  setHostName(newHost);
  setPort(newPort);
  setDatabase(newDb);
  setLogin(newLogin);
  setPasswd(newPasswd);
  return connect();
}

Dataset::Dataset() : Dataset(nullptr) {}

Dataset::Dataset(Database *newDb)
    : db(newDb),
      ds_state(dsInactive),
      fields_object(new Fields),
      edit_object(new Fields),
      active(false),
      haveError(false),
      frecno(0),
      fbof(true),
      feof(true),
      autocommit(true) {}

Dataset::~Dataset() {
  delete fields_object;
  delete edit_object;
}

void Dataset::setSqlParams(const char *sqlFrmt, sqlType t, ...) {
  char buf[kFormatBuffer];
  va_list ap;
  va_start(ap, t);
  vsnprintf(buf, sizeof(buf), sqlFrmt ? sqlFrmt : "", ap);
  va_end(ap);
  switch (t) {
    case sqlSelect:
      set_select_sql(buf);
      break;
    case sqlUpdate:
      add_update_sql(buf);
      break;
    case sqlInsert:
      add_insert_sql(buf);
      break;
    case sqlDelete:
      add_delete_sql(buf);
      break;
    case sqlExec:
      sql = buf;
      break;
  }
}

void Dataset::close() {
  haveError = false;
  frecno = 0;
  fbof = feof = true;
  active = false;
}

void Dataset::refresh() {
  int row = frecno;
  if (row != 0 && active) {
    close();
    open();
    seek(row);
  } else {
    open();
  }
}

bool Dataset::seek(int pos) {
  int n = num_rows();
  frecno = pos >= n - 1 ? n - 1 : pos;
  if (frecno < 0) frecno = 0;
  fbof = feof = (n == 0);
  return frecno != 0;
}

bool Dataset::goto_rec(int pos) {
  if (ds_state != dsSelect) return false;
  return seek(pos - 1);
}

void Dataset::first() {
  if (ds_state != dsSelect) return;
  frecno = 0;
  fbof = feof = num_rows() < 1;
}

void Dataset::next() {
  if (ds_state != dsSelect) return;
  int n = num_rows();
  fbof = false;
  if (frecno < n - 1) {
    frecno++;
    feof = false;
  } else {
    feof = true;
  }
  if (n < 1) fbof = feof = true;
}

void Dataset::prev() {
  if (ds_state != dsSelect) return;
  int n = num_rows();
  feof = false;
  if (frecno > 0) {
    frecno--;
    fbof = false;
  } else {
    fbof = true;
  }
  if (n < 1) fbof = feof = true;
}

void Dataset::last() {
  if (ds_state != dsSelect) return;
  int n = num_rows();
  frecno = n > 0 ? n - 1 : 0;
  fbof = feof = n < 1;
}

int Dataset::field_count() { return static_cast<int>(fields_object->size()); }
int Dataset::fieldCount() { return field_count(); }

const char *Dataset::fieldName(int n) {
  auto it = fields_object->find(n);
  return it == fields_object->end() ? nullptr : it->second.props.name.c_str();
}

int Dataset::fieldSize(int n) {
  auto it = fields_object->find(n);
  return it == fields_object->end() ? 0 : static_cast<int>(it->second.props.field_len);
}

int Dataset::fieldIndex(const char *fn) {
  if (!fn) return -1;
  for (auto &[i, f] : *fields_object) {
    if (f.props.name == fn) return i;
  }
  return -1;
}

int Dataset::str_compare(const char *s1, const char *s2) {
  if (!s1 || !s2) return s1 == s2 ? 0 : (s1 ? 1 : -1);
  for (;; s1++, s2++) {
    int c1 = std::toupper(static_cast<unsigned char>(*s1));
    int c2 = std::toupper(static_cast<unsigned char>(*s2));
    if (c1 == 0 || c2 == 0) {
      if (c1 == c2) return 0;
      return c1 == 0 ? -1 : 1;
    }
    if (c1 != c2) return c1 < c2 ? -1 : 1;
  }
}

field_value Dataset::get_field_value(const char *f_name) {
  if (ds_state == dsInactive) return field_value();
  Fields *obj = (ds_state == dsInsert || ds_state == dsEdit) ? edit_object : fields_object;
  for (auto &[i, f] : *obj) {
    if (str_compare(f.props.name.c_str(), f_name) == 0) return f.val;
  }
  return field_value();
}

bool Dataset::set_field_value(const char *f_name, const field_value &value) {
  if (ds_state != dsInsert && ds_state != dsEdit) return false;
  bool found = false;
  for (int i = 0; i < field_count(); i++) {
    auto it = edit_object->find(i);
    if (it != edit_object->end() && str_compare(it->second.props.name.c_str(), f_name) == 0) {
      it->second.val = value;
      found = true;
    }
  }
  return found;
}

field_value Dataset::f_old(const char *f) {
  if (ds_state == dsInactive || !f) return field_value();
  for (auto &[i, fld] : *fields_object) {
    if (fld.props.name == f) return fld.val;
  }
  return field_value();
}

void Dataset::edit() {
  if (ds_state != dsSelect) return;
  for (auto &[i, f] : *fields_object) (*edit_object)[i].val = f.val;
  ds_state = dsEdit;
}

void Dataset::insert() {
  for (int i = 0; i < field_count(); i++) {
    // A fresh record starts as non-null empty texts, not as the NULLs of
    // whatever record was current.
    (*fields_object)[i].val = field_value();
    (*edit_object)[i].val = field_value();
  }
  ds_state = dsInsert;
}

bool Dataset::post() {
  if (ds_state == dsInsert) return make_insert();
  if (ds_state == dsEdit) return make_edit();
  return false;
}

bool Dataset::deletion() {
  if (ds_state == dsSelect) return make_deletion();
  return false;
}

void Dataset::parse_sql(std::string &s) {
  for (auto &[i, f] : *fields_object) replaceToken(s, ":OLD_" + f.props.name, sqlLiteral(f.val));
  for (auto &[i, f] : *edit_object) replaceToken(s, ":NEW_" + f.props.name, sqlLiteral(f.val));
}

bool Dataset::locate() {
  if (plist.empty()) return false;
  first();
  return search();
}

bool Dataset::locate(const ParamList &params) {
  plist = params;
  return locate();
}

// Moves past the current record first, so repeated calls walk through
// every match instead of finding the same record again.
bool Dataset::findNext() {
  if (plist.empty() || eof()) return false;
  next();
  return search();
}

bool Dataset::search() {
  while (!eof()) {
    bool match = true;
    for (auto &[name, value] : plist) {
      if (get_field_value(name.c_str()).get_asString() != value.get_asString()) {
        match = false;
        break;
      }
    }
    if (match) return true;
    next();
  }
  return false;
}

DbErrors::DbErrors() : msg_("Unknown Database Error") {}

DbErrors::DbErrors(const char *msg, ...) {
  char buf[kFormatBuffer];
  va_list ap;
  va_start(ap, msg);
  vsnprintf(buf, sizeof(buf), msg ? msg : "", ap);
  va_end(ap);
  msg_ = std::string("Database Error: ") + buf;
}

}  // namespace mornet
