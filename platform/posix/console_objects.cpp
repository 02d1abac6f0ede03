// The named objects that every process on one terminal shares: the console
// lock "CApplMessage-<id>" and the trace flags "PIPETraceEndLock-<id>",
// "PIPETraceOffLock-<id>" and "TraceEndLock-<id>". The registry is this
// process's own, so each of these objects also has a small file, one per
// name, in a folder private to the user, and open-file-description locks on
// it carry what other processes must see:
//   byte 1, held shared by every process with a handle open: the object
//           exists while anyone holds it, so the file of processes that all
//           ended (however they ended) reads as absent;
//   byte 2, held exclusive: the console lock.
// Such locks belong to the open file, not to a thread, so whichever thread
// takes the console lock, any may give it back; the kernel drops them with
// the last descriptor, also when a process is killed. What an event holds
// (its set state, its waiters) stays in the process: these events are only
// raised and tested, never waited for.

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/off_dispatcher.h"
#include "platform/posix/object.h"
#include "platform/shared_state.h"

namespace ductrine::platform {
namespace {

constexpr off_t kPresenceByte = 1;
constexpr off_t kLockByte = 2;

// Descriptors of the files this process holds; a child forked without exec
// closes its copies, so that it neither keeps flags raised nor shares the
// parent's hold on the lock (the locks belong to the open file, which a
// fork shares).
std::mutex g_filesLock;
std::vector<int>* g_files = new std::vector<int>;  // never destroyed: closes may come late
std::atomic<bool> g_forkedChild{false};
// The console lock's file, once opened, stays open for the life of the
// process: every message line opens and closes the lock by name, and a file
// opened anew for each would cost more system calls than the lock itself.
// Its presence byte is never asked about (only the flags' are).
struct KeptFile {
  std::string name;
  int fd;
};
std::vector<KeptFile>* g_kept = new std::vector<KeptFile>;  // guarded by g_filesLock

void BeforeFork() { g_filesLock.lock(); }
void AfterForkInParent() { g_filesLock.unlock(); }
void AfterForkInChild() {
  for (int fd : *g_files) ::close(fd);
  g_files->clear();
  g_kept->clear();
  g_forkedChild.store(true, std::memory_order_relaxed);
  g_filesLock.unlock();
}

// The folder of the files, opened once: $XDG_RUNTIME_DIR/ductrine, or
// /dev/shm/ductrine-<uid> without one. Only a real folder of this user's
// own that no one else may enter will do: one made by another user (the
// name is free for anyone to take in /dev/shm), a link, or one with rights
// for others is refused and reported once, and the objects stay in this
// process.
int Folder() {
  static const int folder = [] {
    std::string path;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
      path = std::string(runtime) + "/ductrine";
    else
      path = "/dev/shm/ductrine-" + std::to_string(::geteuid());
    ::mkdir(path.c_str(), 0700);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
      if (fd >= 0) ::close(fd);
      ConsoleWrite("PIPE: " + path +
                   " is not a folder of this user's own: the console lock and the trace "
                   "flags are not shared with other processes\n");
      return -1;
    }
    ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    return fd;
  }();
  return folder;
}

bool LockByte(int fd, short type, off_t at, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = 1;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// True while another open file (of any process) holds the byte.
bool HeldElsewhere(int fd, off_t at) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

constexpr std::string_view kConsoleWide[] = {"CApplMessage-", "PIPETraceEndLock-",
                                             "PIPETraceOffLock-", "TraceEndLock-"};

}  // namespace

bool IsConsoleWideName(std::string_view name) {
  if (name.size() < 20 || name.size() > 30) return false;  // the prefixes and eight digits
  std::string_view rest;
  for (std::string_view prefix : kConsoleWide) {
    if (name.substr(0, prefix.size()) == prefix) {
      rest = name.substr(prefix.size());
      break;
    }
  }
  if (rest.empty()) return false;
  // A process without a terminal is on no console that others share; a
  // forced identity stays in the process unless a test asks.
  long identity = ConsoleIdentity();
  if (identity <= 0 || (ForcedConsoleIdentity() >= 0 && !ForcedIdentityShared())) return false;
  char digits[32];
  std::snprintf(digits, sizeof digits, "%.8ld", identity);
  return rest == digits && !g_forkedChild.load(std::memory_order_relaxed) && Folder() >= 0;
}

int OpenConsoleObject(std::string_view name, bool create, bool keep) {
  std::string file(name);
  std::lock_guard<std::mutex> hold(g_filesLock);
  if (keep) {
    for (const KeptFile& kept : *g_kept)
      if (kept.name == name) return kept.fd;
  }
  int fd = ::openat(Folder(), file.c_str(),
                    O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0), 0600);
  if (fd < 0) return -1;
  struct stat status {};
  // Tested before this process holds it: a file that no one holds is what
  // is left of processes that have ended, an object that exists no more.
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      (!create && !HeldElsewhere(fd, kPresenceByte)) ||
      !LockByte(fd, F_RDLCK, kPresenceByte, false)) {
    ::close(fd);
    return -1;
  }
  g_files->push_back(fd);
  if (keep) g_kept->push_back({file, fd});
  return fd;
}

void CloseConsoleObject(int fd) {
  std::lock_guard<std::mutex> hold(g_filesLock);
  for (const KeptFile& kept : *g_kept)
    if (kept.fd == fd) return;
  for (auto it = g_files->begin(); it != g_files->end(); ++it) {
    if (*it == fd) {
      g_files->erase(it);
      ::close(fd);  // drops this process's locks on it
      return;
    }
  }
}

void LockConsoleObject(NamedObject* mutex) {
  const int fd = mutex->shared;
  // A child forked without exec has closed the files: its lock is its own.
  if (g_forkedChild.load(std::memory_order_relaxed)) return;
  mutex->heldThrough = fd;
  if (LockByte(fd, F_WRLCK, kLockByte, false)) return;
  // Without a lock to be had (no such locks here), the process's own side
  // still keeps its stages apart.
  if (errno != EAGAIN && errno != EACCES) return;
  // Another process holds it, maybe for a whole trace dialogue: a thread of
  // our own waits for it while the other stages go on. It waits through an
  // open file of its own, so that when this fiber is ended meanwhile, the
  // lock it takes late and gives back at once is never one that another
  // stage of this process holds through the object's file.
  int mine = ::openat(Folder(), mutex->name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (mine < 0) {
    LockByte(fd, F_WRLCK, kLockByte, true);
    return;
  }
  WaitOffDispatcher([mine] { LockByte(mine, F_WRLCK, kLockByte, true); },
                    [mine] { ::close(mine); });
  mutex->heldThrough = mine;
}

void UnlockConsoleObject(NamedObject* mutex) {
  if (mutex->heldThrough < 0) return;
  LockByte(mutex->heldThrough, F_UNLCK, kLockByte, false);
  if (mutex->heldThrough != mutex->shared) ::close(mutex->heldThrough);
  mutex->heldThrough = -1;
}

}  // namespace ductrine::platform
