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

bool FileIsReadOnly(const char* name) {
  struct stat info {};
  return ::stat(name, &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

bool MakeFileWritable(const char* name, unsigned* saved) {
  struct stat info {};
  if (::stat(name, &info) != 0) return false;
  *saved = info.st_mode & 07777;
  return ::chmod(name, (info.st_mode & 07777) | S_IWUSR) == 0;
}

bool RestoreFileAttributes(const char* name, unsigned saved) {
  return ::chmod(name, saved) == 0;
}

namespace {

// Closes `fd` keeping the error code of the failure that made us give up.
int CloseKeepingError(int fd) {
  int code = errno;
  ::close(fd);
  errno = code;
  return -1;
}

// A file we may not write but own: the owner write bit is added through a
// descriptor of the file itself, so that a link put in its place meanwhile
// is never followed to something else.
bool AddOwnerWrite(const char* name, bool followLink, AppendFile* file) {
  int fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW));
  if (fd < 0) return false;
  struct stat info {};
  bool made = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0 &&
              ::fchmod(fd, (info.st_mode & 07777) | S_IWUSR) == 0;
  if (made) {
    file->madeWritable = true;
    file->savedAttributes = info.st_mode & 07777;
    file->attributeTicket = NoteAttributeCleared(-1, name, followLink, info.st_mode & 07777);
  }
  ::close(fd);
  return made;
}

std::int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

void PutAttributeBack(const char* name, AppendFile* file, int fd) {
  if (!file->madeWritable) return;
  int code = errno;
  if (fd < 0 || ::fchmod(fd, file->savedAttributes) != 0) ::chmod(name, file->savedAttributes);
  NoteAttributeRestored(file->attributeTicket);
  file->attributeTicket = -1;
  errno = code;
  file->madeWritable = false;
}

}  // namespace

FileKind KindOfFile(const char* name, bool followLink) {
  struct stat info {};
  if ((followLink ? ::stat(name, &info) : ::lstat(name, &info)) != 0) return FileKind::kMissing;
  if (S_ISREG(info.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(info.st_mode)) return FileKind::kDirectory;
  if (S_ISLNK(info.st_mode)) return FileKind::kLink;
  return FileKind::kOther;
}

AppendOpen OpenForAppend(const char* name, bool followLink, AppendFile* file,
                         const FileMark* seen) {
  *file = AppendFile{};
  // Non-blocking: a FIFO without a reader must not hold the caller.
  const int common = O_APPEND | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW);
  // A FIFO is never opened for reading: that open would count as a writer
  // too, and a reader that came meanwhile would see the end at once. Files
  // are opened for reading and writing: the last byte is read through the
  // same descriptor.
  struct stat before {};
  const bool fifo = (followLink ? ::stat(name, &before) : ::lstat(name, &before)) == 0 &&
                    S_ISFIFO(before.st_mode);
  int fd = fifo ? ::open(name, O_WRONLY | common) : ::open(name, O_RDWR | O_CREAT | common, 0666);
  if (fd < 0 && fifo) return errno == ENXIO ? AppendOpen::kNoReader : AppendOpen::kFailed;
  if (fd < 0 && errno == EACCES) {
    // Unless a second open says why, the first one's refusal is the reason.
    struct stat info {};
    if ((followLink ? ::stat(name, &info) : ::lstat(name, &info)) == 0) {
      if (!S_ISREG(info.st_mode)) {
        // A device or FIFO that we may write but not read.
        fd = ::open(name, O_WRONLY | common);
      } else if ((info.st_mode & S_IWUSR) == 0 && AddOwnerWrite(name, followLink, file)) {
        fd = ::open(name, O_RDWR | common);
      } else {
        errno = EACCES;
      }
    } else {
      errno = EACCES;
    }
  }
  if (fd < 0) {
    PutAttributeBack(name, file, -1);
    if (errno == EISDIR) return AppendOpen::kDirectory;
    if (errno == ELOOP && !followLink) return AppendOpen::kLink;
    if (errno == ENXIO) return AppendOpen::kNoReader;
    return AppendOpen::kFailed;
  }

  // Locked first, then looked at: the size and the last byte are those
  // under the lock, and nobody appends between them and our writes.
  int locked;
  while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  const int lockError = errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    PutAttributeBack(name, file, fd);
    return CloseKeepingError(fd), AppendOpen::kFailed;
  }
  if (S_ISREG(info.st_mode)) {
    file->regular = true;
    if (locked != 0) {
      errno = lockError;
      PutAttributeBack(name, file, fd);
      return CloseKeepingError(fd), AppendOpen::kFailed;
    }
    // Root opens a file without write permission all the same; the
    // attribute is cleared while the stage appends, as for everyone.
    if ((info.st_mode & S_IWUSR) == 0 && !file->madeWritable &&
        ::fchmod(fd, (info.st_mode & 07777) | S_IWUSR) == 0) {
      file->madeWritable = true;
      file->savedAttributes = info.st_mode & 07777;
      file->attributeTicket = NoteAttributeCleared(fd, name, followLink, info.st_mode & 07777);
    }
    if (seen && seen->valid && seen->device == info.st_dev && seen->inode == info.st_ino &&
        seen->size == info.st_size && seen->modified == Nanoseconds(info.st_mtim) &&
        seen->changed == Nanoseconds(info.st_ctim)) {
      // Untouched since we closed it: we know how it ends.
      file->endsInLineEnd = seen->endsInLineEnd;
    } else if (info.st_size > 0) {
      char last = 0;
      ssize_t got;
      while ((got = ::pread(fd, &last, 1, info.st_size - 1)) < 0 && errno == EINTR) {
      }
      if (got != 1) {
        if (got == 0) errno = EIO;
        PutAttributeBack(name, file, fd);
        return CloseKeepingError(fd), AppendOpen::kFailed;
      }
      file->endsInLineEnd = last == '\n';
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
  file->stream = ::fdopen(fd, "a");
  if (!file->stream) {
    PutAttributeBack(name, file, fd);
    return CloseKeepingError(fd), AppendOpen::kFailed;
  }
  return AppendOpen::kOpened;
}

bool CloseAppendFile(const char* name, AppendFile* file, FileMark* mark) {
  bool written = true;
  int code = 0;
  if (mark) *mark = FileMark{};
  if (file->stream) {
    if (std::fflush(file->stream) != 0) {
      written = false;
      code = errno;
    }
    PutAttributeBack(name, file, fileno(file->stream));
    struct stat info {};
    if (mark && written && file->regular && ::fstat(fileno(file->stream), &info) == 0) {
      mark->valid = true;
      mark->endsInLineEnd = file->endsInLineEnd;
      mark->device = info.st_dev;
      mark->inode = info.st_ino;
      mark->size = info.st_size;
      mark->modified = Nanoseconds(info.st_mtim);
      mark->changed = Nanoseconds(info.st_ctim);
    }
    if (std::fclose(file->stream) != 0 && written) {
      written = false;
      code = errno;
    }
  }
  PutAttributeBack(name, file, -1);
  *file = AppendFile{};
  if (!written) errno = code;
  return written;
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
