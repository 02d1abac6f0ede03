// Files with the system's sharing modes and its read-only attribute.
//
// Deny-write is a shared flock, deny-read-write an exclusive one; a lock that
// cannot be had is a failure to open. "Read-only" is the owner write bit,
// never access(W_OK), which says yes to root.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/cleared_attributes.h"
#include "platform/shared_state.h"

namespace ductrine::platform {
namespace {

bool Lock(int fd, Share share) {
  if (share == Share::kDenyNone) return true;
  int op = (share == Share::kDenyWrite ? LOCK_SH : LOCK_EX) | LOCK_NB;
  while (flock(fd, op) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::FILE* Fail(std::FILE* file) {
  int code = errno;
  std::fclose(file);
  errno = code;
  return nullptr;
}

}  // namespace

std::FILE* OpenFileShared(const char* name, const char* mode, Share share) {
  // Close-on-exec ("e"): a child that a stage module starts must not hold
  // the file, nor its lock, after the run.
  std::string wanted = mode;
  if (wanted.find('e') == std::string::npos) wanted += 'e';
  std::FILE* file = std::fopen(name, wanted.c_str());
  if (!file) return nullptr;
  if (!Lock(fileno(file), share)) return Fail(file);
  return file;
}

std::FILE* CreateNewFile(const char* name, Share share) {
  int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w");
  if (!file) {
    int code = errno;
    ::close(fd);
    errno = code;
    return nullptr;
  }
  if (!Lock(fd, share)) return Fail(file);
  return file;
}

int SeekFile(std::FILE* file, std::int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin);
}

std::int64_t TellFile(std::FILE* file) { return static_cast<std::int64_t>(ftello(file)); }

bool FileExists(const char* name) {
  struct stat info {};
  return ::stat(name, &info) == 0;
}

bool EraseFile(const char* name) { return ::unlink(name) == 0; }

namespace {

// Closes `fd` keeping the error code of the failure that made us give up.
int CloseKeepingError(int fd) {
  int code = errno;
  ::close(fd);
  errno = code;
  return -1;
}

std::int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The one place the owner write bit is added, always through a descriptor
// of the file itself, so that no name is followed to something else.
bool ClearReadOnly(int fd, const struct stat& info, AppendFile* file) {
  if (!S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR) != 0) return true;
  if (::fchmod(fd, (info.st_mode & 07777) | S_IWUSR) != 0) return false;
  file->madeWritable = true;
  file->savedAttributes = info.st_mode & 07777;
  // A second signal ends the process at once: it finds the bit here.
  file->attributeTicket = NoteAttributeCleared(fd, file->savedAttributes);
  return true;
}

// The one place it is taken away again: through a descriptor of the file
// whose bit was added, never by name. Keeps the caller's error code.
void RestoreReadOnly(int fd, AppendFile* file) {
  if (!file->madeWritable) return;
  int code = errno;
  ::fchmod(fd, file->savedAttributes);
  NoteAttributeRestored(file->attributeTicket);
  file->attributeTicket = -1;
  errno = code;
  file->madeWritable = false;
}

// Opens an existing regular file we may not write but own: the owner write
// bit is added through a read-only descriptor, the file is opened for
// writing by its name, and the two must be one file; otherwise the bit goes
// back and the open fails with the first refusal. -1 with errno set.
int OpenReadOnlyFile(const char* name, int flags, AppendFile* file) {
  int first = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (first < 0) return errno = EACCES, -1;
  struct stat before {};
  if (::fstat(first, &before) != 0 || !S_ISREG(before.st_mode) ||
      (before.st_mode & S_IWUSR) != 0 || !ClearReadOnly(first, before, file)) {
    ::close(first);
    return errno = EACCES, -1;
  }
  RunReopenHook();
  int fd = ::open(name, O_RDWR | flags);
  struct stat after {};
  if (fd >= 0 && (::fstat(fd, &after) != 0 || !SameFile(before, after))) {
    ::close(fd);
    fd = -1;
    errno = EACCES;
  }
  if (fd < 0) {
    RestoreReadOnly(first, file);
  } else {
    // The descriptor that an end at once restores through must stay open.
    const int kept = NoteAttributeCleared(fd, file->savedAttributes);
    NoteAttributeRestored(file->attributeTicket);
    file->attributeTicket = kept;
  }
  CloseKeepingError(first);
  return fd;
}

// The last byte of a regular file under our lock: is it a line feed?
bool ReadEndsInLineEnd(int fd, std::int64_t size, bool* endsInLineEnd) {
  *endsInLineEnd = true;
  if (size == 0) return true;
  char last = 0;
  ssize_t got;
  while ((got = ::pread(fd, &last, 1, size - 1)) < 0 && errno == EINTR) {
  }
  if (got != 1) {
    if (got == 0) errno = EIO;
    return false;
  }
  *endsInLineEnd = last == '\n';
  return true;
}

bool Unchanged(const FileMark* seen, const struct stat& info) {
  return seen && seen->valid && seen->device == info.st_dev && seen->inode == info.st_ino &&
         seen->size == info.st_size && seen->modified == Nanoseconds(info.st_mtim) &&
         seen->changed == Nanoseconds(info.st_ctim);
}

void TakeMark(int fd, const AppendFile& file, FileMark* mark) {
  *mark = FileMark{};
  struct stat info {};
  if (!file.regular || ::fstat(fd, &info) != 0) return;
  mark->valid = true;
  mark->endsInLineEnd = file.endsInLineEnd;
  mark->device = info.st_dev;
  mark->inode = info.st_ino;
  mark->size = info.st_size;
  mark->modified = Nanoseconds(info.st_mtim);
  mark->changed = Nanoseconds(info.st_ctim);
}

int LockExclusive(int fd) {
  int locked;
  while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  return locked;
}

// A regular file just opened or taken up again, held under our lock and
// seen as `info`: the last byte known, the attribute cleared. False with
// errno set.
bool TakeUp(int fd, const struct stat& info, const FileMark* seen, AppendFile* file) {
  // The decision is taken before the attribute is cleared: that changes the
  // file's times, not its bytes.
  if (Unchanged(seen, info)) {
    file->endsInLineEnd = seen->endsInLineEnd;
  } else if (!ReadEndsInLineEnd(fd, info.st_size, &file->endsInLineEnd)) {
    return false;
  }
  file->mark.device = info.st_dev;
  file->mark.inode = info.st_ino;
  file->mark.size = info.st_size;
  // Root opens a file without write permission all the same; the attribute
  // is cleared while the stage appends, as for everyone.
  return ClearReadOnly(fd, info, file);
}

}  // namespace

FileKind KindOfFile(const char* name) {
  struct stat info {};
  if (::stat(name, &info) != 0) return FileKind::kMissing;
  if (S_ISREG(info.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(info.st_mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

AppendOpen OpenForAppend(const char* name, AppendFile* file, const FileMark* seen) {
  *file = AppendFile{};
  // Non-blocking: a FIFO without a reader must not hold the caller.
  const int common = O_APPEND | O_CLOEXEC | O_NONBLOCK;
  // A FIFO is never opened for reading: that open would count as a writer
  // too, and a reader that came meanwhile would see the end at once. Files
  // are opened for reading and writing: the last byte is read through the
  // same descriptor.
  struct stat before {};
  const bool fifo = ::stat(name, &before) == 0 && S_ISFIFO(before.st_mode);
  int fd = -1;
  if (fifo) {
    fd = ::open(name, O_WRONLY | common);
    if (fd < 0) return errno == ENXIO ? AppendOpen::kNoReader : AppendOpen::kFailed;
  }
  // A missing file is created with O_EXCL: at the name itself, never at
  // the target of a dangling link, never over a file that appeared meanwhile
  // (that one is opened as the existing file it is, once more).
  for (int round = 0; fd < 0 && round < 2; ++round) {
    fd = ::open(name, O_RDWR | common);
    if (fd >= 0 || errno != ENOENT) break;
    fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | common, 0666);
    file->created = fd >= 0;
    if (fd >= 0 || errno != EEXIST) break;
  }
  if (fd < 0 && errno == EACCES) {
    struct stat info {};
    if (::stat(name, &info) == 0 && !S_ISREG(info.st_mode)) {
      // A device or FIFO that we may write but not read.
      fd = ::open(name, O_WRONLY | common);
    } else if (::stat(name, &info) == 0 && (info.st_mode & S_IWUSR) == 0) {
      fd = OpenReadOnlyFile(name, common, file);
    } else {
      errno = EACCES;
    }
  }
  if (fd < 0) {
    if (errno == EISDIR) return AppendOpen::kDirectory;
    if (errno == ENXIO) return AppendOpen::kNoReader;
    return AppendOpen::kFailed;
  }

  // Locked first, then looked at: the size and the last byte are those
  // under the lock, and nobody appends between them and our writes.
  const int locked = LockExclusive(fd);
  const int lockError = errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    RestoreReadOnly(fd, file);
    return CloseKeepingError(fd), AppendOpen::kFailed;
  }
  if (S_ISREG(info.st_mode)) {
    file->regular = true;
    if (locked != 0) errno = lockError;
    if (locked != 0 || !TakeUp(fd, info, seen, file)) {
      RestoreReadOnly(fd, file);
      return CloseKeepingError(fd), AppendOpen::kFailed;
    }
  } else {
    // Devices and FIFOs are shared by all their writers.
    if (locked == 0) ::flock(fd, LOCK_UN);
    if (S_ISDIR(info.st_mode)) {
      ::close(fd);
      errno = EISDIR;
      return AppendOpen::kDirectory;
    }
    if (S_ISFIFO(info.st_mode) && !fifo) {
      // Became a FIFO between the look and the open: for writing only.
      ::close(fd);
      fd = ::open(name, O_WRONLY | common);
      if (fd < 0) return errno == ENXIO ? AppendOpen::kNoReader : AppendOpen::kFailed;
    }
    // Writes wait for a slow reader as they would on any stream.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
      return CloseKeepingError(fd), AppendOpen::kFailed;
  }
  file->fd = fd;
  return AppendOpen::kOpened;
}

std::size_t WriteAppendFile(AppendFile* file, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = ::write(file->fd, data + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(wrote);
  }
  file->mark.size += static_cast<std::int64_t>(done);
  return done;
}

bool CutAppendFile(AppendFile* file, const char* /*tail*/, std::size_t size) {
  struct stat info {};
  if (!file->regular || ::fstat(file->fd, &info) != 0) return false;
  const off_t keep = info.st_size - static_cast<off_t>(size);
  while (::ftruncate(file->fd, keep < 0 ? 0 : keep) != 0) {
    if (errno != EINTR) return false;
  }
  file->mark.size = keep < 0 ? 0 : keep;
  return true;
}

void ParkAppendFile(AppendFile* file) {
  if (file->fd < 0 || file->parked) return;
  if (file->regular) {
    RestoreReadOnly(file->fd, file);
    ::flock(file->fd, LOCK_UN);
  }
  file->parked = true;
}

AppendOpen ResumeAppendFile(const char* name, AppendFile* file) {
  if (!file->parked) return AppendOpen::kOpened;
  if (!file->regular) {
    // A device or FIFO holds no share and no last byte.
    file->parked = false;
    return AppendOpen::kOpened;
  }
  const int fd = file->fd;
  if (LockExclusive(fd) != 0) return AppendOpen::kFailed;
  // Under the lock: the name must still denote our file, and its size says
  // whether another wrote to it meanwhile.
  struct stat info {};
  if (::stat(name, &info) == 0 && info.st_dev == file->mark.device &&
      info.st_ino == file->mark.inode) {
    // Our own writes moved the file's times: its size alone tells whether
    // another wrote to it since we left it.
    FileMark seen = file->mark;
    seen.valid = true;
    seen.endsInLineEnd = file->endsInLineEnd;
    seen.modified = Nanoseconds(info.st_mtim);
    seen.changed = Nanoseconds(info.st_ctim);
    if (!TakeUp(fd, info, &seen, file)) {
      const int code = errno;
      ::flock(fd, LOCK_UN);
      RestoreReadOnly(fd, file);
      errno = code;
      return AppendOpen::kFailed;
    }
    file->parked = false;
    return AppendOpen::kOpened;
  }
  // The name was removed or now denotes another file: as if it had been
  // closed, it is opened anew.
  CloseAppendFile(name, file);
  return OpenForAppend(name, file);
}

bool CloseAppendFile(const char* name, AppendFile* file, FileMark* mark, bool discardNew) {
  bool closed = true;
  if (mark) *mark = FileMark{};
  if (file->fd >= 0) {
    const int fd = file->fd;
    if (!file->parked) RestoreReadOnly(fd, file);
    if (mark) TakeMark(fd, *file, mark);
    // Parked, the file may have been written by another since: then how it
    // ends is not ours to know.
    if (mark && file->parked && mark->size != file->mark.size) *mark = FileMark{};
    struct stat held {}, named {};
    if (discardNew && file->created && file->regular && ::fstat(fd, &held) == 0 &&
        held.st_size == 0 && ::stat(name, &named) == 0 && SameFile(held, named)) {
      ::unlink(name);
      if (mark) *mark = FileMark{};
    }
    const int code = errno;
    if (::close(fd) != 0 && errno != EINTR) {
      closed = false;
    } else {
      errno = code;
    }
  }
  *file = AppendFile{};
  return closed;
}

int DirectoryErrorCode() { return EISDIR; }

std::string OpenFailureText(int code) {
  if (code == EWOULDBLOCK) return "The file is in use by another stage or process";
  return ReasonText(code);
}

long OpenFileLimit() {
  long forced = ForcedOpenFileLimit();
  if (forced > 0) return forced;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1L << 30) return 1L << 30;
  return static_cast<long>(limit.rlim_cur);
}

}  // namespace ductrine::platform
