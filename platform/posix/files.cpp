// Files with the system's sharing modes and its read-only attribute.
//
// Deny-write is a shared flock, deny-read-write an exclusive one; a lock that
// cannot be had is a failure to open. "Read-only" is the owner write bit,
// never access(W_OK), which says yes to root.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

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
  std::FILE* file = std::fopen(name, mode);
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

}  // namespace ductrine::platform
