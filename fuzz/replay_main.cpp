// Stands in for libFuzzer where the compiler has none: runs the target once over every
// file named on the command line, descending into directories, so ctest keeps each
// target exercised over its seeds. Paths that do not exist are skipped with a note,
// because the shared bank corpus is not present in every checkout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << path.string() << "\n";
    return false;
  }
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // A copy of exactly `size` bytes, so that ASan sees any read past the end.
  const std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t inputs = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path root(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_regular_file(root, ec)) {
      ok = run_file(root) && ok;
      ++inputs;
    } else if (std::filesystem::is_directory(root, ec)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());  // a stable order makes failures repeatable
      for (const auto& file : files) {
        ok = run_file(file) && ok;
        ++inputs;
      }
    } else {
      std::cerr << "skipping missing " << root.string() << "\n";
    }
  }
  std::cout << "replayed " << inputs << " inputs\n";
  return ok ? 0 : 1;
}
