// The two commands of the tallyfold tool, over parsed options.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tallyfold/export.hpp"

namespace tallyfold::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNotReconciled = 1;  // check only
inline constexpr int kExitTrouble = 2;        // usage, unreadable or unparsable input

enum class Format { Json, Csv, Camt053 };

struct Options {
  std::vector<std::string> inputs;  // "-" is standard input
  std::optional<Format> format;
  std::optional<CsvDialect> csv_dialect;  // csv only; none: the standard one
  std::optional<std::string> output;
  unsigned jobs = 0;  // 0: one per core
  std::string resolver = "auto";
  std::optional<std::string> encoding;  // a name iconv accepts; none: UTF-8 only
  bool strict = false;                  // parse the text exactly as read
};

/// Converts every input; messages for failed inputs go to standard error in input order,
/// followed, for several inputs, by one line counting what became of them. kExitOk when
/// every input was written, kExitTrouble otherwise (usage errors included).
int run_convert(const Options& options);

/// Prints one line per statement; kExitOk when everything reconciles, kExitNotReconciled
/// when anything does not, kExitTrouble when an input could not be read or parsed.
int run_check(const Options& options);

}  // namespace tallyfold::cli
