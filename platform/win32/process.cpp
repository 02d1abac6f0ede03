// What the pipe command needs of its process: where it lives, stage modules
// (DLLs), and its standard streams. Standard output is a text stream here:
// each line feed leaves as a carriage return and a line feed.

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "platform/win32/object.h"

namespace ductrine::platform {
namespace {

std::mutex g_outputLock;  // keeps each WriteStandardOutput call whole

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return "";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string ModulePath(HMODULE module) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD got = GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
    if (got == 0) return "";
    if (got < path.size()) {
      path.resize(got);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

bool WriteAll(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return false;
    if (written == 0) {  // a pipe that takes nothing would hold the loop for ever
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

std::string ExecutableFolder() { return FolderOf(ModulePath(nullptr)); }

std::string PlatformLibraryFolder() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&PlatformLibraryFolder), &self))
    return "";
  return FolderOf(ModulePath(self));
}

void* StageModule::Load(const std::string& path, std::string* error) {
  std::string native = path;
  for (char& c : native)
    if (c == '/') c = '\\';
  HMODULE module = LoadLibraryA(native.c_str());
  if (module != nullptr) return reinterpret_cast<void*>(module);
  const DWORD code = GetLastError();
  if (error) *error = ReasonText(static_cast<int>(code));
  const bool short_ = code == ERROR_TOO_MANY_OPEN_FILES || code == ERROR_NOT_ENOUGH_MEMORY ||
                      code == ERROR_OUTOFMEMORY || code == ERROR_COMMITMENT_LIMIT;
  SetLastErrorCode(short_ ? static_cast<int>(code) : 0);
  return nullptr;
}

void* StageModule::Symbol(void* module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

// Handles are not numbered from 0, and no signal ends a writer.
void PrepareCommandProcess() {}

std::FILE* CreatePrivateFile(const char* name) {
  int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    SetLastError(static_cast<DWORD>(_doserrno));
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "w");
  if (file == nullptr) {
    _close(fd);
    _unlink(name);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return file;
}

long ReadStandardInput(char* buffer, std::size_t size) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
  DWORD got = 0;
  if (ReadFile(input, buffer, chunk, &got, nullptr)) return static_cast<long>(got);
  // The writer of a pipe has closed it: that is the end of the input.
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  return -1;
}

bool WriteStandardOutput(std::string_view bytes) {
  std::lock_guard<std::mutex> hold(g_outputLock);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  std::string text;
  text.reserve(bytes.size() + bytes.size() / 16);
  for (char c : bytes) {
    if (c == '\n') text += '\r';
    text += c;
  }
  if (WriteAll(output, text)) return true;
  // Every way a pipe reports a reader that has gone is one case here.
  DWORD code = GetLastError();
  if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED) SetLastError(ERROR_NO_DATA);
  return false;
}

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int BrokenPipeCode() { return ERROR_NO_DATA; }

// The segment is a file mapping: it goes with the last handle to it, also
// when the process is ended.
void RemoveSegmentOnInterrupt(std::string_view) {}

namespace {

// The console control events. The system runs the handler on a thread of
// its own, which is where the stop is asked for; after a close event the
// process ends when the handler returns, so that handler waits for the run.
std::mutex g_watchLock;  // held while a stop runs, so that the watch cannot end under it
std::function<void()> g_stop;
bool g_watching = false;
int g_controlEvents = 0;
HANDLE g_runOver = nullptr;  // set once the run has ended

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  {
    std::lock_guard<std::mutex> hold(g_watchLock);
    if (!g_watching) return FALSE;
    if (++g_controlEvents == 1) {
      if (g_stop) g_stop();
    } else if (type != CTRL_CLOSE_EVENT) {
      // Asked twice: the user will not wait for the orderly end.
      ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
  }
  // The system allows a close handler a few seconds before it ends the process.
  if (type == CTRL_CLOSE_EVENT) WaitForSingleObject(g_runOver, 4000);
  return TRUE;
}

}  // namespace

void OnTerminatingSignal(std::function<void()> stop) {
  std::lock_guard<std::mutex> hold(g_watchLock);
  if (g_watching) return;
  g_stop = std::move(stop);
  if (g_runOver == nullptr) g_runOver = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(g_runOver);
  g_controlEvents = 0;
  g_watching = true;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

void EndIfTerminatingSignal() {
  int events = 0;
  {
    std::lock_guard<std::mutex> hold(g_watchLock);
    if (!g_watching) return;
    g_watching = false;
    g_stop = nullptr;
    events = g_controlEvents;
  }
  SetEvent(g_runOver);
  if (events != 0) ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  SetConsoleCtrlHandler(OnControl, FALSE);
}

}  // namespace ductrine::platform
