// The operating-system seam. Everything Ductrine asks of the OS goes through
// this interface; no other folder includes an OS header. It is built as the
// shared library ductrine-platform, so that the pipe command, every stage
// module and the tests of one process share one copy of its state: on POSIX
// the named-object registry (the part the kernel plays on Windows), on both
// the test hooks (console sink and input, clock, console identity) and the
// module state.
//
// All functions are safe to call from every stage fiber and thread at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#if defined(_WIN32) && defined(DUCTRINE_PLATFORM_BUILD)
#define DUCTRINE_PLATFORM_API __declspec(dllexport)
#elif defined(_WIN32)
#define DUCTRINE_PLATFORM_API __declspec(dllimport)
#else
#define DUCTRINE_PLATFORM_API __attribute__((visibility("default")))
#endif

namespace ductrine::platform {

// How stage modules are named, what joins a folder and a name, and what
// separates the folders of a search path.
#if defined(_WIN32)
inline constexpr std::string_view kModuleSuffix = ".dll";
inline constexpr char kDirectorySeparator = '\\';
inline constexpr char kPathListSeparator = ';';
#else
inline constexpr std::string_view kModuleSuffix = ".so";
inline constexpr char kDirectorySeparator = '/';
inline constexpr char kPathListSeparator = ':';
#endif

// An open handle to a named object or a thread. Null means "no handle".
// Handles are not shared between threads unless the owner says so.
struct Object;
using Handle = Object*;

// ---- named events ---------------------------------------------------------
// An event exists while any handle to it is open. OpenOrCreate of an existing
// name returns that event whatever reset kind it asks for. A set before a
// wait is never lost; a manual-reset event stays set until reset; an
// auto-reset event releases exactly one waiter per set.
struct NamedEvent {
  DUCTRINE_PLATFORM_API static Handle OpenOrCreate(std::string_view name, bool manualReset,
                                                   bool initiallySet);
  // The "is this flag raised?" test: null when no event of that name exists.
  DUCTRINE_PLATFORM_API static Handle OpenExisting(std::string_view name);
  DUCTRINE_PLATFORM_API static void Set(Handle event);
  DUCTRINE_PLATFORM_API static void Reset(Handle event);
  // Waits without a time limit. Spins briefly, then sleeps in the kernel.
  DUCTRINE_PLATFORM_API static void Wait(Handle event);
  // Set(set) then Wait(wait), as one step where that saves work: on a
  // fiber whose partner is the one fiber parked on `set`, on the same thread,
  // the caller parks on `wait` (unless it is set) and the partner runs at
  // once, with no trip through the ready queue. Every observer sees what the
  // two calls would show.
  DUCTRINE_PLATFORM_API static void SetAndWait(Handle set, Handle wait);
};

// ---- named mutex ----------------------------------------------------------
// Recursive for the owning thread; released by the owner as often as taken.
struct NamedMutex {
  DUCTRINE_PLATFORM_API static Handle OpenOrCreate(std::string_view name);
  DUCTRINE_PLATFORM_API static bool Acquire(Handle mutex);
  DUCTRINE_PLATFORM_API static void Release(Handle mutex);
};

// Closes any handle (event, mutex, segment, thread). Null is ignored.
DUCTRINE_PLATFORM_API void CloseObject(Handle handle);

// Number of named objects alive in the registry (tests use it to find leaks).
DUCTRINE_PLATFORM_API std::size_t LiveNamedObjects();

// ---- named shared segment (the TRACE segment) -----------------------------
struct SharedSegment {
  // Creates a new segment of size bytes holding `initial`; fails (null) when
  // the name exists already. The creator removes it with Remove.
  DUCTRINE_PLATFORM_API static Handle CreateExclusive(std::string_view name, std::size_t size,
                                                      std::string_view initial);
  DUCTRINE_PLATFORM_API static Handle OpenExisting(std::string_view name);
  // Maps `size` bytes at offset 0; null on failure. Unmap with Unmap.
  DUCTRINE_PLATFORM_API static void* Map(Handle segment, std::size_t size);
  DUCTRINE_PLATFORM_API static void Unmap(void* view, std::size_t size);
  DUCTRINE_PLATFORM_API static void Remove(std::string_view name);
  // The error code of a CreateExclusive whose name exists already.
  DUCTRINE_PLATFORM_API static int ExistsCode();
};

// ---- console --------------------------------------------------------------
// A number equal for every process on one terminal; 0 without one.
DUCTRINE_PLATFORM_API long ConsoleIdentity();
// Tests pretend to be attached to another console (value < 0 restores).
DUCTRINE_PLATFORM_API void SetConsoleIdentityForTesting(long identity);
// The console lock and the trace flags of a console (the names formed with
// its identity) reach every process on that console. Under a forced identity
// they stay in this process, so that tests running at once never meet,
// unless a test asks for them to be shared (POSIX; the Windows kernel shares
// them always).
DUCTRINE_PLATFORM_API void ShareConsoleObjectsForTesting(bool shared);

// Writes one whole line (or any bytes) to the console device in one write.
// Returns false when the device cannot be written.
DUCTRINE_PLATFORM_API bool ConsoleWrite(std::string_view bytes);
// Points the console device at a sink (tests); an empty function restores.
using ConsoleSink = std::function<void(std::string_view)>;
DUCTRINE_PLATFORM_API void SetConsoleSink(ConsoleSink sink);

// Interactive console input: the prompt goes to the terminal unbuffered; a
// read takes one typed line without its line end. Without a terminal the
// prompt goes to the console device and a read sees end of input (false).
DUCTRINE_PLATFORM_API void ConsolePrompt(std::string_view text);
DUCTRINE_PLATFORM_API bool ConsoleReadLine(std::string* line);
// Tests feed console input (one call per line, false at end); an empty
// function restores the terminal.
using ConsoleInput = std::function<bool(std::string* line)>;
DUCTRINE_PLATFORM_API void SetConsoleInputForTesting(ConsoleInput input);

// ---- errors ---------------------------------------------------------------
// The calling thread's last error code, taken right after a failing call.
DUCTRINE_PLATFORM_API int LastErrorCode();
DUCTRINE_PLATFORM_API void SetLastErrorCode(int code);
// The system's text for an error code; never empty.
DUCTRINE_PLATFORM_API std::string ReasonText(int code);

// ---- files ----------------------------------------------------------------
enum class Share { kDenyNone, kDenyWrite, kDenyReadWrite };
// fopen with the system's sharing mode; a share that cannot be had is a
// failure to open (null, with the error code set).
DUCTRINE_PLATFORM_API std::FILE* OpenFileShared(const char* name, const char* mode, Share share);
// Creates a file that does not exist yet (never truncates one that appeared
// meanwhile); null with the error code set on failure.
DUCTRINE_PLATFORM_API std::FILE* CreateNewFile(const char* name, Share share);
// fseek and ftell past what a long holds (2 GiB where a long has 32 bits):
// 0 and the position, or -1 with the error code set.
DUCTRINE_PLATFORM_API int SeekFile(std::FILE* file, std::int64_t offset, int origin);
DUCTRINE_PLATFORM_API std::int64_t TellFile(std::FILE* file);
DUCTRINE_PLATFORM_API bool FileExists(const char* name);
DUCTRINE_PLATFORM_API bool EraseFile(const char* name);
// What a name denotes (links followed), found without opening it.
enum class FileKind { kMissing, kRegular, kDirectory, kOther };
DUCTRINE_PLATFORM_API FileKind KindOfFile(const char* name);

// What a regular file looked like when it was closed or parked: opened again
// with nothing changed since (same file, size and times), its last byte is
// known without reading it. Where the system gives no such times, never valid.
struct FileMark {
  bool valid = false;
  bool endsInLineEnd = true;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;
};

// A file open for appending records, written through a descriptor without a
// buffer of its own (text mode: each line feed reaches the file as the
// system's line end); the rest is what the caller must know before its
// first write and at the close.
struct AppendFile {
  int fd = -1;
  // A regular file, held with the deny-read-write share. False for a FIFO,
  // a terminal or a device, which are never positioned and have no last byte.
  bool regular = false;
  // The file is empty, is no regular file, or ends in a line feed: nothing
  // has to come before the next record. The caller keeps it true to the
  // bytes it writes, for the marks of CloseAppendFile.
  bool endsInLineEnd = true;
  // This open created the file.
  bool created = false;
  // The read-only attribute was cleared; parking or closing sets it again.
  bool madeWritable = false;
  unsigned savedAttributes = 0;
  // Where an end at once finds the cleared attribute (POSIX); -1 for none.
  int attributeTicket = -1;
  // Parked: looks closed to everyone else.
  bool parked = false;
  // Which file it is and how long it was after our last write (POSIX).
  FileMark mark;
};
enum class AppendOpen {
  kOpened,
  kFailed,     // cannot be opened, created or shared (error code set)
  kDirectory,  // the name is a folder (error code: DirectoryErrorCode)
  kNoReader,   // a FIFO that no one reads yet; try again later
};
// Opens `name` for appending with the deny-read-write share. A missing file is
// created at that very name (never through a dangling link), an existing one
// never truncated; a read-only attribute is cleared through a descriptor of
// the file that is then opened, and never if the name came to denote another
// file between the two. For a regular file the last byte is taken under the
// share (read, or from `seen` when the file is as it was then), so that the
// line-end decision and the writes see one file. Never blocks: a FIFO
// without a reader is kNoReader.
DUCTRINE_PLATFORM_API AppendOpen OpenForAppend(const char* name, AppendFile* file,
                                               const FileMark* seen = nullptr);
// Writes `size` bytes with as few system calls as the system allows (one,
// unless it writes less). The number of bytes that reached the file; less
// than `size` on failure, with the error code set.
DUCTRINE_PLATFORM_API std::size_t WriteAppendFile(AppendFile* file, const char* data,
                                                  std::size_t size);
// Takes the last `size` bytes written (`tail`) off the end of a regular
// file again: a record that reached the file only in part. False (error
// code set) when the file could not be cut.
DUCTRINE_PLATFORM_API bool CutAppendFile(AppendFile* file, const char* tail, std::size_t size);
// Makes an open file look closed to every other stage and process while its
// owner writes elsewhere: share released, a cleared read-only attribute set
// again (on Windows, whose shares cannot be dropped from an open handle, the
// file is closed). The caller has written everything it holds for the file.
DUCTRINE_PLATFORM_API void ParkAppendFile(AppendFile* file);
// Takes a parked file up again as OpenForAppend would open it: the share is
// taken (failing as that open fails), the attribute cleared again, the last
// byte read again when the file changed meanwhile; a name that now denotes
// another file, or none, is opened afresh.
DUCTRINE_PLATFORM_API AppendOpen ResumeAppendFile(const char* name, AppendFile* file);
// Closes the file and sets a cleared read-only attribute again; with
// `discardNew`, a file that this open created and that is still empty is
// removed (when the name still denotes it). `mark`, when given, receives
// what the file looks like then. False (error code set) when the close
// reported a failure. `file` is empty afterwards either way.
DUCTRINE_PLATFORM_API bool CloseAppendFile(const char* name, AppendFile* file,
                                           FileMark* mark = nullptr, bool discardNew = false);
// Tests run `hook` when OpenForAppend has cleared a read-only attribute and
// is about to open the file by its name again (an empty function removes it).
DUCTRINE_PLATFORM_API void SetReopenHookForTesting(std::function<void()> hook);
// The code that a folder named as a file is reported with.
DUCTRINE_PLATFORM_API int DirectoryErrorCode();
// The reason text for a failure to open, create or share a file: the
// system's text, except that a share held by another open says the file is
// in use (a POSIX lock conflict has only "try again" for a word).
DUCTRINE_PLATFORM_API std::string OpenFailureText(int code);
// How many files this process may have open at once (its soft limit).
DUCTRINE_PLATFORM_API long OpenFileLimit();
// Tests pretend to a lower limit (a value <= 0 restores the real one).
DUCTRINE_PLATFORM_API void SetOpenFileLimitForTesting(long limit);

// ---- fibers and the dispatcher ---------------------------------------------
// A run's stages are fibers. The fibers of a dispatcher take turns on the
// thread that calls Run: one runs until it waits on an event or a mutex (or
// yields), then the next ready one runs; a wait from another thread wakes
// them through the dispatcher's inbox. A fiber spawned with a thread of its
// own is the only fiber of that thread (for stages that block in system
// calls of their own). Fibers never move between threads. What the system
// keeps per thread (the last error code, the module state, the C++ runtime's
// exception state) is kept per fiber.
using ThreadBody = std::function<void()>;

class DUCTRINE_PLATFORM_API Dispatcher {
 public:
  Dispatcher();
  // Joins the fibers' own threads; every fiber must have ended.
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // A fiber that runs `body`, then `atEnd` however it ends (returned, or
  // ended by TerminateThreadAt). Null when its stack or thread cannot be had
  // (error code set). The handle belongs to the dispatcher: valid until it
  // is destroyed, never closed by the caller. A fiber with a thread of its
  // own starts at once; the others when Run is called.
  Handle Spawn(ThreadBody body, ThreadBody atEnd = {}, bool ownThread = false);
  // Runs the fibers until every one has ended: true. False when the run
  // stalled: every fiber left waits and nothing can wake one (no reader
  // thread in flight, no OutsideWaker alive). The fibers stay parked; the
  // caller may wake them, or EndParked, and Run again.
  bool Run();
  // After a stall: ends every fiber where it waits, region or not.
  void EndParked();
  // Drops a fiber that has not started (one of the caller's thread, before
  // Run): it never runs, not even its `atEnd`, and its stack is freed at
  // once. False when it has started or has a thread of its own.
  bool Discard(Handle fiber);
  // True while the fiber waits (for a stall's report).
  static bool IsParked(Handle fiber);

 private:
  struct State;
  State* state_;
};

// Thrown from the wait of a fiber that is being ended: its stack unwinds, its
// destructors run, and the fiber's entry catches it. Not a std::exception,
// so a stage's `catch (const std::exception&)` lets it pass; a stage that
// catches everything must throw it on.
struct DUCTRINE_PLATFORM_API FiberEnd {};

// The fiber running on the calling thread; null on a plain thread.
DUCTRINE_PLATFORM_API Handle CurrentFiber();
// Lets the other ready fibers of the caller's dispatcher run first; on a
// plain thread, yields the core.
DUCTRINE_PLATFORM_API void YieldFiber();

// While one is alive, a thread outside every run may still set an event a
// fiber waits on, so a dispatcher with nothing ready sleeps rather than
// reporting a stall.
class DUCTRINE_PLATFORM_API OutsideWaker {
 public:
  OutsideWaker();
  ~OutsideWaker();
  OutsideWaker(const OutsideWaker&) = delete;
  OutsideWaker& operator=(const OutsideWaker&) = delete;
};

// A read that can block without limit (a pipe, a terminal), made by a
// thread of its own while the calling fiber waits, so the other fibers go
// on; on a plain thread it reads on the caller's thread. What is read goes
// to a buffer of the reader's, from which the callers take: any number of
// fibers and threads may call at once, one read is in flight for all of
// them, and a caller that is ended while it waits loses no byte.
class DUCTRINE_PLATFORM_API BlockingReader {
 public:
  using ReadFunction = std::function<long(char* buffer, std::size_t size)>;
  explicit BlockingReader(ReadFunction read);
  // Ends the reader thread where it blocks, and joins it.
  ~BlockingReader();
  BlockingReader(const BlockingReader&) = delete;
  BlockingReader& operator=(const BlockingReader&) = delete;
  // Up to `size` bytes: the count, 0 at the end (from then on, for every
  // caller), -1 on a failed read (error code set; the next call reads
  // again). Inside a CancellableRegion a stop may end the calling fiber
  // here; it unwinds.
  long Read(char* buffer, std::size_t size);
  // Appends to `line` the bytes up to and including the next line feed;
  // when none comes within `most` bytes, those `most` bytes; at the end, a
  // last line without its line feed. Results as for Read. Each call takes
  // a line whole, so callers that take in turn never split one.
  long ReadLine(std::string* line, std::size_t most);

 private:
  struct State;
  State* state_;
};

// ---- threads --------------------------------------------------------------
// Plain threads run with asynchronous ends disabled; only a thread blocked
// in a read may be ended, inside a CancellableRegion.
// Starts a thread; the handle stays valid until JoinThread. `atEnd` runs
// once when the thread ends, however it ends: after the body returns, in the
// unwind of an end, or, where an end unwinds nothing, on the thread that
// ended it once the thread is gone.
DUCTRINE_PLATFORM_API Handle StartThread(ThreadBody body, ThreadBody atEnd = {});
DUCTRINE_PLATFORM_API void JoinThread(Handle thread);
// Ends the thread, or the fiber, where it blocks in a CancellableRegion (a
// fiber: where it waits inside one, unwinding it); one that is not there
// now ends at its next such wait. Never the caller.
DUCTRINE_PLATFORM_API bool TerminateThreadAt(Handle thread);
// True when the handle is the calling thread or the fiber running on it.
DUCTRINE_PLATFORM_API bool IsCurrentThread(Handle thread);
// True when the thread or fiber ended by TerminateThreadAt.
DUCTRINE_PLATFORM_API bool ThreadWasTerminated(Handle thread);

class DUCTRINE_PLATFORM_API CancellableRegion {
 public:
  CancellableRegion();
  ~CancellableRegion();
  CancellableRegion(const CancellableRegion&) = delete;
  CancellableRegion& operator=(const CancellableRegion&) = delete;

 private:
  int previous_;
};

// ---- clock ----------------------------------------------------------------
DUCTRINE_PLATFORM_API std::int64_t ClockSeconds();
// Tests fix the clock (negative restores the real one).
DUCTRINE_PLATFORM_API void SetClockForTesting(std::int64_t seconds);
DUCTRINE_PLATFORM_API bool ToLocalTime(std::int64_t seconds, std::tm* out);

// ---- module state ---------------------------------------------------------
// The per-call switch of module state that BeginStage makes: restores the
// previous module on every way out.
class DUCTRINE_PLATFORM_API ModuleStateGuard {
 public:
  explicit ModuleStateGuard(const void* module);
  ~ModuleStateGuard();
  ModuleStateGuard(const ModuleStateGuard&) = delete;
  ModuleStateGuard& operator=(const ModuleStateGuard&) = delete;
  static const void* Current();

 private:
  const void* previous_;
};

DUCTRINE_PLATFORM_API unsigned ProcessId();
DUCTRINE_PLATFORM_API unsigned ProcessorCount();

// ---- what the pipe command needs of its process ---------------------------
// The folder of the running executable, without a trailing "/"; empty when
// it cannot be found.
DUCTRINE_PLATFORM_API std::string ExecutableFolder();
// The folder of this platform library; stage modules are installed beside
// it. Empty when it cannot be found.
DUCTRINE_PLATFORM_API std::string PlatformLibraryFolder();

// Stage modules stay loaded for the life of the process: a stage thread may
// still be unwinding through module code when the run returns.
struct StageModule {
  // Null on failure, with the loader's explanation in `error` and an error
  // code: that of the shortage when the process ran short (of descriptors,
  // of memory), 0 when the loader refused the file itself (not a module of
  // this system, one of another ABI, a dependency missing).
  DUCTRINE_PLATFORM_API static void* Load(const std::string& path, std::string* error);
  // The address of an exported symbol; null when the module has none.
  DUCTRINE_PLATFORM_API static void* Symbol(void* module, const char* name);
};

// Call once, first thing, before any descriptor is opened. Standard input,
// output and error are open afterwards: a closed one is opened on the null
// device for reading only (input reads as its end, a write fails with the
// code of a closed descriptor), so that no descriptor of ours takes its
// number. A reader of standard output that goes away, or a file that reaches
// the process's size limit, makes the write fail with its error code instead
// of ending the process.
DUCTRINE_PLATFORM_API void PrepareCommandProcess();
// Creates a new file for the owner alone (mode 0600 on POSIX), open for
// writing; never opens one that exists, nor follows a link of that name.
// Null with the error code set on failure (EEXIST when the name is taken).
DUCTRINE_PLATFORM_API std::FILE* CreatePrivateFile(const char* name);
// Up to `size` bytes of standard input: the count, 0 at its end, -1 on an
// error (code set). Blocks; a console stage calls it inside a
// CancellableRegion so that a stop can end it there.
DUCTRINE_PLATFORM_API long ReadStandardInput(char* buffer, std::size_t size);
// Writes all of `bytes` to standard output; callers of this function never
// interleave inside one call. False on an error (code set; the broken-pipe
// code when the reader has gone).
DUCTRINE_PLATFORM_API bool WriteStandardOutput(std::string_view bytes);
DUCTRINE_PLATFORM_API bool StandardOutputIsTerminal();
// The error code of a write to a reader that has gone.
DUCTRINE_PLATFORM_API int BrokenPipeCode();
// Removes the shared segment `name` when an interrupt, hangup or termination
// request ends the process at once (without OnTerminatingSignal, or a second
// one under it), which then ends as that signal would have ended it. An
// empty name forgets the segment. One segment per process.
DUCTRINE_PLATFORM_API void RemoveSegmentOnInterrupt(std::string_view name);

// An interrupt, hangup or termination request (Windows: CTRL+C, CTRL+BREAK,
// closing the console window) no longer ends the process at once: `stop`
// runs once, on a thread of its own, console input ends (a stage at the
// trace prompt reads an empty line), and the process goes on so that the
// run can end the orderly way; EndIfTerminatingSignal ends it then. A second
// such signal ends the process at once, after setting every read-only
// attribute that the run cleared again (POSIX). Where no watch can be had
// (no descriptor or thread to spare), the first signal does that. A signal
// that the parent chose to ignore stays ignored. Call on the main thread before any other thread
// starts (they inherit what it sets); one watch at a time.
DUCTRINE_PLATFORM_API void OnTerminatingSignal(std::function<void()> stop);
// Ends the watch. When a terminating signal has come, ends the process as
// that signal would have ended it (POSIX: by the signal, status 128+n;
// Windows: STATUS_CONTROL_C_EXIT) and does not return.
DUCTRINE_PLATFORM_API void EndIfTerminatingSignal();

}  // namespace ductrine::platform
