// Test helpers for code that touches files: a scratch directory per test and
// a second process that takes and holds file locks on command.
#ifndef TARVIK_TEST_OS_SUPPORT_H
#define TARVIK_TEST_OS_SUPPORT_H

#include <sys/types.h>

#include <string>

// A fresh directory under /tmp, removed with its contents when destroyed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole file contents, or "" when the file cannot be read.
std::string readFileBytes(const std::string &path);
// Creates or replaces a file with these bytes.
void writeFileBytes(const std::string &path, const std::string &bytes);

// Another process that opens one file through the OS layer and locks or
// unlocks it on command, so a test can hold a lock "elsewhere".  Commands
// return the OS layer's result code.  The child ends when the object is
// destroyed (its locks vanish with it).
class LockChild {
 public:
  explicit LockChild(const std::string &path);
  ~LockChild();
  LockChild(const LockChild &) = delete;
  LockChild &operator=(const LockChild &) = delete;
  bool ok() const { return pid_ > 0; }
  int readLock() { return command('r'); }
  int writeLock() { return command('w'); }
  int unlock() { return command('u'); }

 private:
  int command(char c);
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
};

#endif
