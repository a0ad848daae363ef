// What the writer's tests share: files in and out, a scratch folder per test,
// the writer run as its users run it, and the shape of a refusal.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "tests/support/process.h"

namespace writer_test {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& p, const std::string& contents) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << contents;
}

inline uint64_t le64(const std::string& s, size_t at) {
  return load_le64(reinterpret_cast<const unsigned char*>(s.data() + at));
}

/// A folder of its own for each test: named after the test and this process,
/// so that suites of other build trees on the machine never share it.
class ScratchTest : public ::testing::Test {
 protected:
  explicit ScratchTest(const std::string& prefix) : prefix_(prefix) {}
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir = fs::temp_directory_path() / (prefix_ + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "app");
  }
  void TearDown() override { fs::remove_all(dir); }

  RunResult pack(const std::vector<std::string>& args, const std::string& writer = MORDAX_PACK_PATH) {
    return run_program(writer, args);
  }
  // A refusal: non-zero status, one line naming `why`, and no partial output.
  void expect_refused(const RunResult& r, const std::string& why, const fs::path& out) {
    EXPECT_NE(r.status, 0u) << why;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out.string() + ".partial"));
  }

  fs::path dir;

 private:
  std::string prefix_;
};

}  // namespace writer_test
