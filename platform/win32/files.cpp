// Files with the system's sharing modes and its read-only attribute, through
// the runtime library (_fsopen, _access, _chmod). The error code kept for the
// caller is the system's (a sharing violation is 32), never the runtime's
// errno translation of it.

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

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

bool FileIsReadOnly(const char* name) { return _access(name, 0) == 0 && _access(name, 2) != 0; }

bool MakeFileWritable(const char* name, unsigned* saved) {
  ClearRuntimeError();
  *saved = _S_IREAD;
  if (_chmod(name, _S_IREAD | _S_IWRITE) == 0) return true;
  KeepRuntimeError();
  return false;
}

bool RestoreFileAttributes(const char* name, unsigned saved) {
  ClearRuntimeError();
  if (_chmod(name, static_cast<int>(saved)) == 0) return true;
  KeepRuntimeError();
  return false;
}

namespace {

// A folder named as a file; the system has no code that says just that.
constexpr int kIsFolder = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED

void PutAttributeBack(const char* name, AppendFile* file) {
  if (!file->madeWritable) return;
  DWORD code = GetLastError();
  RestoreFileAttributes(name, file->savedAttributes);
  SetLastError(code);
  file->madeWritable = false;
}

}  // namespace

FileKind KindOfFile(const char* name, bool followLink) {
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if (!followLink && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FileKind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
  return FileKind::kRegular;
}

// No file marks here: the last byte is always read.
AppendOpen OpenForAppend(const char* name, bool followLink, AppendFile* file,
                         const FileMark* /*seen*/) {
  *file = AppendFile{};
  DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // A reparse point (a symbolic link, a junction) is refused, not followed.
    if (!followLink && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      SetLastError(ERROR_CANT_ACCESS_FILE);
      return AppendOpen::kLink;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      SetLastError(kIsFolder);
      return AppendOpen::kDirectory;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && MakeFileWritable(name, &file->savedAttributes))
      file->madeWritable = true;
  }
  // Binary first: the last byte is read as it is, and a CTRL+Z that ends the
  // file survives the open. Text mode once the stream is ready.
  ClearRuntimeError();
  std::FILE* stream = _fsopen(name, "a+bN", _SH_DENYRW);
  if (stream == nullptr) {
    KeepRuntimeError();
    PutAttributeBack(name, file);
    return AppendOpen::kFailed;
  }
  const int fd = _fileno(stream);
  if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) == FILE_TYPE_DISK) {
    file->regular = true;
    const std::int64_t size = _filelengthi64(fd);
    if (size > 0) {
      char last = 0;
      if (_lseeki64(fd, size - 1, SEEK_SET) < 0 || _read(fd, &last, 1) != 1) {
        KeepRuntimeError();
        DWORD code = GetLastError();
        std::fclose(stream);
        SetLastError(code);
        PutAttributeBack(name, file);
        return AppendOpen::kFailed;
      }
      file->endsInLineEnd = last == '\n';
      _lseeki64(fd, 0, SEEK_END);
    }
  }
  _setmode(fd, _O_TEXT);
  file->stream = stream;
  return AppendOpen::kOpened;
}

bool CloseAppendFile(const char* name, AppendFile* file, FileMark* mark) {
  if (mark) *mark = FileMark{};
  bool written = true;
  DWORD code = 0;
  if (file->stream) {
    ClearRuntimeError();
    if (std::fflush(file->stream) != 0) {
      KeepRuntimeError();
      written = false;
      code = GetLastError();
    }
    ClearRuntimeError();
    if (std::fclose(file->stream) != 0 && written) {
      KeepRuntimeError();
      written = false;
      code = GetLastError();
    }
  }
  PutAttributeBack(name, file);
  *file = AppendFile{};
  if (!written) SetLastError(code);
  return written;
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
