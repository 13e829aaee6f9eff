// The tallyfold command: convert and check MT940 statement files from a shell.
#include <getopt.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "commands.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/text.hpp"

namespace {

using tallyfold::CsvDialect;
using tallyfold::cli::Format;
using tallyfold::cli::kExitOk;
using tallyfold::cli::kExitTrouble;
using tallyfold::cli::Options;

constexpr const char* kUsage =
    "usage: tallyfold convert FILE... --to json|ndjson|csv|camt|mt940 [-o PATH] [OPTIONS]\n"
    "       tallyfold check FILE... [OPTIONS]\n"
    "       tallyfold --help | --version\n";

constexpr const char* kHelp =
    "Convert and check bank statement files: SWIFT MT940/MT942, and ISO 20022\n"
    "camt.052/053/054 XML (told apart by their content, not their names).\n"
    "\n"
    "Commands:\n"
    "  convert FILE...      write the statements of the files as JSON, JSON Lines, CSV,\n"
    "                       ISO 20022 XML (camt.053; camt.052 for MT942 interim reports)\n"
    "                       or MT940 (MT942 for interim reports)\n"
    "  check FILE...        print one line per statement and whether its balances reconcile\n"
    "\n"
    "Options:\n"
    "  -t, --to FORMAT      convert: json, ndjson (one transaction per line), csv, camt\n"
    "                       (also camt053, camt052: the statements' kind decides), or\n"
    "                       mt940 (also mt942)\n"
    "  -o, --output PATH    convert: one file for all inputs (default and \"-\": standard\n"
    "                       output); a directory (existing, or PATH ending in \"/\") for\n"
    "                       one file per input; files found in a directory FILE keep\n"
    "                       their path below it\n"
    "      --csv-dialect D  convert --to csv: standard (default: \",\" between fields,\n"
    "                       \".\" in amounts), excel (the same, CRLF line ends) or\n"
    "                       excel-eu (\";\" between fields, \",\" in amounts, CRLF, for\n"
    "                       spreadsheets set to a European locale)\n"
    "      --camt-version V convert --to camt: 02, 06 or 08 (default), each valid\n"
    "                       against its official schema (with --strict: today's fixed\n"
    "                       camt.053.001.06 layout, not schema-valid)\n"
    "      --created TIME   convert --to camt: creation time written instead of now\n"
    "                       (2026-01-31T12:00:00Z, 2026-01-31, @SECONDS); default:\n"
    "                       SOURCE_DATE_EPOCH when set, else the time of conversion\n"
    "      --camt-entry-status S\n"
    "                       convert --to camt: booked (default) or pending, the status\n"
    "                       of MT942 entries (pending for banks that report pre-noted\n"
    "                       items in MT942)\n"
    "      --split-accounts convert --to camt: one document per account, written beside\n"
    "                       the output as STEM.ACCOUNT.xml (needs -o)\n"
    "      --line-ending E  convert --to mt940: crlf (default, as SWIFT writes) or lf\n"
    "  -j, --jobs N         convert: inputs converted at once (default: number of cores)\n"
    "  -r, --resolver NAME  details decoders: auto (default), swift, gvc, angular\n"
    "  -e, --encoding NAME  read the input in this character set (iconv name, such as\n"
    "                       latin-1, cp1252, cp850); without it, UTF-8 or else the most\n"
    "                       plausible European code page (with --strict: UTF-8 only)\n"
    "      --strict         parse the text exactly as read: no unwrapping, no repairs\n"
    "  -q, --quiet          leave out the notes that say what was repaired (warnings stay)\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "\n"
    "FILE \"-\" reads standard input; a directory stands for every file below it (files\n"
    "that are no statement files are passed over with a note). Files are read as banks\n"
    "deliver them: envelopes, separator and header lines are removed, fields that banks\n"
    "write differently are repaired, and statements that cannot be completed are left\n"
    "out; each such step is reported on standard error as \"FILE:LINE: note: ...\" or\n"
    "\"FILE:LINE: warning: ...\". CSV cells that a spreadsheet would run as a formula get\n"
    "a leading apostrophe (not with --strict, whose output keeps its fixed form).\n"
    "\n"
    "Examples:\n"
    "  tallyfold convert statements/*.sta --to csv --csv-dialect excel-eu -o all.csv\n"
    "  tallyfold convert statements/*.sta --to camt -o converted/\n"
    "  tallyfold check march.sta --encoding cp1252\n"
    "\n"
    "Exit status (the highest of all inputs): 0 success, notes at most; 1 written, but\n"
    "with a warning, or check found a statement that does not reconcile; 2 usage error,\n"
    "or an input that could not be read, parsed or written.\n";

// "a, b, c" for the names in a usage message, `name` picking each item's name.
template <typename Items, typename Name = std::identity>
std::string joined(const Items& items, Name name = {}) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ", ";
    out += std::invoke(name, item);
  }
  return out;
}

int usage_error(const std::string& reason) {
  std::fprintf(stderr, "tallyfold: %s\n%s", reason.c_str(), kUsage);
  return kExitTrouble;
}

enum LongOnly { kStrict = 256, kCsvDialect, kCamtVersion, kCreated, kLineEnding, kCamtEntryStatus, kSplitAccounts };

constexpr std::array<std::pair<std::string_view, CsvDialect>, 3> kCsvDialects{{
    {"standard", CsvDialect::Standard},
    {"excel", CsvDialect::Excel},
    {"excel-eu", CsvDialect::ExcelEu},
}};

constexpr std::array<std::pair<std::string_view, Format>, 8> kFormats{{
    {"json", Format::Json},
    {"ndjson", Format::Ndjson},
    {"csv", Format::Csv},
    {"camt", Format::Camt},
    {"camt053", Format::Camt},
    {"camt052", Format::Camt},
    {"mt940", Format::Mt940},
    {"mt942", Format::Mt940},
}};

const option kLongOptions[] = {
    {"to", required_argument, nullptr, 't'},
    {"output", required_argument, nullptr, 'o'},
    {"jobs", required_argument, nullptr, 'j'},
    {"resolver", required_argument, nullptr, 'r'},
    {"encoding", required_argument, nullptr, 'e'},
    {"strict", no_argument, nullptr, kStrict},
    {"quiet", no_argument, nullptr, 'q'},
    {"csv-dialect", required_argument, nullptr, kCsvDialect},
    {"camt-version", required_argument, nullptr, kCamtVersion},
    {"created", required_argument, nullptr, kCreated},
    {"camt-entry-status", required_argument, nullptr, kCamtEntryStatus},
    {"split-accounts", no_argument, nullptr, kSplitAccounts},
    {"line-ending", required_argument, nullptr, kLineEnding},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("missing command");
  const std::string_view command = argv[1];
  if (command == "-h" || command == "--help") {
    std::fputs(kUsage, stdout);
    std::fputs("\n", stdout);
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (command == "-V" || command == "--version") {
    std::puts("tallyfold " TALLYFOLD_VERSION);
    return kExitOk;
  }
  const bool convert = command == "convert";
  if (!convert && command != "check") {
    return usage_error("unknown command '" + std::string(command) + "'");
  }

  Options options;
  std::optional<std::string> encoding_name;
  bool line_ending = false;
  opterr = 0;  // our own messages, named after the program rather than the command
  optind = 1;
  int sub_argc = argc - 1;
  char** sub_argv = argv + 1;
  for (int c; (c = getopt_long(sub_argc, sub_argv, ":t:o:j:r:e:qhV", kLongOptions, nullptr)) != -1;) {
    const std::string_view arg = optarg ? optarg : "";
    switch (c) {
      case 't': {
        const std::string name = tallyfold::ascii_lower(arg);
        const auto* found = std::find_if(kFormats.begin(), kFormats.end(),
                                         [&](const auto& f) { return f.first == name; });
        if (found == kFormats.end()) {
          return usage_error("unknown format '" + std::string(arg) + "' (json, ndjson, csv, camt, camt053, camt052 or mt940)");
        }
        options.format = found->second;
        options.format_name = name;
        break;
      }
      case 'o':
        options.output = std::string(arg);
        break;
      case 'j': {
        unsigned jobs = 0;
        auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), jobs);
        if (ec != std::errc{} || end != arg.data() + arg.size() || jobs == 0 || jobs > 1024) {
          return usage_error("--jobs needs a number from 1 to 1024");
        }
        options.jobs = jobs;
        break;
      }
      case 'r':
        if (auto unknown = tallyfold::unknown_resolver(arg)) return usage_error(*unknown);
        options.resolver = std::string(arg);
        break;
      case 'e':
        encoding_name = std::string(arg);
        break;
      case kCsvDialect: {
        const auto* found = std::find_if(kCsvDialects.begin(), kCsvDialects.end(),
                                         [&](const auto& d) { return d.first == arg; });
        if (found == kCsvDialects.end()) {
          return usage_error("unknown CSV dialect '" + std::string(arg) + "' (" +
                             joined(kCsvDialects, [](const auto& d) { return d.first; }) + ")");
        }
        options.csv_dialect = found->second;
        break;
      }
      case kCamtVersion:
        options.camt_version = tallyfold::camt_version_from(arg);
        if (!options.camt_version) {
          return usage_error("unknown camt version '" + std::string(arg) + "' (02, 06 or 08)");
        }
        break;
      case kCreated:
        options.created = tallyfold::parse_timestamp(arg);
        if (!options.created) {
          return usage_error("--created needs a time such as 2026-01-31T12:00:00Z, 2026-01-31 or @SECONDS");
        }
        break;
      case kCamtEntryStatus:
        options.camt_entry_status = tallyfold::camt_entry_status_from(arg);
        if (!options.camt_entry_status) {
          return usage_error("unknown entry status '" + std::string(arg) + "' (booked or pending)");
        }
        break;
      case kSplitAccounts:
        options.split_accounts = true;
        break;
      case kLineEnding:
        if (arg != "crlf" && arg != "lf") return usage_error("unknown line ending '" + std::string(arg) + "' (crlf or lf)");
        options.lf = arg == "lf";
        line_ending = true;
        break;
      case kStrict:
        options.strict = true;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(kHelp, stdout);
        return kExitOk;
      case 'V':
        std::puts("tallyfold " TALLYFOLD_VERSION);
        return kExitOk;
      case ':':
        return usage_error(std::string("option '") + sub_argv[optind - 1] + "' needs a value");
      default:
        return usage_error(std::string("unrecognized option '") + sub_argv[optind - 1] + "'");
    }
  }
  for (int i = optind; i < sub_argc; ++i) options.inputs.emplace_back(sub_argv[i]);

  if (options.inputs.empty()) return usage_error("no input files (use \"-\" for standard input)");
  if (convert && !options.format) return usage_error("convert needs --to json|ndjson|csv|camt|mt940");
  if (!convert && (options.format || options.output || options.jobs)) {
    return usage_error("check takes no --to, --output or --jobs");
  }
  if (!convert && options.csv_dialect) return usage_error("check takes no --csv-dialect");
  if (options.csv_dialect && options.format != Format::Csv) {
    return usage_error("--csv-dialect needs --to csv");
  }
  if ((options.camt_version || options.created) && options.format != Format::Camt) {
    return usage_error(std::string(options.camt_version ? "--camt-version" : "--created") + " needs --to camt");
  }
  if ((options.camt_version || options.created) && options.strict) {
    return usage_error(std::string(options.camt_version ? "--camt-version" : "--created") +
                       " does not apply to --strict, whose camt.053 layout is fixed");
  }
  if (line_ending && options.format != Format::Mt940) return usage_error("--line-ending needs --to mt940");
  if ((options.camt_entry_status || options.split_accounts) && (options.format != Format::Camt || options.strict)) {
    return usage_error(std::string(options.split_accounts ? "--split-accounts" : "--camt-entry-status") +
                       " needs --to camt without --strict");
  }
  if (options.split_accounts && (!options.output || *options.output == "-")) {
    return usage_error("--split-accounts needs -o PATH, beside which each account's document is written");
  }
  if (options.output == "-") options.output.reset();  // standard output, as without -o
  if (encoding_name) {
    auto encoding = tallyfold::named_encoding(*encoding_name);
    if (!encoding) return usage_error(encoding.error().message);
    options.encoding = std::move(*encoding);
  }
  return convert ? tallyfold::cli::run_convert(options) : tallyfold::cli::run_check(options);
}
