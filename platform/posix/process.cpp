// What the pipe command needs of its process: where it lives, stage modules,
// its standard streams, and a TRACE segment that must not outlive it.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace ductrine::platform {
namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::mutex g_outputLock;  // keeps each WriteStandardOutput call whole

// The segment name for the signal handler: written before the handlers are
// installed, read only inside them.
char g_segmentName[256];
std::atomic<bool> g_handlersInstalled{false};

void RemoveSegmentAndDie(int signal) {
  if (g_segmentName[0] != '\0') shm_unlink(g_segmentName);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

std::string ExecutableFolder() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return FolderOf(std::string(path, static_cast<std::size_t>(n)));
}

std::string PlatformLibraryFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PlatformLibraryFolder), &info) == 0 ||
      info.dli_fname == nullptr)
    return "";
  std::string path = info.dli_fname;
  if (path.find('/') == std::string::npos) return "";
  return FolderOf(path);
}

void* StageModule::Load(const std::string& path, std::string* error) {
  // RTLD_LOCAL: every module keeps its own copy of the framework; only the
  // platform library (a dependency of both) is shared.
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module && error) {
    const char* text = dlerror();
    *error = text ? text : "unknown loader error";
  }
  return module;
}

void* StageModule::Symbol(void* module, const char* name) {
  return module ? dlsym(module, name) : nullptr;
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

long ReadStandardInput(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(0, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool WriteStandardOutput(std::string_view bytes) {
  std::lock_guard<std::mutex> hold(g_outputLock);
  while (!bytes.empty()) {
    ssize_t n = ::write(1, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool StandardOutputIsTerminal() { return ::isatty(1) == 1; }

int BrokenPipeCode() { return EPIPE; }

void RemoveSegmentOnInterrupt(std::string_view name) {
  std::string shm = "/";
  for (char c : name) shm += (c == '/') ? '_' : c;  // as the segment itself names it
  if (name.empty() || shm.size() >= sizeof g_segmentName) {
    g_segmentName[0] = '\0';
    return;
  }
  std::memcpy(g_segmentName, shm.c_str(), shm.size() + 1);
  if (g_handlersInstalled.exchange(true)) return;
  for (int signal : {SIGINT, SIGHUP, SIGTERM}) {
    // A signal the caller's parent chose to ignore stays ignored.
    if (std::signal(signal, RemoveSegmentAndDie) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
}

}  // namespace ductrine::platform
