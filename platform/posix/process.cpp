// What the pipe command needs of its process: where it lives, stage modules,
// its standard streams, a TRACE segment that must not outlive it, and the
// orderly end that a terminating signal asks for.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <mutex>
#include <thread>

#include "platform/posix/cleared_attributes.h"
#include "platform/posix/object.h"

namespace ductrine::platform {
namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::mutex g_outputLock;  // keeps each WriteStandardOutput call whole

// The segment name for a signal that ends the process at once: written
// under g_segmentLock, read without it only inside a signal handler.
char g_segmentName[256];
std::mutex g_segmentLock;
std::atomic<bool> g_handlersInstalled{false};

// A signal that ends the process at once (no watch) puts back what the run
// changed and must not leave: cleared read-only attributes, the segment.
void EndAtOnce(int signal) {
  RestoreClearedAttributes();
  if (g_segmentName[0] != '\0') shm_unlink(g_segmentName);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void InstallEndAtOnce() {
  if (g_handlersInstalled.exchange(true)) return;
  for (int signal : {SIGINT, SIGHUP, SIGTERM}) {
    // A signal the caller's parent chose to ignore stays ignored.
    if (std::signal(signal, EndAtOnce) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
}

// Ends the process by `signal` as its default action would, from any
// thread: the signal is blocked in the others, so it is raised here.
[[noreturn]] void DieBy(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  std::raise(signal);
  _exit(128 + signal);  // not reached: none of the watched signals can be caught now
}

// The watch of the terminating signals. They are blocked in every thread
// (threads started later inherit the mask) and read from a signalfd by one
// watcher thread, so no stage thread is ever interrupted and nothing runs
// in a signal handler.
struct SignalWatch {
  pthread_t watcher{};
  bool watching = false;
  int signalFd = -1;
  int wakeFds[2] = {-1, -1};  // a byte on it ends the watch
  sigset_t previousMask;
  std::thread stopper;  // started by the watcher, joined after it
};
SignalWatch g_watch;  // used by the thread that starts and ends the watch
std::atomic<int> g_caughtSignal{0};

// The stop runs on a thread of its own, so that the watcher still hears a
// second signal while a stop takes its time.
void Watch(int signalFd, int wakeFd, std::function<void()> stop, std::thread* stopper) {
  bool stopping = false;
  for (;;) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info{};
    if (::read(signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    int signal = static_cast<int>(info.ssi_signo);
    if (!stopping) {
      stopping = true;
      g_caughtSignal.store(signal);
      // A stage at the trace prompt would otherwise wait for a line that
      // the user, who asked to stop, will not type.
      EndConsoleInput();
      try {
        *stopper = std::thread(stop);
      } catch (...) {
        stop();  // no thread to spare: the stop still happens
      }
      continue;
    }
    // Asked twice: the user will not wait for the orderly end (a stage may
    // never come to a wait). What the run changed is put back first, from
    // a list that takes no lock, so no stage stuck anywhere holds it up.
    RestoreClearedAttributes();
    {
      std::lock_guard<std::mutex> hold(g_segmentLock);
      if (g_segmentName[0] != '\0') shm_unlink(g_segmentName);
    }
    DieBy(signal);
  }
}

struct WatchStart {
  int signalFd;
  int wakeFd;
  std::function<void()> stop;
};

void* WatchMain(void* argument) {
  std::unique_ptr<WatchStart> start(static_cast<WatchStart*>(argument));
  Watch(start->signalFd, start->wakeFd, std::move(start->stop), &g_watch.stopper);
  return nullptr;
}

// The watcher needs little stack: a small one, so that a process short of
// memory still gets its watch.
bool StartWatcher(std::function<void()> stop) {
  auto* start = new (std::nothrow) WatchStart{g_watch.signalFd, g_watch.wakeFds[0], std::move(stop)};
  if (start == nullptr) return false;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    delete start;
    return false;
  }
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  const int failed = pthread_create(&g_watch.watcher, &attributes, WatchMain, start);
  pthread_attr_destroy(&attributes);
  if (failed != 0) {
    delete start;
    return false;
  }
  return true;
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
  if (module) return module;
  const char* said = dlerror();
  const std::string text = said ? said : "unknown loader error";
  if (error) *error = text;
  // The loader keeps its error code to itself: whether the process ran
  // short is asked again, with an open of the file, and read from the
  // loader's words for memory it could not map.
  int code = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) {
    code = errno;
  }
  if (code == 0 && (text.find("failed to map segment") != std::string::npos ||
                    text.find(std::strerror(ENOMEM)) != std::string::npos))
    code = ENOMEM;
  errno = code;
  return nullptr;
}

void* StageModule::Symbol(void* module, const char* name) {
  return module ? dlsym(module, name) : nullptr;
}

void PrepareCommandProcess() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is `fd` itself, the ones below being open.
    int opened = ::open("/dev/null", O_RDONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

std::FILE* CreatePrivateFile(const char* name) {
  int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    int code = errno;
    ::close(fd);
    ::unlink(name);
    errno = code;
  }
  return file;
}

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
  std::lock_guard<std::mutex> hold(g_segmentLock);
  if (name.empty() || shm.size() >= sizeof g_segmentName) {
    g_segmentName[0] = '\0';
    return;
  }
  std::memcpy(g_segmentName, shm.c_str(), shm.size() + 1);
  // Under a watch the watcher removes it; a signal never reaches a handler.
  if (!g_watch.watching) InstallEndAtOnce();
}

void OnTerminatingSignal(std::function<void()> stop) {
  if (g_watch.watching) return;
  sigset_t watched;
  sigemptyset(&watched);
  for (int signal : {SIGINT, SIGHUP, SIGTERM}) {
    // A signal the caller's parent chose to ignore stays ignored.
    struct sigaction now {};
    if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    sigaddset(&watched, signal);
  }
  if (pthread_sigmask(SIG_BLOCK, &watched, &g_watch.previousMask) != 0) {
    InstallEndAtOnce();
    return;
  }
  g_caughtSignal.store(0);
  g_watch.signalFd = signalfd(-1, &watched, SFD_CLOEXEC);
  if (g_watch.signalFd < 0 || pipe2(g_watch.wakeFds, O_CLOEXEC) != 0 ||
      !StartWatcher(std::move(stop))) {
    // Without a watch (no descriptor or thread to spare) a signal ends the
    // process at once, after putting back what the run changed.
    if (g_watch.signalFd >= 0) ::close(g_watch.signalFd);
    for (int& fd : g_watch.wakeFds) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
    g_watch.signalFd = -1;
    InstallEndAtOnce();
    pthread_sigmask(SIG_SETMASK, &g_watch.previousMask, nullptr);
    return;
  }
  g_watch.watching = true;
}

void EndIfTerminatingSignal() {
  if (!g_watch.watching) return;
  char end = 0;
  while (::write(g_watch.wakeFds[1], &end, 1) < 0 && errno == EINTR) {
  }
  pthread_join(g_watch.watcher, nullptr);
  g_watch.watching = false;
  if (g_watch.stopper.joinable()) g_watch.stopper.join();
  ::close(g_watch.signalFd);
  ::close(g_watch.wakeFds[0]);
  ::close(g_watch.wakeFds[1]);
  g_watch.signalFd = g_watch.wakeFds[0] = g_watch.wakeFds[1] = -1;
  int signal = g_caughtSignal.load();
  if (signal != 0) DieBy(signal);
  pthread_sigmask(SIG_SETMASK, &g_watch.previousMask, nullptr);
}

}  // namespace ductrine::platform
