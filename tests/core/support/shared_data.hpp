// The real bank files the tests read: ../shared/corpus (MT940/MT942) and
// ../shared/camt-corpus beside the checkout (CMake finds the folder, see
// shared_data.cmake). They are not part of the repository, so a test that needs them
// opens with TALLYFOLD_SHARED_DATA: absent, the test skips and says why; with the
// environment variable CI set, it fails instead, so CI cannot quietly stop reading them.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace tallyfold::test {

inline bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}

// The folder `name` of the shared data, whether or not it is there.
inline std::filesystem::path shared_path(std::string_view name) {
  return std::filesystem::path(TALLYFOLD_SHARED_DIR) / name;
}

inline std::string shared_absent(std::string_view name) {
  return "no shared data at " + shared_path(name).string() + " (../shared/" + std::string(name) +
         " beside the checkout)";
}

inline std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file of the data and its name relative to the folder walked ("bank/file.sta").
struct DataFile {
  std::filesystem::path path;
  std::string name;
};

// Every data file under `root`, sorted by name; notes (*.md) and dot files are not data.
inline std::vector<DataFile> data_files(const std::filesystem::path& root) {
  std::vector<DataFile> files;
  if (!std::filesystem::is_directory(root)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::filesystem::path& path = entry.path();
    if (path.extension() == ".md" || path.filename().string().starts_with(".")) continue;
    files.push_back({path, std::filesystem::relative(path, root).generic_string()});
  }
  std::sort(files.begin(), files.end(), [](const DataFile& a, const DataFile& b) { return a.name < b.name; });
  return files;
}

}  // namespace tallyfold::test

// Declares `var`, the path of the shared folder `name` ("corpus", "camt-corpus"); when
// the folder is absent, ends the test here: skipped with the reason, failed under CI.
#define TALLYFOLD_SHARED_DATA(var, name)                                          \
  const std::filesystem::path var = ::tallyfold::test::shared_path(name);         \
  if (!std::filesystem::is_directory(var)) {                                      \
    if (::tallyfold::test::in_ci()) {                                             \
      GTEST_FAIL() << ::tallyfold::test::shared_absent(name) << ", and CI is set"; \
    }                                                                             \
    GTEST_SKIP() << ::tallyfold::test::shared_absent(name);                       \
  }
