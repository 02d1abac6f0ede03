// Files the platform makes: a file for the process alone, and the read-only
// attribute dance of an append open, as a user who may not write the file
// (root lets its capability to override file modes go).
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "tests/harness/flavour.h"

namespace ductrine::platform {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file made for the process alone (the stall dump) is always a new one: a
// name that is taken, by a file or by a link planted there, is refused and
// nothing is written through it.
TEST(PrivateFile, IsNewForTheOwnerAloneAndNeverWrittenThroughAName) {
  const fs::path folder = fs::temp_directory_path() / ("ductrine-private-" + std::to_string(ProcessId()));
  test::RemoveAll(folder.string());
  fs::create_directory(folder);
  std::ofstream(folder / "taken.txt") << "kept";
  std::error_code noLinks;
  fs::create_symlink(folder / "target.txt", folder / "link.txt", noLinks);
  for (const char* name : {"new.txt", "taken.txt", "link.txt"}) {
    SCOPED_TRACE(name);
    if (name == std::string("link.txt") && noLinks) continue;
    const std::string path = (folder / name).string();
    std::FILE* file = CreatePrivateFile(path.c_str());
    if (name == std::string("new.txt")) {
      ASSERT_NE(file, nullptr);
      std::fputs("dump", file);
      std::fclose(file);
#if !defined(_WIN32)
      EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
      continue;
    }
    EXPECT_EQ(file, nullptr);
    if (file) std::fclose(file);
  }
  EXPECT_EQ(Read((folder / "taken.txt").string()), "kept");
  EXPECT_FALSE(fs::exists(folder / "target.txt"));
  test::RemoveAll(folder.string());
}

#if !defined(_WIN32)
// Write permission counts from now on, for root too. False when it cannot.
bool LoseOverride() {
  if (::geteuid() != 0) return true;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned lost = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
  data[0].effective &= ~lost;
  return ::syscall(SYS_capset, &header, data) == 0;
}

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// In a child process: the failures it found, one bit each.
int Dance(const fs::path& dir, bool swap) {
  const std::string target = (dir / "a.txt").string(), moved = (dir / "moved.txt").string(),
                    secret = (dir / "private.txt").string();
  std::ofstream(target) << "old";
  std::ofstream(secret) << "secret";
  ::chmod(target.c_str(), 0444);
  ::chmod(secret.c_str(), 0600);
  if (!LoseOverride()) return 1;
  // Between the two opens the file is swapped for a link to another.
  if (swap) {
    SetReopenHookForTesting([&] {
      ::rename(target.c_str(), moved.c_str());
      ::symlink(secret.c_str(), target.c_str());
    });
  }
  AppendFile file;
  const AppendOpen result = OpenForAppend(target.c_str(), &file);
  SetReopenHookForTesting({});
  int failures = 0;
  if ((result == AppendOpen::kOpened) == swap) failures |= 2;
  if (result == AppendOpen::kOpened) {
    if (ModeOf(target) != 0644) failures |= 4;  // writable while open
    WriteAppendFile(&file, "new", 3);
    CloseAppendFile(target.c_str(), &file);
  }
  const std::string original = swap ? moved : target;
  if (ModeOf(original) != 0444) failures |= 8;
  if (ModeOf(secret) != 0600 || Read(secret) != "secret") failures |= 16;
  if (Read(original) != (swap ? "old" : "oldnew")) failures |= 32;
  return failures;
}

TEST(AppendOpen, TheReadOnlyAttributeIsClearedAndSetOnTheOneFile) {
  for (bool swap : {false, true}) {
    SCOPED_TRACE(swap ? "swapped for a link between the opens" : "left alone");
    const fs::path dir = fs::temp_directory_path() /
                         ("ductrine-files-" + std::to_string(ProcessId()) + "-" +
                          std::to_string(swap));
    fs::remove_all(dir);
    fs::create_directories(dir);
    EXPECT_EXIT(std::_Exit(Dance(dir, swap)), ::testing::ExitedWithCode(0), "");
    fs::remove_all(dir);
  }
}
#endif

}  // namespace
}  // namespace ductrine::platform
