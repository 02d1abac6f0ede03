#include "tests/harness/flavour.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/platform.h"

namespace ductrine::test {

std::string FileText(std::string_view text) {
#if defined(_WIN32)
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
#else
  return std::string(text);
#endif
}

#if defined(_WIN32)
const ErrorCodes kErrors{ERROR_PATH_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL,
                         ERROR_FILE_EXISTS};
const bool kNamesIgnoreCase = true;
const char* const kFullDevice = "Z:\\dev\\full";
#else
const ErrorCodes kErrors{ENOENT, EWOULDBLOCK, ENOSPC, EEXIST};
const bool kNamesIgnoreCase = false;
const char* const kFullDevice = "/dev/full";
#endif

void RemoveAll(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (fs::is_directory(path, ignored)) {
    for (const auto& entry : fs::recursive_directory_iterator(path, ignored))
      fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ignored);
  fs::remove_all(path, ignored);
}

void UseUtc() {
#if defined(_WIN32)
  _putenv_s("TZ", "UTC");
  _tzset();
#else
  setenv("TZ", "UTC", 1);
  tzset();
#endif
}

StageEntry LoadBuiltModule(const std::string& name, std::string* error) {
  std::string path = DUCTRINE_BIN_DIR "/" + name + std::string(platform::kModuleSuffix);
  void* module = platform::StageModule::Load(path, error);
  return reinterpret_cast<StageEntry>(platform::StageModule::Symbol(module, "BeginStage"));
}

#if defined(_WIN32)

BlockingPipe::BlockingPipe() {
  HANDLE reader = nullptr, writer = nullptr;
  if (CreatePipe(&reader, &writer, nullptr, 0)) {
    reader_ = reinterpret_cast<std::intptr_t>(reader);
    writer_ = reinterpret_cast<std::intptr_t>(writer);
  }
}

BlockingPipe::~BlockingPipe() {
  read_.reset();
  if (reader_ != -1) CloseHandle(reinterpret_cast<HANDLE>(reader_));
  if (writer_ != -1) CloseHandle(reinterpret_cast<HANDLE>(writer_));
}

long BlockingPipe::ReadRaw(char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(reader_), buffer, static_cast<DWORD>(size), &got, nullptr))
    return -1;
  return static_cast<long>(got);
}

const bool kCanListOpenFiles = false;
std::vector<OpenFile> OpenFilesUnder(const std::string&) { return {}; }

void PutEnvironment(const std::string& variable, const std::string& value) {
  _putenv_s(variable.c_str(), value.c_str());
}

ChildProcess::ChildProcess(const std::string& test) {
  char self[MAX_PATH] = {};
  if (GetModuleFileNameA(nullptr, self, MAX_PATH) == 0) return;
  std::string command = std::string("\"") + self +
                        "\" --gtest_also_run_disabled_tests --gtest_filter=" + test;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return;
  CloseHandle(process.hThread);
  id_ = reinterpret_cast<std::intptr_t>(process.hProcess);
}

void ChildProcess::Kill() {
  std::intptr_t id = id_.exchange(-1);
  if (id == -1) return;
  HANDLE process = reinterpret_cast<HANDLE>(id);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
}

bool ChildProcess::Passed() {
  std::intptr_t id = id_.exchange(-1);
  if (id == -1) return false;
  HANDLE process = reinterpret_cast<HANDLE>(id);
  DWORD code = 1;
  WaitForSingleObject(process, INFINITE);
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code == 0;
}

const bool kCanSendTerminatingSignal = false;
bool SendTerminatingSignal() { return false; }
bool EndedByTerminatingSignal(int exitStatus) {
  return static_cast<DWORD>(exitStatus) == static_cast<DWORD>(STATUS_CONTROL_C_EXIT);
}

bool BlockingPipe::Write() {
  DWORD put = 0;
  return WriteFile(reinterpret_cast<HANDLE>(writer_), "x", 1, &put, nullptr) && put == 1;
}

#else

BlockingPipe::BlockingPipe() {
  int fds[2];
  if (pipe(fds) == 0) {
    reader_ = fds[0];
    writer_ = fds[1];
  }
}

BlockingPipe::~BlockingPipe() {
  read_.reset();
  if (reader_ != -1) close(static_cast<int>(reader_));
  if (writer_ != -1) close(static_cast<int>(writer_));
}

long BlockingPipe::ReadRaw(char* buffer, std::size_t size) {
  return static_cast<long>(::read(static_cast<int>(reader_), buffer, size));
}

bool BlockingPipe::Write() { return ::write(static_cast<int>(writer_), "x", 1) == 1; }

const bool kCanListOpenFiles = true;
std::vector<OpenFile> OpenFilesUnder(const std::string& folder) {
  std::error_code error;
  const std::string prefix = std::filesystem::canonical(folder, error).string() + "/";
  std::vector<OpenFile> files;
  DIR* list = ::opendir("/proc/self/fd");
  if (!list) return files;
  while (const dirent* entry = ::readdir(list)) {
    if (entry->d_name[0] == '.') continue;
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t size = ::readlink(link.c_str(), target, sizeof target - 1);
    if (size <= 0) continue;
    std::string path(target, static_cast<std::size_t>(size));
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    int flags = ::fcntl(std::atoi(entry->d_name), F_GETFD);
    files.push_back({path, flags >= 0 && (flags & FD_CLOEXEC) == 0});
  }
  ::closedir(list);
  return files;
}

void PutEnvironment(const std::string& variable, const std::string& value) {
  setenv(variable.c_str(), value.c_str(), 1);
}

ChildProcess::ChildProcess(const std::string& test) {
  std::string filter = "--gtest_filter=" + test;
  char disabled[] = "--gtest_also_run_disabled_tests";
  char self[] = "/proc/self/exe";
  char* argv[] = {self, disabled, filter.data(), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, self, nullptr, nullptr, argv, environ) == 0) id_ = child;
}

void ChildProcess::Kill() {
  std::intptr_t id = id_.exchange(-1);
  if (id == -1) return;
  ::kill(static_cast<pid_t>(id), SIGKILL);
  int status = 0;
  while (::waitpid(static_cast<pid_t>(id), &status, 0) < 0 && errno == EINTR) {
  }
}

bool ChildProcess::Passed() {
  std::intptr_t id = id_.exchange(-1);
  if (id == -1) return false;
  int status = 0;
  while (::waitpid(static_cast<pid_t>(id), &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const bool kCanSendTerminatingSignal = true;
bool SendTerminatingSignal() { return ::kill(::getpid(), SIGINT) == 0; }
bool EndedByTerminatingSignal(int exitStatus) {
  return WIFSIGNALED(exitStatus) && WTERMSIG(exitStatus) == SIGINT;
}

#endif

bool BlockingPipe::Read() {
  char c = 0;
  return read_->Read(&c, 1) == 1;
}

}  // namespace ductrine::test
