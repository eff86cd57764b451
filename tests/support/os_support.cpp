#include "os_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "os.h"

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/tarvik_test_XXXXXX";
  char *p = mkdtemp(tmpl);
  if (p == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path_ = p;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
}

LockChild::LockChild(const std::string &path) {
  int down[2], up[2];
  if (pipe(down) != 0) return;
  if (pipe(up) != 0) {
    close(down[0]);
    close(down[1]);
    return;
  }
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    close(down[1]);
    close(up[0]);
    OsFile f;
    memset(&f, 0, sizeof(f));
    int ro = 0;
    char rc = (char)tarvikOsOpenReadWrite(path.c_str(), &f, &ro);
    if (write(up[1], &rc, 1) != 1 || rc != TARVIK_OK) _exit(1);
    char c;
    while (read(down[0], &c, 1) == 1) {
      switch (c) {
        case 'r': rc = (char)tarvikOsReadLock(&f); break;
        case 'w': rc = (char)tarvikOsWriteLock(&f); break;
        case 'u': rc = (char)tarvikOsUnlock(&f); break;
        default: _exit(0);
      }
      if (write(up[1], &rc, 1) != 1) break;
    }
    _exit(0);  // no destructors or exit handlers of the parent's test program
  }
  close(down[0]);
  close(up[1]);
  toChild_ = down[1];
  fromChild_ = up[0];
  char rc;
  if (read(fromChild_, &rc, 1) == 1 && rc == TARVIK_OK) {
    pid_ = pid;
  } else {
    waitpid(pid, nullptr, 0);
  }
}

LockChild::~LockChild() {
  if (toChild_ >= 0) close(toChild_);  // end of input ends the child
  if (fromChild_ >= 0) close(fromChild_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

int LockChild::command(char c) {
  char rc;
  if (pid_ <= 0 || write(toChild_, &c, 1) != 1 || read(fromChild_, &rc, 1) != 1) return -1;
  return rc;
}
