// The Windows backend on the system (under Wine in CI).
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "extract/checksum.h"
#include "platform/platform.h"

namespace {

std::u16string temp_file(const char16_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::u16string(reinterpret_cast<const char16_t*>(dir)) + name;
}

const wchar_t* w(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

TEST(Win32Checksum, AFileOf4GiBOrMoreIsComparedWhole) {
  // A sparse file of 2^32 + 3 bytes: zeros, then "abc". Taking the size as 32
  // bits would checksum three zero bytes only.
  std::u16string path = temp_file(u"mordax-4gib.bin");
  HANDLE file = CreateFileW(w(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD ignored;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = 1LL << 32;
  SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
  CloseHandle(file);

  // zlib's CRC-32 of the same bytes, 1 MiB of zeros at a time.
  std::vector<unsigned char> zeros(1 << 20);
  uLong expected = crc32(0, nullptr, 0);
  for (int i = 0; i < 4096; ++i) expected = crc32(expected, zeros.data(), uInt(zeros.size()));
  expected = crc32(expected, reinterpret_cast<const Bytef*>("abc"), 3);
  ASSERT_NE(expected, 0u);  // so the stored form is the CRC itself
  EXPECT_EQ(file_checksum(path.c_str()), expected);
  DeleteFileW(w(path));
}

// cmd.exe would run it with the launcher's command line; Windows drops the
// dots and spaces after a name, so "run.bat." is the same file.
TEST(Win32Child, ABatchFileIsNoProgramWhateverItsCaseOrTrailingDotsAndSpaces) {
  std::u16string bat = temp_file(u"mordax-child.bat");
  HANDLE file = CreateFileW(w(bat), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, "@exit 0\r\n", 9, &written, nullptr);
  CloseHandle(file);
  platform::StandardHandles handles = platform::standard_handles();
  for (const char16_t* name : {u"mordax-child.bat", u"MORDAX-CHILD.BaT", u"mordax-child.bat.", u"mordax-child.bat . ",
                               u"mordax-other.Cmd"}) {
    platform::Child child{};
    uint32_t error = 0;
    EXPECT_FALSE(platform::start_child(temp_file(name).c_str(), nullptr, handles, &child, &error)) << w(temp_file(name));
    EXPECT_EQ(error, uint32_t(ERROR_BAD_EXE_FORMAT));
  }
  DeleteFileW(w(bat));
}

// Launchers that opt in write a file of several frames in pieces, from
// several threads, each through its own handle, both open at once.
TEST(Win32Files, PiecesAtOffsetsThroughHandlesOpenAtOnceMakeTheFile) {
  std::u16string path = temp_file(u"mordax-pieces.bin");
  platform::OutputFile created{}, first{}, second{};
  ASSERT_TRUE(platform::open_for_writing(path.c_str(), false, &created));
  platform::close_file(&created);
  ASSERT_TRUE(platform::open_for_writing_at(path.c_str(), false, &first));
  ASSERT_TRUE(platform::open_for_writing_at(path.c_str(), false, &second));
  EXPECT_TRUE(platform::write_file_at(&second, 5, " world", 6));
  EXPECT_TRUE(platform::write_file_at(&first, 0, "hello", 5));
  platform::close_file(&first);
  platform::close_file(&second);
  HANDLE file = CreateFileW(w(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  char buffer[32] = {};
  DWORD read = 0;
  ReadFile(file, buffer, sizeof buffer, &read, nullptr);
  CloseHandle(file);
  EXPECT_EQ(std::string(buffer, read), "hello world");
  EXPECT_FALSE(platform::open_for_writing_at(temp_file(u"mordax-absent.bin").c_str(), false, &first));
  DeleteFileW(w(path));
}

TEST(Win32Checksum, EmptyFilesDirectoriesAndAbsentFilesYieldZero) {
  std::u16string empty = temp_file(u"mordax-empty.bin");
  CloseHandle(CreateFileW(w(empty), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  std::u16string dir = temp_file(u"mordax-dir");
  CreateDirectoryW(w(dir), nullptr);
  EXPECT_EQ(file_checksum(empty.c_str()), 0u);
  EXPECT_EQ(file_checksum(dir.c_str()), 0u);
  EXPECT_EQ(file_checksum(temp_file(u"mordax-absent.bin").c_str()), 0u);
  DeleteFileW(w(empty));
  RemoveDirectoryW(w(dir));
}

TEST(Win32Directories, AlreadyExistingIsToldApartFromFailure) {
  std::u16string dir = temp_file(u"mordax-created");
  RemoveDirectoryW(w(dir));
  EXPECT_EQ(platform::create_directory(dir.c_str()), platform::DirectoryResult::created);
  EXPECT_EQ(platform::create_directory(dir.c_str()), platform::DirectoryResult::already_exists);
  EXPECT_EQ(platform::create_directory(temp_file(u"mordax-missing\\below").c_str()),
            platform::DirectoryResult::failed);
  RemoveDirectoryW(w(dir));
}

TEST(Win32Files, AFileMarkedReadOnlyHiddenOrSystemIsRewritten) {
  for (DWORD attribute : {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
    std::u16string path = temp_file(u"mordax-marked.txt");
    SetFileAttributesW(w(path), FILE_ATTRIBUTE_NORMAL);
    HANDLE old = CreateFileW(w(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(old, "old contents", 12, &written, nullptr);
    CloseHandle(old);
    ASSERT_TRUE(SetFileAttributesW(w(path), attribute));
    platform::OutputFile file;
    bool opened = platform::open_for_writing(path.c_str(), false, &file);
    EXPECT_TRUE(opened) << "attribute " << attribute;
    if (opened) {
      EXPECT_TRUE(platform::write_file(&file, "new", 3));
      platform::close_file(&file);
      WIN32_FILE_ATTRIBUTE_DATA data;
      ASSERT_TRUE(GetFileAttributesExW(w(path), GetFileExInfoStandard, &data));
      EXPECT_EQ(data.nFileSizeLow, 3u);
    }
    SetFileAttributesW(w(path), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(w(path));
  }
}

TEST(Win32Child, AChildEndedByForceReportsAnInterruptedRun) {
  // This test program itself, held suspended, stands in for a child that
  // ignores the event.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t line[] = L"child";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(self, line, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                             &process));
  CloseHandle(process.hThread);
  platform::terminate_process(reinterpret_cast<intptr_t>(process.hProcess));
  uint32_t status = 0;
  EXPECT_EQ(platform::wait_child_status(reinterpret_cast<intptr_t>(process.hProcess), &status),
            platform::ChildEnd::status);
  EXPECT_EQ(status, 0xC000013Au);
  CloseHandle(process.hProcess);
}

// A start through a shortcut and one from a prompt name the same folder in
// different spellings. While one thread holds the lock under one, another
// spelling must wait; the holder then ends holding it, which abandons it to
// the waiter.
TEST(Win32Lock, EverySpellingOfOneFolderTakesOneLock) {
  std::u16string folder = temp_file(u"Mordax-Lock-Folder");
  std::u16string other = temp_file(u"mordax-lock-other");
  RemoveDirectoryW(w(folder));
  wchar_t short_name[MAX_PATH];
  ASSERT_TRUE(CreateDirectoryW(w(folder), nullptr));
  ASSERT_NE(GetShortPathNameW(w(folder), short_name, MAX_PATH), 0u);
  std::u16string upper = folder, slashes = folder;
  for (char16_t& c : upper) c = c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
  for (char16_t& c : slashes) c = c == u'\\' ? u'/' : c;
  // A folder on a drive that does not exist cannot be opened: its lock is
  // named for its path, which still ignores case, "\\?\" and '/'.
  const char16_t* absent = u"Q:\\mordax\\absent";
  struct Case {
    std::u16string held, spelling;
    bool waits;
  };
  const Case cases[] = {{folder, upper, true},
                        {folder, u"\\\\?\\" + folder, true},
                        {folder, slashes, true},
                        {folder, reinterpret_cast<const char16_t*>(short_name), true},
                        {folder, other, false},
                        {absent, u"\\\\?\\q:/MORDAX/Absent", true},
                        {absent, u"Q:\\mordax\\other", false}};
  for (const Case& c : cases) {
    HANDLE locked = CreateEventW(nullptr, TRUE, FALSE, nullptr), finish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
      EXPECT_EQ(platform::lock_target_directory(c.held.c_str()), platform::TargetLock::held);
      SetEvent(locked);
      WaitForSingleObject(finish, INFINITE);
    });
    WaitForSingleObject(locked, INFINITE);
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
      EXPECT_EQ(platform::lock_target_directory(c.spelling.c_str()), platform::TargetLock::held);
      taken = true;
    });
    Sleep(300);
    EXPECT_EQ(!taken, c.waits) << w(c.spelling);
    SetEvent(finish);
    holder.join();
    waiter.join();
    platform::unlock_target_directory();
    CloseHandle(locked);
    CloseHandle(finish);
  }
  RemoveDirectoryW(w(folder));
  RemoveDirectoryW(w(other));
}

}  // namespace
