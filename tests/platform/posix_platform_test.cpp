// The Linux backend against the real system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <zlib.h>

#include "extract/checksum.h"
#include "launcher/launch.h"
#include "platform/platform.h"
#include "common/utf.h"

namespace fs = std::filesystem;

namespace {

std::u16string wide(const std::string& utf8) {
  std::u16string out(utf8.size() + 1, u'\0');
  long n = utf8_to_utf16(utf8.data(), utf8.size(), out.data(), out.size());
  EXPECT_GE(n, 0) << utf8;
  out.resize(size_t(n < 0 ? 0 : n));
  return out;
}

std::string full(const std::string& path, uint32_t capacity = kPathCapacity) {
  std::u16string in = wide(path);
  std::u16string out(capacity, u'\0');
  uint32_t n = platform::full_path(in.c_str(), out.data(), capacity);
  if (n == 0) return "<fail>";
  if (n >= capacity) return "<needs " + std::to_string(n) + ">";
  std::string back;
  utf16_to_utf8(out.c_str(), &back);
  return back;
}

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("mordax-posix-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::u16string at(const std::string& name) { return wide((dir / name).string()); }
  void write(const std::string& name, const std::string& contents) {
    std::ofstream(dir / name, std::ios::binary) << contents;
  }
  fs::path dir;
};

TEST(Utf, ConversionsAreStrict) {
  std::string s;
  EXPECT_TRUE(utf16_to_utf8(u"caf\x00e9 \xD83D\xDE00", &s));
  EXPECT_EQ(s, "caf\xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_FALSE(utf16_to_utf8(u"\xD800x", &s));
  EXPECT_FALSE(utf16_to_utf8(u"x\xDC00", &s));
  char16_t out[8];
  EXPECT_EQ(utf8_to_utf16("\xf0\x9f\x98\x80", 4, out, 8), 2);
  EXPECT_EQ(utf8_to_utf16("\xc0\xaf", 2, out, 8), -1);      // overlong
  EXPECT_EQ(utf8_to_utf16("\xed\xa0\x80", 3, out, 8), -1);  // a surrogate
  EXPECT_EQ(utf8_to_utf16("\xe4\xb8", 2, out, 8), -1);      // cut short
  EXPECT_EQ(utf8_to_utf16("abcdefgh", 8, out, 8), -1);      // no room for the terminator
  EXPECT_EQ(utf8_to_utf16("abcdefg", 7, out, 8), 7);
}

TEST(FullPath, IsLexicalLikeGetFullPathName) {
  std::string cwd = fs::current_path().string();
  EXPECT_EQ(full("/a/./b/../c//d/"), "/a/c/d");
  EXPECT_EQ(full("/../.."), "/");
  EXPECT_EQ(full("rel/x"), cwd + "/rel/x");
  EXPECT_EQ(full(""), "<fail>");
  EXPECT_EQ(full("/abc", 4), "<needs 5>");
  EXPECT_EQ(full("/abc", 5), "/abc");
}

// The only root here is "/", however many slashes spell it.
TEST(FullPath, OnlyTheFileSystemsRootIsARootFolder) {
  for (const char16_t* root : {u"/", u"//", u"///"}) EXPECT_TRUE(is_root_directory(root));
  for (const char16_t* folder : {u"/a", u"/a/", u"//a", u"/C:", u"/\\"}) EXPECT_FALSE(is_root_directory(folder));
}

// The variables the folders come from, given back as they were: later tests in
// the same process read them.
class Folders : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* value = getenv(name);
      saved.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < saved.size(); ++i) {
      if (saved[i])
        setenv(kNames[i], saved[i]->c_str(), 1);
      else
        unsetenv(kNames[i]);
    }
  }
  static constexpr const char* kNames[] = {"HOME", "XDG_CACHE_HOME", "TMPDIR"};
  std::vector<std::optional<std::string>> saved;
};

TEST_F(Folders, FollowTheEnvironment) {
  char16_t out[kPathCapacity];
  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CACHE_HOME", "relative/cache", 1);
  ASSERT_EQ(platform::known_folder(platform::KnownFolder::local_app_data, out, kPathCapacity), 20u);
  EXPECT_EQ(std::u16string(out), u"/home/someone/.cache");
  setenv("XDG_CACHE_HOME", "/var/cache/me", 1);
  ASSERT_EQ(platform::known_folder(platform::KnownFolder::local_app_data, out, kPathCapacity), 13u);
  EXPECT_EQ(std::u16string(out), u"/var/cache/me");
  setenv("TMPDIR", "/scratch", 1);
  EXPECT_EQ(platform::temp_path(out, kPathCapacity), 9u);
  EXPECT_EQ(std::u16string(out), u"/scratch/");
  // One protocol for every filled buffer: what does not fit gives the size it
  // needs, terminator included, and writes nothing.
  out[0] = u'x';
  EXPECT_EQ(platform::temp_path(out, 9), 10u);
  EXPECT_EQ(platform::known_folder(platform::KnownFolder::local_app_data, out, 13), 14u);
  EXPECT_EQ(out[0], u'x');
  unsetenv("TMPDIR");
  platform::temp_path(out, kPathCapacity);
  EXPECT_EQ(std::u16string(out), u"/tmp/");
}

TEST(Environment, ValuesConvertOrReadAsNotSet) {
  char16_t out[64];
  setenv("MORDAX_T", "caf\xc3\xa9", 1);
  EXPECT_EQ(platform::get_environment(u"MORDAX_T", out, 64), 4u);
  EXPECT_EQ(std::u16string(out), u"caf\x00e9");
  EXPECT_EQ(platform::get_environment(u"MORDAX_T", out, 4), 5u);  // too small: size needed
  setenv("MORDAX_T", "bad\xff", 1);
  EXPECT_EQ(platform::get_environment(u"MORDAX_T", out, 64), 0u);
  EXPECT_TRUE(platform::set_environment(u"MORDAX_T", u"\x4E2D"));
  EXPECT_STREQ(getenv("MORDAX_T"), "\xe4\xb8\xad");
  EXPECT_FALSE(platform::set_environment(u"MORDAX_T", u"\xD800"));
  EXPECT_TRUE(platform::set_environment(u"MORDAX_T", nullptr));
  EXPECT_EQ(getenv("MORDAX_T"), nullptr);
}

TEST_F(Scratch, FileChecksumCases) {
  write("check", "123456789");
  write("empty", "");
  write("zero", std::string("\x9d\x0a\xd9\x6d", 4));
  fs::create_directory(dir / "dir");
  fs::create_symlink(dir / "check", dir / "link");
  EXPECT_EQ(file_checksum(at("check").c_str()), 0xCBF43926u);
  EXPECT_EQ(file_checksum(at("empty").c_str()), 0u);
  EXPECT_EQ(file_checksum(at("zero").c_str()), 1u);
  EXPECT_EQ(file_checksum(at("dir").c_str()), 0u);
  EXPECT_EQ(file_checksum(at("absent").c_str()), 0u);
  EXPECT_EQ(file_checksum(at("link").c_str()), 0u);  // a planted link never matches
  // A named pipe never matches either, at once: waiting for a writer would
  // hang the start (the alarm ends the test instead).
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  alarm(10);
  EXPECT_EQ(file_checksum(at("pipe").c_str()), 0u);
  alarm(0);
}

TEST_F(Scratch, WrittenFilesGetExecutePermissionWhenTheyArePrograms) {
  umask(022);
  auto mode_after = [&](const std::string& name, bool program, const std::string& contents) {
    platform::OutputFile f;
    EXPECT_TRUE(platform::open_for_writing(at(name).c_str(), program, &f));
    if (!contents.empty()) {
      EXPECT_TRUE(platform::write_file(&f, contents.data(), uint32_t(contents.size())));
    }
    platform::close_file(&f);
    struct stat st;
    stat((dir / name).c_str(), &st);
    return st.st_mode & 0777;
  };
  EXPECT_EQ(mode_after("child", true, "anything"), 0755u);
  EXPECT_EQ(mode_after("elf", false, "\x7f" "ELF..."), 0755u);
  EXPECT_EQ(mode_after("script", false, "#!/bin/sh\n"), 0755u);
  EXPECT_EQ(mode_after("data", false, "plain"), 0644u);
  EXPECT_EQ(mode_after("empty", false, ""), 0644u);
  // Rewriting keeps the file but settles its mode for the new contents.
  EXPECT_EQ(mode_after("elf", false, "now text"), 0644u);
  EXPECT_EQ(mode_after("data", false, "#!now a script"), 0755u);
}

// A file of several frames is written in pieces, in any order, through a
// handle each: only the piece at offset 0 says whether it is a program.
TEST_F(Scratch, PiecesWrittenAtOffsetsMakeTheFileAndOnlyTheFirstSettlesItsMode) {
  umask(022);
  auto written_in_pieces = [&](const std::string& name, const std::string& first, const std::string& rest) {
    platform::OutputFile f;
    EXPECT_TRUE(platform::open_for_writing(at(name).c_str(), false, &f));
    platform::close_file(&f);
    for (int piece : {1, 0, 1}) {  // the later piece before and after the first
      EXPECT_TRUE(platform::open_for_writing_at(at(name).c_str(), false, &f));
      const std::string& bytes = piece == 0 ? first : rest;
      EXPECT_TRUE(platform::write_file_at(&f, piece == 0 ? 0 : first.size(), bytes.data(), uint32_t(bytes.size())));
      platform::close_file(&f);
    }
    struct stat st;
    stat((dir / name).c_str(), &st);
    std::ifstream in(dir / name, std::ios::binary);
    std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(contents, first + rest);
    return st.st_mode & 0777;
  };
  EXPECT_EQ(written_in_pieces("elf", "\x7f" "ELF", "...rest"), 0755u);
  EXPECT_EQ(written_in_pieces("data", "plain", "#!not first"), 0644u);
  platform::OutputFile f;
  EXPECT_FALSE(platform::open_for_writing_at(at("absent").c_str(), false, &f));
  fs::create_symlink(dir / "data", dir / "planted");
  EXPECT_FALSE(platform::open_for_writing_at(at("planted").c_str(), false, &f));
}

TEST_F(Scratch, WritingNeverFollowsALinkAtTheRecordPath) {
  write("victim", "precious");
  fs::create_symlink(dir / "victim", dir / "planted");
  platform::OutputFile f;
  EXPECT_FALSE(platform::open_for_writing(at("planted").c_str(), false, &f));
  std::ifstream in(dir / "victim");
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(contents, "precious");
}

TEST_F(Scratch, WritingRefusesANamedPipeAtTheRecordPathAtOnce) {
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  platform::OutputFile f;
  alarm(10);  // waiting for a reader would hang the start
  EXPECT_FALSE(platform::open_for_writing(at("pipe").c_str(), false, &f));
  alarm(0);
}

TEST_F(Scratch, AFileOfOursWithoutWritePermissionIsRewritten) {
  // Root writes any file whatever its mode, so the case runs as another user.
  constexpr uid_t kUser = 54321;
  bool as_root = geteuid() == 0;
  write("read-only", "old contents");
  fs::permissions(dir / "read-only", fs::perms(0444));
  if (as_root) {
    ASSERT_EQ(chown((dir / "read-only").c_str(), kUser, kUser), 0);
  }
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (as_root && (setgid(kUser) != 0 || setuid(kUser) != 0)) _exit(3);
    platform::OutputFile f;
    if (!platform::open_for_writing(at("read-only").c_str(), false, &f)) _exit(1);
    bool ok = platform::write_file(&f, "new", 3);
    platform::close_file(&f);
    _exit(ok ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(fs::file_size(dir / "read-only"), 3u);
  EXPECT_EQ(fs::status(dir / "read-only").permissions(), fs::perms(0644));
}

TEST_F(Scratch, DirectoryCreationTellsExistingFromFailed) {
  EXPECT_EQ(platform::create_directory(at("d").c_str()), platform::DirectoryResult::created);
  EXPECT_EQ(platform::create_directory(at("d").c_str()), platform::DirectoryResult::already_exists);
  write("f", "x");
  EXPECT_EQ(platform::create_directory(at("f").c_str()), platform::DirectoryResult::already_exists);
  EXPECT_EQ(platform::create_directory(at("missing/d").c_str()), platform::DirectoryResult::failed);
}

TEST(ModulePath, CutsToTheCapacityLikeGetModuleFileName) {
  char16_t out[kPathCapacity];
  uint32_t n = platform::module_path(out, kPathCapacity);
  ASSERT_GT(n, 0u);
  std::string self;
  utf16_to_utf8(out, &self);
  EXPECT_EQ(self, fs::read_symlink("/proc/self/exe").string());
  char16_t small[4];
  EXPECT_EQ(platform::module_path(small, 4), 4u);
  EXPECT_EQ(small[3], 0);
}

// The decoder's window lands on huge-page boundaries so the system can back it
// with huge pages; small allocations come from malloc. All are aligned, whole and
// writable, and each goes back the way it came (ASan sees a mismatch).
TEST(LargeMemory, LargeAllocationsStartOnHugePageBoundaries) {
  const platform::LargeMemory* memory = platform::large_memory();
  ASSERT_NE(memory, nullptr);
  constexpr size_t kHuge = size_t(2) << 20;
  for (size_t size : {size_t(1), size_t(4096), kHuge - 1, kHuge, size_t(130) << 20}) {
    auto* p = static_cast<unsigned char*>(memory->allocate(nullptr, size));
    ASSERT_NE(p, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u) << size;
    if (size >= kHuge) {
      EXPECT_LT(reinterpret_cast<uintptr_t>(p) % kHuge, 4096u) << size;
    }
    p[0] = 1;
    p[size - 1] = 2;
    memory->release(nullptr, p);
  }
  memory->release(nullptr, nullptr);
}

TEST(Time, IsTheWindowsFileTimeCount) {
  int64_t t = platform::system_time();
  int64_t unix_seconds = t / 10000000 - 11644473600;
  EXPECT_NEAR(double(unix_seconds), double(time(nullptr)), 2.0);
}

}  // namespace

namespace {

TEST_F(Scratch, AFileOf4GiBOrMoreIsComparedWhole) {
  // Sparse: 2^32 zero bytes, then "abc".
  {
    std::ofstream out(dir / "big", std::ios::binary);
    out.seekp(std::streamoff(1) << 32);
    out << "abc";
  }
  // The CRC of 2^32 zero bytes, by doubling the CRC of 1 MiB of them.
  std::string zeros(1 << 20, '\0');
  uLong expected = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), uInt(zeros.size()));
  for (z_off_t length = 1 << 20; length < (z_off_t(1) << 32); length *= 2)
    expected = crc32_combine(expected, expected, length);
  expected = crc32_combine(expected, crc32(0, reinterpret_cast<const Bytef*>("abc"), 3), 3);
  EXPECT_EQ(file_checksum(at("big").c_str()), expected == 0 ? 1 : expected);
}

}  // namespace
