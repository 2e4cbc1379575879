#pragma once
// Another process writing a file of a given name through its own local
// store (and so holding that name) until Release(): stands for a second
// upload served by a separate process.

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "storage/local_store.h"

namespace parcelmoor::testing {

class LockHolderProcess {
 public:
  // Returns once the child has begun `fileName` in `directory` (or failed to).
  LockHolderProcess(const std::string& directory, const std::string& fileName) {
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0) return;
    if (::pipe(release) != 0) {
      ::close(ready[0]);
      ::close(ready[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Descriptors inherited from the test would keep the test's own locks
      // alive after it closes them: keep only the two pipe ends.
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != ready[1] && fd != release[0]) ::close(fd);
      }
      {
        LocalStore store;
        Store::Ticket ticket = 0;
        StoreFile file;
        char answer = store.begin(directory, fileName, &ticket, &file) ? 'n' : 'y';
        (void)!::write(ready[1], &answer, 1);
        char ignored;
        (void)!::read(release[0], &ignored, 1);  // returns at end of file
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    toChild_ = release[1];
    char answer = 'n';
    if (pid_ > 0 && ::read(ready[0], &answer, 1) == 1) holds_ = answer == 'y';
    ::close(ready[0]);
  }
  ~LockHolderProcess() { Release(); }
  LockHolderProcess(const LockHolderProcess&) = delete;
  LockHolderProcess& operator=(const LockHolderProcess&) = delete;

  bool holds() const { return holds_; }

  // The child gives its file up and exits; returns once it has.
  void Release() {
    if (toChild_ >= 0) ::close(toChild_);
    toChild_ = -1;
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    holds_ = false;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  bool holds_ = false;
};

}  // namespace parcelmoor::testing
