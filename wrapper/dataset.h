// Abstract connection and record-set classes of the object wrapper. A
// Dataset holds one query's rows, a current record, an edit buffer and
// queues of data-changing SQL whose :OLD_<name>/:NEW_<name> tokens are
// filled from the current and the edited record.
#ifndef TARVIK_WRAPPER_DATASET_H
#define TARVIK_WRAPPER_DATASET_H

#include <string>

#include "qry_dat.h"

namespace mornet {

enum dsStates {
  dsSelect = 0,
  dsInsert = 1,
  dsEdit = 2,
  dsUpdate = 3,
  dsDelete = 4,
  dsInactive = 5
};
enum sqlType { sqlSelect = 0, sqlUpdate = 1, sqlInsert = 2, sqlDelete = 3, sqlExec = 4 };

class Dataset;

class Database {
 protected:
  bool active;
  std::string error, host, port, db, login, passwd, sequence_table;

 public:
  Database();
  virtual ~Database();
  virtual Dataset *CreateDataset() const = 0;
  virtual bool isActive() const { return active; }
  virtual int init() { return 0; }
  virtual int status() { return 0; }
  virtual int setErr(int err_code, const char *qry) = 0;
  virtual const char *getErrorMsg() { return error.c_str(); }
  virtual int connect() { return 0; }
  virtual int connectFull(const char *newHost, const char *newPort, const char *newDb,
                          const char *newLogin, const char *newPasswd);
  virtual void disconnect() { active = false; }
  virtual int reset() { return 0; }
  virtual int create() { return 0; }
  virtual int drop() { return 0; }
  virtual long nextid(const char *seq_name) = 0;
  virtual void start_transaction() {}
  virtual void commit_transaction() {}
  virtual void rollback_transaction() {}
  virtual bool in_transaction() { return false; }

  void setHostName(const char *s) { host = s ? s : ""; }
  const char *getHostName() const { return host.c_str(); }
  void setPort(const char *s) { port = s ? s : ""; }
  const char *getPort() const { return port.c_str(); }
  void setDatabase(const char *s) { db = s ? s : ""; }
  const char *getDatabase() const { return db.c_str(); }
  void setLogin(const char *s) { login = s ? s : ""; }
  const char *getLogin() const { return login.c_str(); }
  void setPasswd(const char *s) { passwd = s ? s : ""; }
  const char *getPasswd() const { return passwd.c_str(); }
  void setSequenceTable(const char *s) { sequence_table = s ? s : ""; }
  const char *getSequenceTable() const { return sequence_table.c_str(); }
};

class Dataset {
 protected:
  Database *db;  // not owned
  dsStates ds_state;
  Fields *fields_object;  // the current record, with column descriptions
  Fields *edit_object;    // the record being inserted or edited
  bool active;
  bool haveError;
  int frecno;  // current record, from 0
  std::string sql;
  ParamList plist;
  bool fbof, feof;
  bool autocommit;
  std::string empty_sql;
  std::string select_sql;
  StringList update_sql, insert_sql, delete_sql;

  // Each returns whether every queued statement ran.
  virtual bool make_insert() = 0;
  virtual bool make_edit() = 0;
  virtual bool make_deletion() = 0;
  virtual void fill_fields() = 0;
  virtual field_value f_old(const char *f);
  virtual int str_compare(const char *s1, const char *s2);

  // Replaces :OLD_<name> and :NEW_<name> by quoted values of the current
  // and the edited record.
  void parse_sql(std::string &sql);

 private:
  // From the current record on, the first record matching every entry of
  // plist by text.
  bool search();

 public:
  Dataset();
  explicit Dataset(Database *newDb);
  Dataset(const Dataset &) = delete;
  Dataset &operator=(const Dataset &) = delete;
  virtual ~Dataset();

  virtual bool isActive() { return active; }
  virtual void setSqlParams(const char *sqlFrmt, sqlType t, ...);
  virtual long nextid(const char *seq_name) = 0;
  virtual int num_rows() = 0;
  virtual bool open(const std::string &sql) = 0;
  virtual bool open() = 0;
  virtual int exec(const std::string &sql) = 0;
  virtual int exec() = 0;
  virtual const result_set &getExecRes() = 0;
  virtual bool query(const char *sql) = 0;
  virtual void close();
  virtual void refresh();
  virtual bool seek(int pos = 0);
  virtual bool goto_rec(int pos = 1);
  virtual void first();
  virtual void next();
  virtual void prev();
  virtual void last();
  virtual bool eof() { return feof; }
  virtual bool bof() { return fbof; }
  virtual void insert();
  virtual void append() { insert(); }
  virtual void edit();
  virtual bool post();
  virtual bool deletion();
  virtual void cancel() {}
  virtual void setParamList(const ParamList &params) { plist = params; }
  virtual bool locate();
  virtual bool locate(const ParamList &params);
  virtual bool findNext();
  virtual int field_count();
  virtual int fieldCount();
  virtual const char *fieldName(int n);
  virtual int fieldIndex(const char *fn);
  virtual int fieldSize(int n);
  virtual bool set_field_value(const char *f_name, const field_value &value);
  virtual bool sf(const char *f, const field_value &v) { return set_field_value(f, v); }
  virtual field_value get_field_value(const char *f_name);

  field_value fv(const char *f) { return get_field_value(f); }
  void setDatabase(Database *newDb) { db = newDb; }
  Database *getDatabase() { return db; }
  void setExecSql(const char *newSql) { sql = newSql ? newSql : ""; }
  const char *getExecSql() { return sql.c_str(); }
  void set_autocommit(bool v) { autocommit = v; }
  bool get_autocommit() { return autocommit; }
  Fields *get_fields_object() { return fields_object; }
  Fields *get_edit_object() { return edit_object; }
  void set_ds_state(dsStates new_state) { ds_state = new_state; }
  dsStates get_state() { return ds_state; }
  void set_select_sql(const char *s) { select_sql = s ? s : ""; }
  void set_select_sql(const std::string &s) { select_sql = s; }
  const std::string &get_select_sql() { return select_sql; }
  void add_update_sql(const std::string &s) { update_sql.push_back(s); }
  void add_insert_sql(const std::string &s) { insert_sql.push_back(s); }
  void add_delete_sql(const std::string &s) { delete_sql.push_back(s); }
  void clear_update_sql() { update_sql.clear(); }
  void clear_insert_sql() { insert_sql.clear(); }
  void clear_delete_sql() { delete_sql.clear(); }
};

// The wrapper's exception type, for callers that prefer to throw; the
// wrapper itself never throws.
class DbErrors {
 public:
  DbErrors();
  explicit DbErrors(const char *msg, ...) __attribute__((format(printf, 2, 3)));
  const char *getMsg() const { return msg_.c_str(); }

 private:
  std::string msg_;
};

}  // namespace mornet

#endif
