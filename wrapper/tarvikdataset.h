// The object wrapper over the engine's public interface: a TarvikDatabase
// is one engine connection; a TarvikDataset runs its query with tarvik_exec,
// keeps every row in memory and writes changes through its queued SQL.
#ifndef TARVIK_WRAPPER_TARVIKDATASET_H
#define TARVIK_WRAPPER_TARVIKDATASET_H

#include <string>

#include "dataset.h"
#include "tarvik.h"

namespace mornet {

class TarvikDatabase : public Database {
 protected:
  tarvik *conn;
  bool _in_transaction;
  int last_err;

 public:
  TarvikDatabase();
  TarvikDatabase(const TarvikDatabase &) = delete;
  TarvikDatabase &operator=(const TarvikDatabase &) = delete;
  ~TarvikDatabase() override;
  Dataset *CreateDataset() const override;
  int status() override;
  int setErr(int err_code, const char *qry) override;
  const char *getErrorMsg() override;
  int connect() override;
  void disconnect() override;
  int create() override;
  int drop() override;
  long nextid(const char *seq_name) override;
  void start_transaction() override;
  void commit_transaction() override;
  void rollback_transaction() override;
  bool in_transaction() override;
  tarvik *getHandle() { return conn; }
};

class TarvikDataset : public Dataset {
 protected:
  result_set result;
  result_set exec_res;
  bool autorefresh;
  char *errmsg;  // the engine's message of the last failed statement

  bool make_insert() override;
  bool make_edit() override;
  bool make_deletion() override;
  void fill_fields() override;

 public:
  TarvikDataset();
  explicit TarvikDataset(TarvikDatabase *newDb);
  ~TarvikDataset() override;
  long nextid(const char *seq_name) override;
  int num_rows() override;
  bool open(const std::string &sql) override;
  bool open() override;
  int exec(const std::string &sql) override;
  int exec() override;
  const result_set &getExecRes() override;
  bool query(const char *sql) override;
  void close() override;
  bool seek(int pos = 0) override;
  void first() override;
  void next() override;
  void prev() override;
  void last() override;
  bool eof() override;
  bool bof() override;
  void cancel() override;
  // Runs each statement of the list after placeholder substitution; stops
  // at the first failure. Returns whether all of them ran.
  virtual bool make_query(StringList &list);
  virtual bool query(const std::string &sql);

  tarvik *handle();
  void set_autorefresh(bool v) { autorefresh = v; }
  // The engine's own message for the last failure, or null.
  const char *engine_error() const { return errmsg; }
};

}  // namespace mornet

#endif
