// What the command reads and where it writes: inputs found by walking folders, and the
// output of each.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyfold::cli {

struct Input {
  std::string path;               // as named or found; "-" is standard input
  std::filesystem::path relative; // its output's path below -o DIR/, without extension change
  bool found = false;             // found inside a folder named on the command line
};

/// The inputs the arguments name, in order: a folder stands for every file below it,
/// walked recursively in byte order of the paths; anything else (standard input, a
/// missing file) stands for itself, to be reported when read. `messages` receives the
/// lines that say why a folder could not be walked; such a folder adds no input.
std::vector<Input> expand_inputs(const std::vector<std::string>& arguments, std::vector<std::string>& messages);

/// Whether -o names a folder to write one output per input into: an existing folder, or
/// a path ending in "/". Any other name is a file, however many inputs there are.
bool names_folder(std::string_view output);

/// The first of `targets` that is one of the inputs (the same file, also through links),
/// or nullopt. Standard input and targets that do not exist yet are never one.
std::optional<std::filesystem::path> target_among_inputs(const std::vector<Input>& inputs,
                                                         const std::vector<std::filesystem::path>& targets);

}  // namespace tallyfold::cli
