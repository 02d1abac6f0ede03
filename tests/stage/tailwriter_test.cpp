// The built tailwriter module, loaded the way the pipe command loads it, run
// through the run engine on real files in a temporary folder, which is also
// the working folder while a test runs (names from records have no slash).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#if !defined(_WIN32)
#include <sys/resource.h>

#include <csignal>
#endif

#include "platform/platform.h"
#include "tests/harness/flavour.h"
#include "tests/harness/harness.h"

namespace ductrine::test {
namespace {

namespace fs = std::filesystem;
using fs::perms;
using Records = std::vector<std::string>;

struct Outcome {
  std::int32_t rc = -1;       // the tailwriter stage's return code
  std::uint32_t highest = 0;  // the run's highestReturnCode
  Records output;
  std::vector<perms> modes;  // the operand's file's, as each record came out
  std::string console;       // its console lines, date and time masked
};

class TailwriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::string error;
    static const StageEntry loaded = LoadBuiltModule("tailwriter", &error);
    ASSERT_NE(entry = loaded, nullptr) << error;
    dir = fs::temp_directory_path() /
          ("ductrine-tailwriter-" + std::to_string(platform::ProcessId()) + "-" +
           testing::UnitTest::GetInstance()->current_test_info()->name());
    RemoveAll(dir.string());  // left by an earlier process of the same id
    fs::create_directories(dir);
    previous = fs::current_path();
    fs::current_path(dir);
    // An eighth of it makes the open-file set small (3 files at once), so
    // that names come back after their file was closed to make room.
    platform::SetOpenFileLimitForTesting(24);
  }
  void TearDown() override {
    platform::SetOpenFileLimitForTesting(0);
    fs::current_path(previous);
    RemoveAll(dir.string());
  }

  std::string Path(const std::string& name) const { return (dir / name).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Files hold text as this flavour's text mode writes it.
  static void Write(const std::string& path, const std::string& content, perms mode = perms::none) {
    RemoveAll(path);
    std::ofstream(path, std::ios::binary) << FileText(content);
    if (mode != perms::none) fs::permissions(path, mode);
  }
  // What this flavour keeps of a mode: every bit on POSIX; on Windows only
  // the read-only attribute, which is the owner's write bit.
  static perms Mode(const std::string& path) { return Shown(fs::status(path).permissions()); }
  static perms Shown(perms mode) {
#if defined(_WIN32)
    return mode & perms::owner_write;
#else
    return mode & perms::mask;
#endif
  }

  // DATA -> TAILWRITER -> COLLECTOR; `names`, when there are any, feed the
  // stage's secondary input; `before(i)` runs in DATA before it writes record i.
  Outcome RunStage(const std::string& operands, Records records, Records names = {},
                   std::function<void(std::size_t)> before = {}) {
    TestRun run;
    Outcome outcome;
    const std::size_t from = console.Text().size();
    StageRef data = run.Add(0, "DATA", [&](CProcess& self, CPipeSet& set) {
      for (std::size_t i = 0; i < records.size(); ++i) {
        if (before) before(i);
        if (!set.WriteRecord(self, 0, records[i])) break;
      }
      return 0;
    });
    StageRef stage = run.AddEntry(0, "TAILWRITER", entry, operands);
    run.Connect(data, stage);
    run.Connect(stage, run.Add(0, "COLLECTOR", [&](CProcess& self, CPipeSet& set) {
      std::string record;
      for (; set.PeekRecord(self, 0, record); set.ConsumeRecord(self, 0)) {
        outcome.output.push_back(record);
        // The record has reached the file, which is still open.
        if (fs::is_regular_file(operands)) outcome.modes.push_back(Mode(operands));
      }
      return 0;
    }));
    if (!names.empty()) run.Connect(run.Add(1, "NAMES", Producer(names)), stage);
    RunResult result = run.Run();
    outcome.rc = result.Code(stage.pipe, stage.stage);
    outcome.highest = result.highestReturnCode;
    std::string line;
    std::istringstream in(console.Text().substr(from));
    while (std::getline(in, line)) outcome.console += MaskStamp(line) + "\n";
    return outcome;
  }
  StageEntry entry = nullptr;
  fs::path dir, previous;
  ConsoleCapture console;
};

// A message issued by the tailwriter stage (stage 1 of pipe `p`).
std::string StageMessage(const std::string& body, int p = 0) {
  return "<stamp>PIPE: Pipe(" + std::to_string(p) + "),Stage(1),Type(TAILWRITER): " + body + "\n";
}

// The end of a message about a system error: the code and the system's
// words for it (a lock conflict, which POSIX calls "try again", is told as
// what it means).
std::string Rc(int code) {
  return std::to_string(code) + ",\n                    Reason: " + platform::OpenFailureText(code);
}

// A file named by the operand.

TEST_F(TailwriterTest, AppendsRecordsAsLines) {
  const perms readOnly = perms::owner_read | perms::group_read | perms::others_read;
  const perms odd = perms::owner_read | perms::owner_exec | perms::group_write | perms::others_exec;
  struct Case {
    const char* label;
    std::optional<std::string> before;  // nullopt: the file does not exist
    Records records;
    std::string after;
    perms mode = perms::none;  // of the file before, and again after
    std::string added = {};    // appended by another writer after the probe
  };
  const Case cases[] = {
    {"NewFile", std::nullopt, {"a", "b", "c"}, "a\nb\nc"},
    {"NoRecordsNoFile", std::nullopt, {}, ""},
    {"NoRecordsKeepsFile", "keep", {}, "keep", readOnly},
    {"EndsInLineFeed", "old\n", {"x", "y"}, "old\nx\ny", odd},
    {"LacksLineFeed", "old", {"x", "y"}, "old\nx\ny", readOnly},
    {"Empty", "", {"x", "y"}, "x\ny", perms::owner_read | perms::owner_write},
    // An empty record is an empty line; first in a new file it is nothing.
    {"EmptyRecordsInNewFile", std::nullopt, {"", "a", "", ""}, "\na\n\n"},
    // The file gets the part before a NUL; the output the whole record.
    {"NulByte", std::nullopt, {std::string("ab\0cd", 5), "e"}, "ab\ne"},
    {"CarriageReturnIsData", "old\r", {"x"}, "old\r\nx"},
#if !defined(_WIN32)  // there the probe's deny-write share keeps every other writer out
    // Whether a line end comes first is decided under the lock the writes
    // hold: what another writer appends after the probe counts.
    {"AppendedAfterTheProbe", "line1\n", {"REC"}, "line1\nabc\nREC", perms::none, "abc"},
#endif
  };
  const std::string file = Path("out.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RemoveAll(file);
    if (c.before) Write(file, *c.before, c.mode);
    Outcome outcome = RunStage(file, c.records, {}, [&](std::size_t) {
      if (!c.added.empty())
        std::ofstream(file, std::ios::binary | std::ios::app) << FileText(c.added);
    });
    EXPECT_EQ(outcome.rc, 0);
    EXPECT_EQ(outcome.console, "");
    EXPECT_EQ(Read(file), FileText(c.after));
    // Without records nothing is created: the probe leaves nothing behind.
    EXPECT_EQ(fs::exists(file), c.before || !c.records.empty());
    EXPECT_EQ(outcome.output, c.records);
    if (c.mode == perms::none) continue;
    // Only the owner write bit is added, and only while the stage appends.
    EXPECT_EQ(outcome.modes,
              std::vector<perms>(c.records.size(), Shown(c.mode | perms::owner_write)));
    EXPECT_EQ(Mode(file), Shown(c.mode));
  }
}

// Past 2 GiB, where a 32-bit long ends, the probe still finds the last byte.
// The file is sparse: it takes no room on the disk.
TEST_F(TailwriterTest, AppendsToAFileOfMoreThanTwoGibibytes) {
  const std::uintmax_t size = std::uintmax_t{3} << 30;
  Write(Path("big.log"), "");
  fs::resize_file(Path("big.log"), size);  // ends in a NUL byte, not in a line end
  EXPECT_EQ(RunStage(Path("big.log"), {"a"}).console, "");
  std::ifstream in(Path("big.log"), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), FileText("\na"));
}

// A target that cannot be written fails its own stage while running: the
// other pipes run, and the stages before it keep what they were given (as a
// second target of tee would). A dangling link is never followed into
// creating its target.
TEST_F(TailwriterTest, AFailingTargetFailsItsOwnStageOnly) {
  Write(Path("held.txt"), "precious\n");
  fs::create_directory(Path("folder"));
  std::vector<std::pair<std::string, int>> cases = {
      {Path("no/such/folder.txt"), kErrors.pathNotFound},
      {Path("held.txt"), kErrors.sharingViolation},
      {Path("folder"), platform::DirectoryErrorCode()}};
  std::error_code noLinks;
  fs::create_symlink(Path("gone.txt"), Path("dangling.txt"), noLinks);
  if (!noLinks) cases.emplace_back(Path("dangling.txt"), kErrors.fileExists);
  std::FILE* holder =
      platform::OpenFileShared(Path("held.txt").c_str(), "a", platform::Share::kDenyReadWrite);
  ASSERT_NE(holder, nullptr);
  const Records records = {"1", "2", "3", "4", "5"};
  for (const auto& [target, code] : cases) {
    SCOPED_TRACE(target);
    RemoveAll(Path("good.txt"));
    RemoveAll(Path("other.txt"));
    const std::size_t from = console.Text().size();
    TestRun run;
    StageRef data = run.Add(0, "DATA", Producer(records));
    StageRef good = run.AddEntry(0, "TAILWRITER", entry, Path("good.txt"));
    StageRef bad = run.AddEntry(0, "TAILWRITER", entry, target);
    run.Connect(data, good);
    run.Connect(good, bad);
    StageRef other = run.AddEntry(1, "TAILWRITER", entry, Path("other.txt"));
    run.Connect(run.Add(1, "DATA", Producer({"b"})), other);
    RunResult result = run.Run();
    EXPECT_EQ(result.Code(0, 1), 0);
    EXPECT_EQ(result.Code(0, 2), 3);
    EXPECT_EQ(result.Code(1, 1), 0);
    EXPECT_EQ(result.highestReturnCode, 2002u);
    EXPECT_EQ(Read(Path("good.txt")), FileText("1\n2\n3\n4\n5"));
    EXPECT_EQ(Read(Path("other.txt")), "b");
    EXPECT_FALSE(fs::exists(Path("gone.txt")));
    EXPECT_EQ(MaskStamp(console.Text().substr(from)),
              "<stamp>PIPE: Pipe(0),Stage(2),Type(TAILWRITER): 2002RE: Output file: '" + target +
                  "' failed to open, Rc: " + Rc(code) + "\n");
  }
  std::fclose(holder);
  EXPECT_EQ(Read(Path("held.txt")), FileText("precious\n"));
}

// The full device takes every byte into the buffer and fails every real write.
TEST_F(TailwriterTest, AWriteFailureIsReportedOnceAndStopsTheStage) {
  if (!std::ifstream(kFullDevice)) GTEST_SKIP() << "no device that is always full";
  const std::string failure =
      "Failure writing file: '" + std::string(kFullDevice) + "', Rc: " + Rc(kErrors.diskFull);
  // Records still buffered when the file is closed; then enough to overflow
  // the stream buffer many times over.
  for (const Records& records : {Records{"a", "b", "c"}, Records(2000, std::string(1000, 'r'))}) {
    SCOPED_TRACE(records.size());
    Outcome outcome;  // other processes may hold the device's lock a moment
    WaitUntil([&] { return (outcome = RunStage(kFullDevice, records)).highest != 2002u; });
    EXPECT_EQ(outcome.rc, 3);
    EXPECT_EQ(outcome.highest, 2999u);
    // Reported once, at the failing write, not again at the close.
    EXPECT_EQ(outcome.console.find("2999RE:"), outcome.console.rfind("2999RE:")) << outcome.console;
    EXPECT_NE(outcome.console.find(failure), std::string::npos) << outcome.console;
    // The long run stops early; the short one passed everything on first.
    EXPECT_EQ(outcome.output.size() < records.size(), records.size() > 3);
  }
}

#if !defined(_WIN32)
// A write that fails part way (here at a file-size limit, whose signal is
// ignored, as pipe ignores it) leaves each file ending after its last whole
// record, read-only again; the other files have their records; a file this
// run created and never wrote is removed again.
TEST_F(TailwriterTest, AFailedWriteLeavesWholeRecordsOnly) {
  const std::string big(1000, 'r');
  struct Case {
    const char* label;
    Records records;
    std::string ro, w;  // what the files hold afterwards
    const char* failed;
  };
  Records many;
  for (int i = 1; i <= 6; ++i) {
    many.push_back("w.txt w" + std::to_string(i));
    many.push_back("ro.txt " + big);
  }
  const Case cases[] = {
      {"cut back", many, "old\n" + big + "\n" + big + "\n" + big + "\n" + big, "w1\nw2\nw3\nw4\nw5",
       "ro.txt"},
      {"created, never written", {"w.txt w1", "new.txt " + std::string(5000, 'n'), "w.txt w2"},
       "old\n", "w1", "new.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto child = [&] {
      Write(Path("ro.txt"), "old\n", perms::owner_read);
      RemoveAll(Path("w.txt"));
      RemoveAll(Path("new.txt"));
      std::signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = 4096;
      ::setrlimit(RLIMIT_FSIZE, &limit);
      Outcome outcome = RunStage("", c.records);
      const std::string message = "Failure writing file: '" + std::string(c.failed) +
                                  "', Rc: " + std::to_string(EFBIG) + ",\n";
      int failures = 0;
      if (outcome.rc != 3 || outcome.highest != 2999u) failures |= 1;
      if (outcome.console.find(message) == std::string::npos) failures |= 2;
      if (Read(Path("ro.txt")) != c.ro) failures |= 4;
      if (Mode(Path("ro.txt")) != perms::owner_read) failures |= 8;
      if (Read(Path("w.txt")) != c.w) failures |= 16;
      if (fs::exists(Path("new.txt"))) failures |= 32;
      std::fprintf(stderr, "%s", outcome.console.c_str());
      return failures;
    };
    EXPECT_EXIT(std::_Exit(child()), ::testing::ExitedWithCode(0), "");
  }
}
#endif

// An exception that leaves Run (here from the console, as a message goes
// out) still gets every record into its file and the read-only attribute
// set again: the stage object's end closes what is open.
TEST_F(TailwriterTest, AnExceptionLeavingRunLosesNothing) {
  Write(Path("ro.txt"), "old", perms::owner_read);
  RemoveAll(Path("w.txt"));
  bool thrown = false;
  platform::SetConsoleSink([&](std::string_view) {
    if (thrown) return;
    thrown = true;
    throw std::runtime_error("console gone");
  });
  Outcome outcome = RunStage("", {"ro.txt a", "w.txt b", "ro.txt c", "bad/name d"});
  platform::SetConsoleSink({});
  EXPECT_TRUE(thrown);
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(Read(Path("ro.txt")), FileText("old\na\nc"));
  EXPECT_EQ(Mode(Path("ro.txt")), Shown(perms::owner_read));
  EXPECT_EQ(Read(Path("w.txt")), "b");
}

// A name at the front of a record is checked as a file-name operand; a whole
// record on the name stream is a name as it stands. Both may hold a tab and
// name a link, which is followed; a NUL byte refuses either. A refused name
// or a failed open stops the stage with every file it had open complete and
// read-only again.
TEST_F(TailwriterTest, NamesFromRecordsAndTheNameStream) {
  struct Case {
    std::string name;
    std::optional<std::string> inRecord;  // nullopt: not tried; "": accepted
    std::optional<std::string> onStream;
  };
  auto invalid = [](const std::string& shown) {
    return "Invalid argument: '" + shown + "', valid filename expected.";
  };
  fs::create_directory(Path("sub"));
  std::vector<Case> cases = {
      {"sub/a.txt", invalid("sub/a.txt"), ""},
      {".hidden", invalid(".hidden"), ""},
      {Path("abs.txt"), std::nullopt, ""},
      {"%s%d|x", invalid("%s%d|x"), std::nullopt},
      {std::string("a\0b.txt", 7), invalid("a?b.txt"), invalid("a?b.txt")},
      {"", std::nullopt, "Output file: '' failed to open, Rc: " + Rc(kErrors.pathNotFound)},
#if !defined(_WIN32)  // no such bytes in a Windows file name
      {"a\tb.txt", "", ""},
      {"a\x1b[2J.txt", "", ""},
#endif
  };
  std::error_code noLinks;
  fs::create_symlink(Path("outside.txt"), Path("link.txt"), noLinks);
  if (!noLinks) {
    fs::create_symlink(Path("gone.txt"), Path("dangling.txt"));
    const std::string exists =
        "Output file: 'dangling.txt' failed to open, Rc: " + Rc(kErrors.fileExists);
    cases.push_back({"link.txt", "", ""});
    cases.push_back({"dangling.txt", exists, exists});
  }
  for (const Case& c : cases) {
    for (bool nameStream : {false, true}) {
      const std::optional<std::string>& expected = nameStream ? c.onStream : c.inRecord;
      if (!expected) continue;
      SCOPED_TRACE(testing::PrintToString(c.name) + (nameStream ? " on the name stream" : " in a record"));
      Write(Path("ro.txt"), "old", perms::owner_read);
      Write(Path("outside.txt"), "secret\n");
      RemoveAll(Path("w.txt"));
      if (c.name != "link.txt" && c.name != "dangling.txt") RemoveAll(c.name);
      Outcome outcome =
          nameStream ? RunStage("", {"a", "b", "c", "d", "e"},
                                {"ro.txt", "w.txt", "ro.txt", c.name, "w.txt"})
                     : RunStage("", {"ro.txt a", "w.txt b", "ro.txt c", c.name + " d", "w.txt e"});
      EXPECT_EQ(Read(Path("ro.txt")), FileText("old\na\nc"));
      EXPECT_EQ(Mode(Path("ro.txt")), Shown(perms::owner_read));
      EXPECT_FALSE(fs::exists(Path("gone.txt")));
      if (expected->empty()) {
        EXPECT_EQ(outcome.rc, 0);
        EXPECT_EQ(outcome.console, "");
        EXPECT_EQ(Read(c.name == "link.txt" ? Path("outside.txt") : c.name),
                  FileText(c.name == "link.txt" ? "secret\nd" : "d"));
        EXPECT_EQ(Read(Path("w.txt")), FileText("b\ne"));
        EXPECT_EQ(outcome.output, (Records{"a", "b", "c", "d", "e"}));
        continue;
      }
      EXPECT_EQ(outcome.rc, 3);
      EXPECT_EQ(outcome.console,
                StageMessage((expected->rfind("Invalid", 0) == 0 ? "2005RE: " : "2002RE: ") +
                             std::string("Stream: ") + std::to_string(nameStream) +
                             ", Rec: 4, " + *expected));
      EXPECT_EQ(Read(Path("w.txt")), "b");
      EXPECT_EQ(Read(Path("outside.txt")), FileText("secret\n"));
      EXPECT_EQ(outcome.output, (Records{"a", "b", "c"}));
    }
  }
  // An operand beside a name stream: refused before anything is read.
  Outcome outcome = RunStage("out.txt", {"a"}, {"names.txt"});
  EXPECT_EQ(outcome.rc, 3);
  EXPECT_EQ(outcome.highest, 2033u);
  EXPECT_EQ(outcome.console, StageMessage("2033RE: Unexpected argument: 'out.txt'."));
  EXPECT_FALSE(fs::exists(Path("out.txt")) || fs::exists(Path("names.txt")));
}

// The open-file set (names at the front of records, or on a name stream).

// What the stage wrote when it kept one file open at a time: a file gets a
// line end before a record unless it is empty or ends in one; no line end
// follows the last record; the file receives the data before a NUL.
struct Model {
  std::map<std::string, std::string> files;
  std::map<std::string, std::string> same;  // a second name of a file: its first
  std::string open;
  bool pending = false;
  void Append(const std::string& name, const std::string& data) {
    std::string& content = files[same.count(name) ? same[name] : name];
    if (name != open) pending = !content.empty() && content.back() != '\n';
    open = name;
    if (pending) content += '\n';
    content += data.substr(0, data.find('\0'));
    pending = true;
  }
};

TEST_F(TailwriterTest, WritesTheSameBytesAsOneFileAtATime) {
  // "A.txt" names "a.txt" where letter case does not count; "h.txt" is a hard
  // link to "b.txt" where there is one: the set's own lock must not keep a
  // file's second name out. "my file.txt" is quoted in a record.
  const Records names = {"a.txt", "b.txt", "c.txt", "A.txt", "h.txt", "my file.txt", "g.txt"};
  const Records starts = {"", "old", "old\n"};  // or no file at all
  const Records pieces = {"", "x", "longer data", std::string("n\0ul", 4), "trail ", "lf\n"};
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE(round);
    std::mt19937 random(static_cast<unsigned>(round));
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    Model model;
    Records readOnly;
    for (const std::string& name : names) RemoveAll(Path(name));
    for (const std::string& name : names) {
      std::error_code unlinked = std::make_error_code(std::errc::not_supported);
      if (name == "h.txt" && model.files.count("b.txt"))
        fs::create_hard_link(Path("b.txt"), Path(name), unlinked);
      if ((name == "A.txt" && kNamesIgnoreCase) || !unlinked) {
        model.same[name] = name == "A.txt" ? "a.txt" : "b.txt";
        continue;
      }
      std::size_t start = pick(starts.size() + 1);
      if (start == starts.size()) continue;
      model.files[name] = starts[start];
      bool locked = pick(3) == 0;
      Write(Path(name), starts[start], locked ? perms::owner_read : perms::none);
      if (locked) readOnly.push_back(name);
    }
    // Names interleave, run on, and come back after the set dropped them.
    Records chosen, data, records;
    for (int i = 0, count = 20 + static_cast<int>(pick(60)); i < count; ++i) {
      const std::string& name = names[pick(2) ? pick(3) : pick(names.size())];
      chosen.push_back(name);
      // Some data is empty or ends in a line end: the file's last byte, not
      // the record count, decides the line end when a name comes back.
      data.push_back(pieces[pick(pieces.size())] + (pick(3) ? std::to_string(i) : ""));
      model.Append(name, data.back());
      const bool quoted = name.find(' ') != std::string::npos;
      records.push_back((quoted ? "\"" + name + "\"" : name) + " " + data.back());
    }
    Outcome outcome = round % 2 == 1 ? RunStage("", data, chosen) : RunStage("", records);
    EXPECT_EQ(outcome.rc, 0);
    EXPECT_EQ(outcome.console, "");
    EXPECT_EQ(outcome.output, data);
    for (const auto& [name, content] : model.files)
      EXPECT_EQ(Read(Path(name)), FileText(content)) << name;
    for (const std::string& name : readOnly)
      EXPECT_EQ(Mode(Path(name)), Shown(perms::owner_read)) << name;
  }
}

// A file of the set that is not the current one is closed to everyone else:
// its records are in it, its lock is free, a read-only attribute is back.
// Coming back takes the lock again, failing as an open would. A file changed
// by another meanwhile, in the set or closed to make room, has its line-end
// decision follow what it holds now.
TEST_F(TailwriterTest, AFileLeftInTheSetLooksClosed) {
  // Stage 1 has moved from a.txt to c.txt when stage 2 appends to a.txt.
  {
    TestRun run;
    StageRef first = run.AddEntry(0, "TAILWRITER", entry);
    StageRef second = run.AddEntry(0, "TAILWRITER", entry);
    run.Connect(run.Add(0, "DATA", Producer({"a.txt b.txt x", "c.txt a.txt y"})), first);
    run.Connect(first, second);
    RunResult result = run.Run();
    EXPECT_EQ(result.Code(0, 1), 0);
    EXPECT_EQ(result.Code(0, 2), 0);
    EXPECT_EQ(Read(Path("a.txt")), FileText("b.txt x\ny"));
    EXPECT_EQ(Read(Path("b.txt")), "x");
    EXPECT_EQ(MaskStamp(console.Text()), "");
  }
  enum { kChanged, kChangedOutOfTheSet, kHeld };
  for (int how : {kChanged, kChangedOutOfTheSet, kHeld}) {
    SCOPED_TRACE(how);
    const bool held = how == kHeld;
    Write(Path("a.txt"), "old", perms::owner_read);
    RemoveAll(Path("b.txt"));
    // a.txt leaves the set (3 files at once) when c.txt and d.txt come in.
    const Records records = how == kChangedOutOfTheSet
                                ? Records{"a.txt 1", "b.txt 2", "c.txt -", "d.txt -", "a.txt 3"}
                                : Records{"a.txt 1", "b.txt 2", "a.txt 3"};
    std::FILE* holder = nullptr;
    Outcome outcome = RunStage("", records, {}, [&](std::size_t i) {
      if (i != records.size() - 1) return;
      // The stage has written a.txt and moved on.
      EXPECT_EQ(Read(Path("a.txt")), FileText("old\n1"));
      EXPECT_EQ(Mode(Path("a.txt")), Shown(perms::owner_read));
      holder = platform::OpenFileShared(Path("a.txt").c_str(), "rb", platform::Share::kDenyWrite);
      EXPECT_NE(holder, nullptr);
      if (held || !holder) return;
      std::fclose(holder);
      holder = nullptr;
      fs::permissions(Path("a.txt"), perms::owner_read | perms::owner_write);
      std::ofstream(Path("a.txt"), std::ios::binary | std::ios::app) << FileText("X\n");
      fs::permissions(Path("a.txt"), perms::owner_read);
    });
    if (holder) std::fclose(holder);
    EXPECT_EQ(Mode(Path("a.txt")), Shown(perms::owner_read));
    EXPECT_EQ(Read(Path("b.txt")), "2");
    if (!held) {
      EXPECT_EQ(outcome.rc, 0);
      EXPECT_EQ(outcome.console, "");
      EXPECT_EQ(Read(Path("a.txt")), FileText("old\n1X\n3"));
      continue;
    }
    EXPECT_EQ(outcome.rc, 3);
    EXPECT_EQ(outcome.console,
              StageMessage("2002RE: Stream: 0, Rec: 3, Input file: 'a.txt' failed to open, Rc: " +
                           Rc(kErrors.sharingViolation)));
    EXPECT_EQ(Read(Path("a.txt")), FileText("old\n1"));
  }
}

}  // namespace
}  // namespace ductrine::test
