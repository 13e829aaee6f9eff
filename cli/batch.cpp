#include "batch.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

namespace tallyfold::cli {
namespace {

namespace fs = std::filesystem;

// The identity of an existing file, which every link to it shares.
std::optional<std::pair<dev_t, ino_t>> identity(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return std::pair{info.st_dev, info.st_ino};
}

}  // namespace

std::vector<Input> expand_inputs(const std::vector<std::string>& arguments, std::vector<std::string>& messages) {
  std::vector<Input> inputs;
  for (const std::string& argument : arguments) {
    std::error_code ec;
    if (argument == "-" || !fs::is_directory(argument, ec)) {
      inputs.push_back(Input{argument, argument == "-" ? fs::path("stdin") : fs::path(argument).filename(), false});
      continue;
    }
    std::vector<fs::path> found;
    fs::recursive_directory_iterator walk(argument, ec), end;
    for (; !ec && walk != end; walk.increment(ec)) {
      std::error_code type_ec;
      if (walk->is_regular_file(type_ec)) found.push_back(walk->path());
    }
    if (ec) {
      messages.push_back("tallyfold: " + argument + ": " + ec.message());
      continue;
    }
    // The order of a folder's entries is the file system's; sorted, outputs come in the
    // same order on every machine.
    std::sort(found.begin(), found.end());
    for (fs::path& path : found) {
      fs::path relative = path.lexically_relative(argument);
      inputs.push_back(Input{path.string(), std::move(relative), true});
    }
  }
  return inputs;
}

bool names_folder(std::string_view output) {
  std::error_code ec;
  return output.ends_with('/') || fs::is_directory(fs::path(output), ec);
}

std::optional<fs::path> target_among_inputs(const std::vector<Input>& inputs, const std::vector<fs::path>& targets) {
  std::set<std::pair<dev_t, ino_t>> read;
  for (const Input& input : inputs) {
    if (input.path == "-") continue;
    if (const auto id = identity(input.path)) read.insert(*id);
  }
  for (const fs::path& target : targets) {
    if (target.empty()) continue;
    if (const auto id = identity(target); id && read.contains(*id)) return target;
  }
  return std::nullopt;
}

}  // namespace tallyfold::cli
