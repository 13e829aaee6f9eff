// The two commands of the tallyfold tool, over parsed options.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <cstdint>

#include "tallyfold/export.hpp"
#include "tallyfold/iso20022.hpp"

namespace tallyfold::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitWarned = 1;         // written, but the reading gave a warning
inline constexpr int kExitNotReconciled = 1;  // check: something does not reconcile
inline constexpr int kExitTrouble = 2;        // usage, unreadable or unparsable input

// camt: camt.053 for statements, camt.052 for interim reports, whichever name asked.
enum class Format { Json, Csv, Ndjson, Camt, Mt940 };

struct Options {
  std::vector<std::string> inputs;  // "-" is standard input; a folder stands for the files below it
  std::optional<Format> format;
  std::string format_name;                // as given, in lower case ("camt052")
  std::optional<CsvDialect> csv_dialect;  // csv only; none: the standard one
  std::optional<std::string> output;
  unsigned jobs = 0;  // 0: one per core
  std::string resolver = "auto";
  std::optional<std::string> encoding;  // a name iconv accepts; none: detected (UTF-8 only with strict)
  bool strict = false;                  // parse the text exactly as read
  bool quiet = false;                   // leave out the notes of the bank-file reading
  bool lf = false;                      // MT940 lines end with LF alone rather than CRLF
  std::optional<CamtVersion> camt_version;  // camt only; none: 08
  std::optional<std::int64_t> created;      // camt only; none: SOURCE_DATE_EPOCH, else now
  std::optional<CamtEntryStatus> camt_entry_status;  // camt only; none: booked
  bool split_accounts = false;              // camt only: one document per account
};

/// Converts every input: into one output (the -o file, else standard output) holding
/// the statements of all inputs, or with -o DIR/ into one output per input. What the
/// reading said of each input and why an input failed go to standard error in input
/// order, followed, for several inputs, by one line counting what became of them and
/// one line per failed input with its error. The highest status of any input: kExitOk
/// when it was written, kExitWarned when it was written but the reading gave a warning,
/// kExitTrouble when it could not be written. Nothing is written when an output would
/// overwrite an input, or when several inputs of both kinds would share one camt
/// document.
int run_convert(const Options& options);

/// Prints one line per statement; kExitOk when everything reconciles, kExitNotReconciled
/// when anything does not or the reading gave a warning, kExitTrouble when an input could
/// not be read or parsed.
int run_check(const Options& options);

}  // namespace tallyfold::cli
