// Files with the system's sharing modes and its read-only attribute, through
// the runtime library (_fsopen, _access) and, for the attribute, the handle
// of the file itself. The error code kept for the
// caller is the system's (a sharing violation is 32), never the runtime's
// errno translation of it.

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/win32/object.h"
#include "platform/shared_state.h"

namespace ductrine::platform {
namespace {

int ShareFlag(Share share) {
  switch (share) {
    case Share::kDenyWrite:
      return _SH_DENYWR;
    case Share::kDenyReadWrite:
      return _SH_DENYRW;
    case Share::kDenyNone:
      break;
  }
  return _SH_DENYNO;
}

void ClearRuntimeError() {
  _doserrno = 0;
  errno = 0;
}

}  // namespace

void KeepRuntimeError() {
  if (_doserrno != 0) {
    SetLastError(static_cast<DWORD>(_doserrno));
    return;
  }
  // The runtime refused the call itself, without asking the system.
  switch (errno) {
    case ENOENT:
      SetLastError(ERROR_FILE_NOT_FOUND);
      break;
    case EACCES:
      SetLastError(ERROR_ACCESS_DENIED);
      break;
    case EEXIST:
      SetLastError(ERROR_FILE_EXISTS);
      break;
    case EMFILE:
      SetLastError(ERROR_TOO_MANY_OPEN_FILES);
      break;
    case ENOSPC:
      SetLastError(ERROR_DISK_FULL);
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      break;
  }
}

std::FILE* OpenFileShared(const char* name, const char* mode, Share share) {
  std::string wanted = mode;
  // A text stream opened for appending and reading would lose a CTRL+Z that
  // ends the file: the runtime removes it at the open. Opened in binary and
  // switched to text afterwards, the file keeps every byte.
  const bool textAppend = wanted.find('a') != std::string::npos &&
                          wanted.find('b') == std::string::npos &&
                          wanted.find('t') == std::string::npos;
  if (textAppend) wanted += 'b';
  // Not inherited ("N"): a child that a stage module starts must not hold
  // the file, nor its share, after the run.
  wanted += 'N';
  ClearRuntimeError();
  std::FILE* file = _fsopen(name, wanted.c_str(), ShareFlag(share));
  if (file == nullptr) {
    KeepRuntimeError();
    return nullptr;
  }
  if (textAppend) _setmode(_fileno(file), _O_TEXT);
  return file;
}

std::FILE* CreateNewFile(const char* name, Share share) {
  ClearRuntimeError();
  int fd = _sopen(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                  ShareFlag(share), _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    KeepRuntimeError();
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    KeepRuntimeError();
    DWORD code = GetLastError();
    _close(fd);
    SetLastError(code);
  }
  return file;
}

int SeekFile(std::FILE* file, std::int64_t offset, int origin) {
  ClearRuntimeError();
  if (_fseeki64(file, offset, origin) == 0) return 0;
  KeepRuntimeError();
  return -1;
}

std::int64_t TellFile(std::FILE* file) {
  ClearRuntimeError();
  std::int64_t position = _ftelli64(file);
  if (position < 0) KeepRuntimeError();
  return position;
}

bool FileExists(const char* name) { return _access(name, 0) == 0; }

bool EraseFile(const char* name) {
  ClearRuntimeError();
  if (std::remove(name) == 0) return true;
  KeepRuntimeError();
  return false;
}

namespace {

// A folder named as a file; the system has no code that says just that.
constexpr int kIsFolder = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic{};  // times of 0 stay as they are
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The one place the read-only attribute is cleared: through a handle of the
// file that is opened for its attributes only (such a handle takes part in
// no share), never by name.
bool ClearReadOnly(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info, AppendFile* file) {
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
  if (!SetAttributes(handle, info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) return false;
  file->madeWritable = true;
  file->savedAttributes = info.dwFileAttributes;
  return true;
}

// The one place it is set again: through a handle of that same file.
void RestoreReadOnly(HANDLE handle, AppendFile* file) {
  if (!file->madeWritable) return;
  DWORD code = GetLastError();
  SetAttributes(handle, file->savedAttributes);
  SetLastError(code);
  file->madeWritable = false;
}

HANDLE FdHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

}  // namespace

FileKind KindOfFile(const char* name) {
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
  return FileKind::kRegular;
}

// No file marks here: the last byte is always read.
AppendOpen OpenForAppend(const char* name, AppendFile* file, const FileMark* /*seen*/) {
  *file = AppendFile{};
  // The file as it is now, held by a handle for its attributes only.
  HANDLE held = CreateFileA(name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION before{};
  const bool existed = held != INVALID_HANDLE_VALUE && GetFileInformationByHandle(held, &before);
  auto release = [&] {
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
  };
  if (existed && (before.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    release();
    SetLastError(kIsFolder);
    return AppendOpen::kDirectory;
  }
  if (!existed && GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) {
    // A name that is there but opens to nothing (a dangling link): the open
    // would create the link's target, which is not the name given.
    release();
    SetLastError(ERROR_FILE_EXISTS);
    return AppendOpen::kFailed;
  }
  if (existed) {
    ClearReadOnly(held, before, file);
    RunReopenHook();
  }
  // Binary first: the last byte is read as it is, and a CTRL+Z that ends the
  // file survives the open. Text mode once the file is ready.
  ClearRuntimeError();
  int fd = _sopen(name, _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYRW,
                  _S_IREAD | _S_IWRITE);
  if (fd < 0) KeepRuntimeError();
  BY_HANDLE_FILE_INFORMATION after{};
  if (fd >= 0 && existed &&
      (!GetFileInformationByHandle(FdHandle(fd), &after) || !SameFile(before, after))) {
    // The name came to denote another file meanwhile: that one is not ours
    // to write, and its attribute is not touched.
    _close(fd);
    fd = -1;
    SetLastError(ERROR_ACCESS_DENIED);
  }
  if (fd < 0) {
    RestoreReadOnly(held, file);
    release();
    return AppendOpen::kFailed;
  }
  release();
  file->created = !existed;
  if (GetFileType(FdHandle(fd)) == FILE_TYPE_DISK) {
    file->regular = true;
    const std::int64_t size = _filelengthi64(fd);
    if (size > 0) {
      char last = 0;
      if (_lseeki64(fd, size - 1, SEEK_SET) < 0 || _read(fd, &last, 1) != 1) {
        KeepRuntimeError();
        DWORD code = GetLastError();
        RestoreReadOnly(FdHandle(fd), file);
        _close(fd);
        SetLastError(code);
        return AppendOpen::kFailed;
      }
      file->endsInLineEnd = last == '\n';
      _lseeki64(fd, 0, SEEK_END);
    }
  }
  _setmode(fd, _O_TEXT);
  file->fd = fd;
  return AppendOpen::kOpened;
}

std::size_t WriteAppendFile(AppendFile* file, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ClearRuntimeError();
    const std::size_t most = std::min<std::size_t>(size - done, 1u << 30);
    const int wrote = _write(file->fd, data + done, static_cast<unsigned>(most));
    if (wrote <= 0) {
      if (wrote < 0) {
        KeepRuntimeError();
      } else {
        SetLastError(ERROR_DISK_FULL);
      }
      break;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return done;
}

bool CutAppendFile(AppendFile* file, const char* tail, std::size_t size) {
  if (!file->regular) return false;
  // Each line feed went to the file as a carriage return and a line feed.
  std::int64_t excess = static_cast<std::int64_t>(size);
  for (std::size_t i = 0; i < size; ++i) excess += tail[i] == '\n' ? 1 : 0;
  ClearRuntimeError();
  const std::int64_t length = _filelengthi64(file->fd);
  if (length < 0 || _chsize_s(file->fd, std::max<std::int64_t>(0, length - excess)) != 0) {
    KeepRuntimeError();
    return false;
  }
  return true;
}

// A share cannot be dropped from an open handle: a parked file is closed.
void ParkAppendFile(AppendFile* file) {
  if (file->parked) return;
  const bool endsInLineEnd = file->endsInLineEnd;
  CloseAppendFile(nullptr, file);
  file->endsInLineEnd = endsInLineEnd;
  file->parked = true;
}

AppendOpen ResumeAppendFile(const char* name, AppendFile* file) {
  if (!file->parked) return AppendOpen::kOpened;
  return OpenForAppend(name, file);
}

bool CloseAppendFile(const char* name, AppendFile* file, FileMark* mark, bool discardNew) {
  if (mark) *mark = FileMark{};
  bool closed = true;
  DWORD code = 0;
  if (file->fd >= 0) {
    RestoreReadOnly(FdHandle(file->fd), file);
    const bool discard = discardNew && name && file->created && file->regular &&
                         _filelengthi64(file->fd) == 0;
    ClearRuntimeError();
    if (_close(file->fd) != 0) {
      KeepRuntimeError();
      closed = false;
      code = GetLastError();
    }
    // Closed first: Windows removes no file that is open.
    if (discard) std::remove(name);
  }
  *file = AppendFile{};
  if (!closed) SetLastError(code);
  return closed;
}

int DirectoryErrorCode() { return kIsFolder; }

std::string OpenFailureText(int code) {
  if (code == kIsFolder) return "Is a directory";
  return ReasonText(code);
}

long OpenFileLimit() {
  long forced = ForcedOpenFileLimit();
  if (forced > 0) return forced;
  return _getmaxstdio();
}

}  // namespace ductrine::platform
