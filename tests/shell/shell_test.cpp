// The shell: row formatting and dot-commands driven in-process (through the
// public interface only), and the program itself run as a child process for
// its options, first command and start-up file.
#include "shell.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A shell state whose output lands in a memory buffer.
class Capture {
 public:
  Capture() {
    main_init(&data);
    data.zDbFilename = ":memory:";
    data.out = open_memstream(&buf, &len);
  }
  ~Capture() {
    fclose(data.out);
    free(buf);
    set_table_name(&data, nullptr);
    if (data.db) tarvik_close(data.db);
  }
  std::string text() {
    fflush(data.out);
    std::string s(buf, len);
    fseek(data.out, 0, SEEK_SET);
    return s;
  }
  // One result row (values null for the names-only call); "\x01" is NULL.
  void row(std::vector<const char *> names, std::vector<const char *> values) {
    std::vector<char *> n, v;
    for (const char *z : names) n.push_back(const_cast<char *>(z));
    for (const char *z : values)
      v.push_back(strcmp(z, "\x01") == 0 ? nullptr : const_cast<char *>(z));
    EXPECT_EQ(0, callback(&data, static_cast<int>(n.size()), values.empty() ? nullptr : v.data(),
                          n.data()));
  }
  int meta(const char *zLine) {
    std::string z = zLine;
    return do_meta_command(z.data(), &data);
  }
  callback_data data;

 private:
  char *buf = nullptr;
  size_t len = 0;
};

TEST(ShellFormat, LineMode) {
  Capture c;
  c.data.mode = MODE_Line;
  strcpy(c.data.nullvalue, "N");
  c.row({"a", "b"}, {});  // names only: nothing
  c.row({"a", "longname"}, {"1", "\x01"});
  c.row({"a", "longname"}, {"x", "y"});
  EXPECT_EQ(c.text(),
            "       a = 1\n"
            "longname = N\n"
            "\n"
            "       a = x\n"
            "longname = y\n");
  c.data.cnt = 0;
  c.row({"k"}, {"v"});
  EXPECT_EQ(c.text(), "    k = v\n");  // width at least 5
}

TEST(ShellFormat, ColumnModeWidths) {
  Capture c;
  c.data.mode = MODE_Column;
  c.data.showHeader = 1;
  c.row({"id", "a_rather_long_name"}, {"averyveryverylongvalue", "x"});
  c.row({"id", "a_rather_long_name"}, {"averyveryverylongvalue-cut", "\x01"});
  EXPECT_EQ(c.text(),
            "id                      a_rather_long_name\n"
            "----------------------  ------------------\n"
            "averyveryverylongvalue  x                 \n"
            "averyveryverylongvalue                    \n");

  // .width wins over the computed width and cuts values; headers off.
  c.data.cnt = 0;
  c.data.showHeader = 0;
  c.meta(".width 3 0");
  c.row({"name", "b"}, {"abcdef", "\x01"});
  EXPECT_EQ(c.text(), "abc            \n");
}

TEST(ShellFormat, ColumnModeDashesStopAt93) {
  Capture c;
  c.data.mode = MODE_Column;
  c.data.showHeader = 1;
  c.meta(".width 100");
  c.row({"a"}, {});
  std::string out = c.text();
  std::string header = out.substr(0, out.find('\n'));
  std::string dashes = out.substr(out.find('\n') + 1);
  EXPECT_EQ(header, "a" + std::string(99, ' '));
  EXPECT_EQ(dashes, std::string(93, '-') + std::string(7, ' ') + "\n");
}

TEST(ShellFormat, ListSemiAndHtml) {
  Capture c;
  c.data.showHeader = 1;
  strcpy(c.data.separator, ", ");
  c.row({"a", "b"}, {"1", "\x01"});
  c.row({"a", "b"}, {"2", "3"});
  EXPECT_EQ(c.text(), "a, b\n1, \n2, 3\n");

  c.data.cnt = 0;
  c.data.mode = MODE_Semi;
  c.data.showHeader = 0;
  c.row({"sql"}, {"CREATE TABLE t(a)"});
  EXPECT_EQ(c.text(), "CREATE TABLE t(a);\n");

  c.data.cnt = 0;
  c.data.mode = MODE_Html;
  c.data.showHeader = 1;
  c.row({"a", "b"}, {"x<y & z>w", "\x01"});
  EXPECT_EQ(c.text(),
            "<TR><TH>a</TH><TH>b</TH></TR>\n"
            "<TR><TD>x&lt;y &amp; z>w</TD>\n<TD></TD>\n</TR>\n");
}

TEST(ShellFormat, InsertMode) {
  Capture c;
  c.meta(".mode insert my table");  // three arguments: the name is "my"
  c.row({"a", "b", "c", "d", "e"}, {"12", "it's", "\x01", "-1.5e+3", "1."});
  EXPECT_EQ(c.text(), "INSERT INTO my VALUES(12,'it''s',NULL,-1.5e+3,'1.');\n");
  c.meta(".mode insert 'my table'");
  c.row({"a"}, {".5"});
  EXPECT_EQ(c.text(), "INSERT INTO 'my table' VALUES('.5');\n");
  c.row({"a"}, {});  // names only: nothing
  EXPECT_EQ(c.text(), "");
  c.meta(".mode insert");
  EXPECT_STREQ(c.data.zDestTable, "table");
}

TEST(ShellFormat, TableNameQuoting) {
  Capture c;
  const std::pair<const char *, const char *> cases[] = {
      {"abc_1", "abc_1"}, {"_x", "_x"},      {"1abc", "'1abc'"},
      {"a b", "'a b'"},   {"o'k", "'o''k'"}, {"", "''"},
  };
  for (auto [in, want] : cases) {
    set_table_name(&c.data, in);
    EXPECT_STREQ(c.data.zDestTable, want) << in;
  }
}

TEST(ShellFormat, NumberTest) {
  for (const char *z : {"0", "12", "-3", "+4.25", "1e5", "2.5E-3", "7e+2"}) {
    EXPECT_TRUE(shell_is_number(z)) << z;
  }
  for (const char *z : {"", "-", ".5", "1.", "1e", "1e+", " 1", "1 ", "0x10", "inf", "1.2.3"}) {
    EXPECT_FALSE(shell_is_number(z)) << z;
  }
}

TEST(ShellFormat, TablesLayout) {
  Capture c;
  std::vector<std::string> names;
  for (int i = 0; i < 7; i++) names.push_back("table" + std::to_string(i));
  names.push_back("a_much_longer_name");  // maxlen 18: 80/20 = 4 columns, 2 rows
  std::vector<char *> p;
  for (auto &n : names) p.push_back(n.data());
  print_in_columns(c.data.out, p.data(), static_cast<int>(p.size()));
  EXPECT_EQ(c.text(),
            "table0              table2              table4              table6            \n"
            "table1              table3              table5              a_much_longer_name\n");
  std::string wide(90, 'w');
  char *one[] = {wide.data(), wide.data()};
  print_in_columns(c.data.out, one, 2);  // at least one column
  EXPECT_EQ(c.text(), wide + "\n" + wide + "\n");
}

TEST(ShellCommands, ArgumentsAndPrefixes) {
  Capture c;
  testing::internal::CaptureStderr();
  c.meta(".output out.txt ");  // trailing space: a third, empty argument
  c.meta(".nullvalue \"two words\"");
  c.meta(".separator 'it\"s'");  // no escapes: the argument ends at the matching quote
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "unknown command or invalid arguments:  \"output\". Enter \".help\" for help\n");
  EXPECT_STREQ(c.data.nullvalue, "two words");
  EXPECT_STREQ(c.data.separator, "it\"s");

  EXPECT_EQ(c.meta(".e on"), 0);  // .echo with an argument
  EXPECT_EQ(c.data.echoOn, 1);
  EXPECT_EQ(c.meta(".e"), 1);  // .exit
  EXPECT_EQ(c.meta(".echo OFF"), 0);
  EXPECT_EQ(c.data.echoOn, 0);
  c.meta(".echo 7");
  EXPECT_EQ(c.data.echoOn, 7);
  c.meta(".headers YES");
  EXPECT_EQ(c.data.showHeader, 1);
  c.meta(".header off");
  EXPECT_EQ(c.data.showHeader, 0);
  c.meta(".mode lines");
  EXPECT_EQ(c.data.mode, MODE_Line);
  c.meta(".mode c");
  EXPECT_EQ(c.data.mode, MODE_Column);
  c.meta(".mode h");
  EXPECT_EQ(c.data.mode, MODE_Html);
}

TEST(ShellCommands, SchemaOfTheSchemaTables) {
  Capture c;
  c.meta(".schema TARVIK_MASTER");
  c.meta(".schema tarvik_temp_master");
  EXPECT_EQ(c.text(),
            "CREATE TABLE tarvik_master (\n  type text,\n  name text,\n  tbl_name text,\n"
            "  rootpage integer,\n  sql text\n);\n"
            "CREATE TEMP TABLE tarvik_temp_master (\n  type text,\n  name text,\n"
            "  tbl_name text,\n  rootpage integer,\n  sql text\n);\n");
  EXPECT_EQ(c.data.mode, MODE_List);  // the command used a private copy
  EXPECT_NE(c.data.db, nullptr);
}

TEST(ShellCommands, ReadRunsAFileAndStopsAtExit) {
  Capture c;
  char zDir[] = "/tmp/tarvik-shell.XXXXXX";
  ASSERT_NE(mkdtemp(zDir), nullptr);
  std::string file = std::string(zDir) + "/cmds.sql";
  std::ofstream(file) << ".mode html\n.header on\n.exit\n.mode line\n";
  EXPECT_EQ(c.meta((".read " + file).c_str()), 1);
  EXPECT_EQ(c.data.mode, MODE_Html);
  EXPECT_EQ(c.data.showHeader, 1);
  unlink(file.c_str());
  rmdir(zDir);
}

// ------------------------------------------------------------ the program

struct Result {
  int status;
  std::string out, err;
};

class ShellProgram : public testing::Test {
 protected:
  void SetUp() override {
    char zDir[] = "/tmp/tarvik-shell.XXXXXX";
    ASSERT_NE(mkdtemp(zDir), nullptr);
    dir = zDir;
  }
  void TearDown() override { EXPECT_EQ(0, system(("rm -rf '" + dir + "'").c_str())); }
  std::string path(const std::string &name) { return dir + "/" + name; }
  void write(const std::string &name, const std::string &text) {
    std::ofstream(path(name)) << text;
  }
  static std::string read(const std::string &file) {
    std::ifstream f(file);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // Runs the shell in the scratch directory with the given arguments and
  // standard input (never a terminal).
  Result run(std::vector<std::string> args, const std::string &input = "") {
    write(".stdin", input);
    std::string cmd = "cd '" + dir + "' && '" TARVIK_SHELL_PATH "'";
    for (auto &a : args) cmd += " '" + a + "'";
    cmd += " < .stdin > .stdout 2> .stderr";
    int rc = system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read(path(".stdout")), read(path(".stderr"))};
  }
  bool exists(const std::string &name) { return access(path(name).c_str(), F_OK) == 0; }
  std::string dir;
};

TEST_F(ShellProgram, VersionHelpAndUnknownOptions) {
  Result r = run({"-version"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(tarvik_version) + "\n");

  r = run({"-help"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Usage: " TARVIK_SHELL_PATH " [OPTIONS] FILENAME [SQL]\nOptions are:\n", 0),
            0u);
  EXPECT_NE(r.err.find("-nullvalue 'text'    set text string for NULL values\n"),
            std::string::npos);

  r = run({"-bogus", "x.db"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            TARVIK_SHELL_PATH ": unknown option: -bogus\nUse -help for a list of options.\n");
  EXPECT_FALSE(exists("x.db"));

  // An option missing its value is refused (it would read past the arguments).
  r = run({"-nullvalue"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, TARVIK_SHELL_PATH
            ": missing argument to -nullvalue\nUse -help for a list of options.\n");
}

TEST_F(ShellProgram, OptionsSetTheModes) {
  Result r = run({"-column", "-header", "-separator", "0123456789abcdefghijXYZ", "-nullvalue",
                  "nil", "-echo", "t.db", ".show"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "     echo: on\n  explain: off\n  headers: on\n     mode: column\nnullvalue: nil\n"
            "   output: stdout\nseparator: 0123456789abcdefghi\n    width: \n\n");
  EXPECT_FALSE(exists("t.db"));  // a dot-command alone does not create the file

  r = run({"-html", "-noheader", "-line", "t.db", ".show"});
  EXPECT_NE(r.out.find("headers: off\n     mode: line\n"), std::string::npos);
}

TEST_F(ShellProgram, FirstCommandAndLazyCreation) {
  Result r = run({"t.db", "create table t(a)"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(exists("t.db"));
  // The schema came back from the file.
  r = run({"t.db", "create table t(b)"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "SQL error: table t already exists\n");

  // Without a file name the database is in memory: nothing is created.
  r = run({}, "create table m(a);\ncreate table m(a);\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "create table m(a);\nSQL error: table m already exists\n");
  EXPECT_EQ(system(("test $(ls -A '" + dir + "' | wc -l) -eq 4").c_str()), 0);  // t.db, .std*
}

TEST_F(ShellProgram, StartupFile) {
  write("rc", ".mode html\n.header on\ncreate table fromrc(a);\n");
  Result r = run({"-init", "rc", "t.db", ".show"});
  EXPECT_NE(r.out.find("headers: on\n     mode: html\n"), std::string::npos);
  EXPECT_EQ(r.out.find("Loading resources"), std::string::npos);  // not a terminal

  // Options override the start-up file; its SQL ran on the database.
  r = run({"-init", "rc", "-list", "t.db"}, ".show\ncreate table fromrc(b);\n");
  EXPECT_NE(r.out.find("     mode: list\n"), std::string::npos);
  EXPECT_NE(r.out.find("SQL error: table fromrc already exists\n"), std::string::npos);

  // A start-up file that cannot be opened is skipped silently.
  r = run({"-init", "nosuch", "t.db", ".show"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(ShellProgram, PipedInputHasNoBannerOrPrompts) {
  Result r = run({"t.db"}, ".prompt A B\ncreate table t(\na);\ncreate table t(b)\n;\n");
  EXPECT_EQ(r.out, "create table t(b)\n;\nSQL error: table t already exists\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ShellProgram, InterruptStopsReadingAFile) {
  // Standard input that is not a terminal is read as a file: after an
  // interrupt the shell reads no further statement from it.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[1]);
    if (chdir(dir.c_str()) != 0) _exit(127);
    freopen(".stdout", "w", stdout);
    freopen(".stderr", "w", stderr);
    execl(TARVIK_SHELL_PATH, TARVIK_SHELL_PATH, "t.db", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  const char first[] = "create table a(x);\n";
  ASSERT_EQ(::write(fds[1], first, sizeof(first) - 1), ssize_t(sizeof(first) - 1));
  usleep(500 * 1000);
  kill(pid, SIGINT);
  usleep(200 * 1000);
  const char second[] = "create table a(x);\ncreate table b(x);\n";
  ASSERT_EQ(::write(fds[1], second, sizeof(second) - 1), ssize_t(sizeof(second) - 1));
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read(path(".stdout")), "");  // the repeated CREATE never ran
  EXPECT_EQ(run({"t.db", "create table a(y)"}).err, "SQL error: table a already exists\n");
  EXPECT_EQ(run({"t.db", "create table b(y)"}).status, 0);
}

}  // namespace
