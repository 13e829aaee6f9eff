#include "commands.hpp"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <set>
#include <span>
#include <thread>

#include "batch.hpp"
#include "input.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/mt_export.hpp"
#include "tallyfold/read.hpp"
#include "tallyfold/reconcile.hpp"
#include "tallyfold/sink.hpp"
#include "tallyfold/text.hpp"

namespace tallyfold::cli {
namespace {

namespace fs = std::filesystem;

std::string error_line(std::string_view name, std::string_view reason) {
  std::string line = "tallyfold: ";
  line += name;
  line += ": ";
  line += reason;
  return line;
}

// "tallyfold: NAME:LINE: " (no line part for line 0), then the text made printable.
std::string located_line(std::string_view name, std::size_t line, std::string_view text) {
  std::string out = "tallyfold: ";
  out += name;
  if (line != 0) {
    out += ':';
    out += std::to_string(line);
  }
  out += ": ";
  append_printable(text, out);
  return out;
}

// One input read, or why it could not be; what the reading said comes with it.
struct Loaded {
  std::vector<Statement> statements;
  std::vector<std::string> messages;  // lines for standard error, in order
  bool warned = false;                // the reading left something out or guessed
  bool failed = false;                // `error` says why
  bool skipped = false;               // found in a folder, and no statement file
  std::string error;                  // the line that says why it failed, without "tallyfold: "

  void fail(std::string line) {
    messages.push_back(line);
    error = line.substr(std::string_view("tallyfold: ").size());
    failed = true;
  }
};

// A file found in a folder that holds no statement is passed over; one named on the
// command line is an error, as the user meant it to be read.
bool skip_non_statement(const Input& input, const Options& options, const ParseError& error, Loaded& loaded) {
  if (!input.found || !holds_no_statement(error)) return false;
  loaded.skipped = true;
  if (!options.quiet) loaded.messages.push_back(located_line(input.path, 0, "note: not a statement file, skipped"));
  return true;
}

// One input through the core's reading: exact with --strict, else the bank-file reading,
// whose every repair is reported with the line of the file it concerns.
void load(const Input& input, const Options& options, bool shows_balances, Loaded& loaded) {
  const std::string name = display_name(input.path);
  auto bytes = input.path == "-" ? read_whole_file(STDIN_FILENO) : read_whole_file(input.path);
  if (!bytes) {
    loaded.fail(error_line(name, std::strerror(bytes.error())));
    return;
  }
  ReadOptions read_options;
  read_options.strict = options.strict;
  read_options.encoding = options.encoding;
  read_options.resolver = options.resolver;
  auto file = read_statement_file(*bytes, read_options);
  if (!file) {
    const ReadError& error = file.error();
    if (error.not_utf8) {
      loaded.fail(error_line(name, message(error.error) +
                                       "; name its encoding with --encoding, for example --encoding latin-1"));
      return;
    }
    if (skip_non_statement(input, options, error.error.error, loaded)) return;
    if (!error.line_in_message) {
      // As quoted by the bank-file reading: a value cut short, never a flood.
      loaded.fail(error_line(name, short_message(LocatedError{0, error.error.error})));
    } else if (options.strict) {
      // Decoding for the exact reading names no line, as its parse errors name none.
      loaded.fail(error_line(name, message(error.error)));
    } else {
      loaded.fail(located_line(name, error.error.line, short_message(error.error)));
    }
    return;
  }
  for (const Diagnostic& d : file->diagnostics) {
    loaded.warned |= d.severity == Severity::Warning;
    if (d.severity == Severity::Note && options.quiet) continue;
    // A line that shows the balances already says the statement does not reconcile.
    if (shows_balances && d.kind == kDoesNotReconcile) continue;
    std::string text(severity_text(d.severity));
    text += ": ";
    text += d.message;
    loaded.messages.push_back(located_line(name, d.line, text));
  }
  loaded.statements = std::move(file->statements);
}

// Reads and parses one input. The readings keep no state, so this runs on any number of
// threads at once.
Loaded load_statements(const Input& input, const Options& options, bool shows_balances = false) {
  Loaded loaded;
  try {
    load(input, options, shows_balances, loaded);
  } catch (const std::exception& e) {
    loaded.statements.clear();
    loaded.fail(error_line(display_name(input.path), std::string("internal error: ") + e.what()));
  }
  return loaded;
}

std::string_view extension(Format format) {
  switch (format) {
    case Format::Json: return ".json";
    case Format::Csv: return ".csv";
    case Format::Ndjson: return ".ndjson";
    case Format::Camt: return ".xml";
    case Format::Mt940: return ".sta";
  }
  return "";
}

CamtOptions camt_options(const Options& options) {
  return CamtOptions{options.camt_version.value_or(CamtVersion::V08), options.created.value_or(0),
                     options.camt_entry_status.value_or(CamtEntryStatus::Booked)};
}

// Why an export failed, as shown.
struct ExportFailure {
  std::string reason;
};

// Writes the export into `sink`, or gives the reason to show; `warnings` receives what
// the writer left out, `notes` what it wrote in another form.
std::optional<ExportFailure> export_as(const Options& options, std::span<const Statement> statements,
                                       OutputSink& sink, std::vector<std::string>& warnings,
                                       std::vector<std::string>& notes) {
  auto shown = [](const Result<std::size_t>& written) -> std::optional<ExportFailure> {
    if (!written) return ExportFailure{message(written.error())};
    return std::nullopt;
  };
  auto refused = [](const ParseError& error) { return ExportFailure{message(error)}; };
  // The exact reading writes its fixed forms; a bank file the forms made for it.
  const bool bank = !options.strict;
  const JsonOptions json{.bank_fields = bank, .exact_amounts = bank};
  switch (*options.format) {
    case Format::Json: return shown(write_json(statements, sink, json));
    case Format::Ndjson: return shown(write_json_lines(statements, sink, json));
    case Format::Csv:
      return shown(write_csv(statements, sink, CsvOptions{options.csv_dialect.value_or(CsvDialect::Standard), bank, bank}));
    case Format::Camt: {
      if (options.strict) return shown(write_camt053(statements, sink));
      auto document = write_camt(statements, camt_options(options), sink);
      if (!document) return refused(document.error());
      warnings = std::move(document->warnings);
      return std::nullopt;
    }
    case Format::Mt940: {
      auto document = write_mt(statements, sink, MtOptions{!options.lf});
      if (!document) return refused(document.error());
      warnings = std::move(document->warnings);
      notes = std::move(document->notes);
      const auto reports = std::count_if(statements.begin(), statements.end(),
                                         [](const Statement& s) { return s.kind == StatementKind::InterimReport; });
      if (reports > 0) notes.push_back(std::to_string(reports) + " interim reports written as MT942, the message for them");
      return std::nullopt;
    }
  }
  return ExportFailure{"unknown output format"};
}

// An open output file, or standard output, written as the export goes. A regular file
// can be gone back over, so that camt needs one pass; a pipe cannot.
class FileSink final : public OutputSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {
    struct stat st {};
    rewritable_ = ::fstat(::fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    if (rewritable_) {
      start_ = ::ftello(file);
      rewritable_ = start_ >= 0;
    }
  }
  bool write(std::string_view bytes) override {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size()) return true;
    error_ = errno;
    return false;
  }
  bool rewritable() const noexcept override { return rewritable_; }
  bool rewrite(std::size_t offset, std::string_view bytes) override {
    const off_t end = ::ftello(file_);
    const bool ok = end >= 0 && ::fseeko(file_, start_ + static_cast<off_t>(offset), SEEK_SET) == 0 &&
                    std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() &&
                    ::fseeko(file_, end, SEEK_SET) == 0;
    if (!ok) error_ = errno;
    return ok;
  }
  // Why the last write failed, 0 when none did.
  int error() const noexcept { return error_; }

 private:
  std::FILE* file_;
  off_t start_ = 0;
  bool rewritable_ = false;
  int error_ = 0;
};

std::int64_t creation_time(const Options& options) {
  return options.created ? *options.created : default_creation_time();
}

bool write_file(const fs::path& path, std::string_view data, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    error = error_line(path.string(), std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  int saved = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) error = error_line(path.string(), std::strerror(saved));
  return ok;
}

// What became of one input of `convert`.
struct Outcome {
  // WrittenWithWarnings: written, but the reading left something out and said so.
  // Skipped: found in a folder, and no statement file.
  enum Kind { Written, WrittenWithWarnings, Failed, Skipped };
  Kind kind = Written;
  // Lines for standard error, printed in input order once every input is done.
  std::vector<std::string> messages;
  std::string error;  // why it failed, for the summary
};

Outcome outcome_of(Loaded& loaded) {
  Outcome outcome{Outcome::Written, std::move(loaded.messages), std::move(loaded.error)};
  if (loaded.failed) outcome.kind = Outcome::Failed;
  if (loaded.skipped) outcome.kind = Outcome::Skipped;
  if (loaded.warned && outcome.kind == Outcome::Written) outcome.kind = Outcome::WrittenWithWarnings;
  return outcome;
}

void fail(Outcome& outcome, std::string line) {
  outcome.messages.push_back(line);
  outcome.error = line.substr(std::string_view("tallyfold: ").size());
  outcome.kind = Outcome::Failed;
}

// A camt name that asked for the other kind than the statements have is answered with
// a note: the kind decides, as an importer expects camt.052 for interim reports.
std::optional<std::string> camt_kind_note(const Options& options, std::span<const Statement> statements) {
  if (options.format != Format::Camt || statements.empty()) return std::nullopt;
  const bool report = !options.strict && statements.front().kind == StatementKind::InterimReport;
  if (report && options.format_name == "camt053") return "interim reports are written as camt.052";
  if (!report && options.format_name == "camt052") return "statements are written as camt.053";
  return std::nullopt;
}

// One camt document per account, each beside `target`.
void write_per_account(const Options& options, std::span<const Statement> statements, const fs::path& target,
                       std::string_view name, Outcome& outcome, bool& warned) {
  auto documents = export_camt_per_account(statements, camt_options(options));
  if (!documents) {
    fail(outcome, error_line(name, message(documents.error())));
    return;
  }
  if (target.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
  }
  std::string error;
  for (const CamtAccountDocument& d : *documents) {
    for (const std::string& warning : d.document.warnings) {
      outcome.messages.push_back(located_line(name, 0, "warning: " + warning));
      warned = true;
    }
    const fs::path file = target.parent_path() / account_file_name(target.stem().string(), d.account);
    if (!write_file(file, d.document.xml, error)) {
      fail(outcome, std::move(error));
      return;
    }
  }
}

// Exports `statements` to `target` (empty: standard output). `name` names the output in
// messages about the document as a whole.
void write_output(const Options& options, std::span<const Statement> statements, const fs::path& target,
                  std::string_view name, Outcome& outcome, bool& warned) {
  if (options.split_accounts) return write_per_account(options, statements, target, name, outcome, warned);
  std::vector<std::string> warnings;
  std::vector<std::string> notes;
  // Written as it is made: an output can be many times the size of its input, and
  // holding it whole would need that much memory beside the statements.
  std::FILE* file = target.empty() ? stdout : std::fopen(target.c_str(), "wb");
  if (!file) {
    fail(outcome, error_line(target.string(), std::strerror(errno)));
    return;
  }
  FileSink sink(file);
  std::optional<ExportFailure> failure;
  try {
    failure = export_as(options, statements, sink, warnings, notes);
  } catch (...) {
    if (file != stdout) {
      std::fclose(file);
      std::error_code ec;
      fs::remove(target, ec);
    }
    throw;
  }
  const std::string shown_name = target.empty() ? std::string("standard output") : target.string();
  std::string error;
  if (sink.error() != 0) error = error_line(shown_name, std::strerror(sink.error()));
  const int closed = file == stdout ? std::fflush(stdout) : std::fclose(file);
  if (closed != 0 && error.empty() && !failure) error = error_line(shown_name, std::strerror(errno));
  if (failure || !error.empty()) {
    // What a failed export wrote is no document: a file of it is removed, so that no
    // one reads it as the output. On standard output it has been read already.
    if (!target.empty()) {
      std::error_code ec;
      fs::remove(target, ec);
    }
    if (failure) {
      // A refusing sink stops the export; the sink knows why.
      fail(outcome, error.empty() ? error_line(name, failure->reason) : std::move(error));
      return;
    }
  }
  if (const auto note = camt_kind_note(options, statements)) notes.push_back(*note);
  for (const std::string& warning : warnings) {
    outcome.messages.push_back(located_line(name, 0, "warning: " + warning));
    warned = true;
  }
  if (!options.quiet) {
    for (const std::string& note : notes) outcome.messages.push_back(located_line(name, 0, "note: " + note));
  }
  if (!error.empty()) fail(outcome, std::move(error));
}

// Converts one input into its own output; an empty `target` means standard output.
Outcome convert_one(const Input& input, const fs::path& target, const Options& options) {
  Loaded loaded = load_statements(input, options);
  Outcome outcome = outcome_of(loaded);
  if (outcome.kind == Outcome::Failed || outcome.kind == Outcome::Skipped) return outcome;
  bool warned = loaded.warned;
  if (!target.empty() && target.has_parent_path()) {
    // Folders below -o DIR/ that mirror the input's folders; a failure shows on writing.
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
  }
  try {
    write_output(options, loaded.statements, target, display_name(input.path), outcome, warned);
  } catch (const std::exception& e) {
    fail(outcome, error_line(display_name(input.path), std::string("internal error: ") + e.what()));
  }
  if (outcome.kind == Outcome::Written && warned) outcome.kind = Outcome::WrittenWithWarnings;
  return outcome;
}

// The counts of a batch, then each failed input with why, so that a failure among many
// messages is not missed.
std::vector<std::string> batch_summary(std::span<const Outcome> outcomes) {
  std::size_t warned = 0;
  std::size_t failures = 0;
  std::size_t skipped = 0;
  for (const Outcome& o : outcomes) {
    warned += o.kind == Outcome::WrittenWithWarnings;
    failures += o.kind == Outcome::Failed;
    skipped += o.kind == Outcome::Skipped;
  }
  const std::size_t files = outcomes.size() - skipped;
  std::vector<std::string> lines{"tallyfold: converted " + std::to_string(files - failures) + " of " +
                                 std::to_string(files) + " files (" + std::to_string(warned) +
                                 " with something left out), " + std::to_string(failures) + " failed"};
  for (const Outcome& o : outcomes) {
    if (o.kind == Outcome::Failed) lines.push_back("tallyfold:   failed: " + o.error);
  }
  return lines;
}

// An interim report has no balances: its line says what it covers instead.
// "NAME #N: REF, account ACCOUNT, WHAT NUMBER[/SEQUENCE]", the start of every check line.
std::string line_head(std::string_view name, std::size_t index, const Statement& s, std::string_view what) {
  std::string line(name);
  line += " #";
  line += std::to_string(index + 1);
  line += ": ";
  append_printable(s.transaction_reference, line);
  line += ", account ";
  append_printable(s.account_identification, line);
  line += what;
  // A camt item may have no number: no blank is left for it.
  if (s.number.empty() && !s.sequence && line.back() == ' ') line.pop_back();
  append_printable(s.number, line);
  if (s.sequence) {
    line += '/';
    append_printable(*s.sequence, line);
  }
  return line;
}

std::string report_line(std::string_view name, std::size_t index, const Statement& s) {
  std::string line = line_head(name, index, s,
                               s.kind == StatementKind::Notification ? ", notification " : ", interim report ");
  if (s.reported_at) {
    line += " of ";
    s.reported_at->date.append_iso(line);
  }
  line += ", ";
  line += std::to_string(s.transactions.size());
  line += s.transactions.size() == 1 ? " transaction: no balances" : " transactions: no balances";
  return line;
}

std::string check_line(std::string_view name, std::size_t index, const Statement& s,
                       const StatementCheck& check) {
  if (s.kind != StatementKind::Statement) return report_line(name, index, s);
  std::string line = line_head(name, index, s, ", statement ");
  line += ", ";
  append_printable(statement_currency(s), line);
  const auto append_balance = [&](std::string_view which, const Balance& b, bool given) {
    line += which;
    if (!given) {
      line += "none";
      return;
    }
    b.date.append_iso(line);
    line += ' ';
    b.signed_amount().append_to(line);
  };
  append_balance(", opening ", s.opening_balance, s.opening_balance_given);
  append_balance(", closing ", s.closing_balance, s.closing_balance_given);
  line += ", ";
  line += std::to_string(s.transactions.size());
  line += s.transactions.size() == 1 ? " transaction: " : " transactions: ";
  if (!s.opening_balance_given || !s.closing_balance_given) {
    line += "incomplete, NOT checked";
  } else if (check.balanced) {
    line += "balanced";
  } else if (!check.same_currency) {
    line += "NOT balanced (closing balance in ";
    append_printable(s.closing_balance.currency, line);
    line += ')';
  } else if (!check.computed_closing) {
    line += "NOT balanced (the sum is out of range)";
  } else {
    line += "NOT balanced (opening + transactions = ";
    check.computed_closing->append_to(line);
    if (check.difference) {
      line += ", difference ";
      check.difference->append_to(line);
    }
    line += ')';
  }
  if (check.continues_previous) {
    line += *check.continues_previous ? ", follows the previous closing balance"
                                      : ", does NOT follow the previous closing balance";
  }
  return line;
}

}  // namespace

namespace {

// Runs `work(i)` for every input index, on up to `jobs` threads.
template <typename Work>
void for_each_input(std::size_t n, unsigned jobs, Work work) {
  const std::size_t threads = std::min<std::size_t>(jobs ? jobs : std::max(1u, std::thread::hardware_concurrency()), n);
  std::atomic<std::size_t> next{0};
  auto loop = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < n;) work(i);
  };
  if (threads <= 1) {
    loop();
    return;
  }
  std::vector<std::jthread> pool;
  pool.reserve(threads);
  for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(loop);
}

// Every input into one output: the statements of all inputs in input order, as if they
// came from one file. Camt holds one kind of statement per document, so a batch of both
// kinds is refused before anything is written.
int convert_merged(const std::vector<Input>& inputs, const fs::path& target, const Options& options,
                   std::vector<Outcome>& outcomes) {
  std::vector<Loaded> loaded(inputs.size());
  for_each_input(inputs.size(), options.jobs, [&](std::size_t i) { loaded[i] = load_statements(inputs[i], options); });

  std::vector<Statement> statements;
  bool failures = false;
  bool statements_seen = false;
  bool reports_seen = false;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    outcomes[i] = outcome_of(loaded[i]);
    failures |= outcomes[i].kind == Outcome::Failed;
    if (outcomes[i].kind == Outcome::Failed || outcomes[i].kind == Outcome::Skipped) continue;
    for (Statement& s : loaded[i].statements) {
      (s.kind != StatementKind::Statement ? reports_seen : statements_seen) = true;
      statements.push_back(std::move(s));
    }
  }
  if (options.format == Format::Camt && statements_seen && reports_seen) {
    outcomes.clear();  // nothing was converted, so nothing is counted
    std::fprintf(stderr,
                 "tallyfold: statements and interim reports cannot share one camt document; "
                 "use -o DIR/ for one document per input\n");
    return kExitTrouble;
  }
  if (statements.empty()) {
    // Every input failed, and says so, or none was a statement file.
    if (failures) return kExitOk;
    outcomes.push_back(Outcome{Outcome::Failed, {"tallyfold: no statement file among the inputs"}, {}});
    return kExitTrouble;
  }

  const std::string name = target.empty() ? std::string("standard output") : target.string();
  Outcome written;
  bool export_warned = false;
  try {
    write_output(options, statements, target, name, written, export_warned);
  } catch (const std::exception& e) {
    fail(written, error_line(name, std::string("internal error: ") + e.what()));
  }
  // What concerns the output as a whole follows what was said of each input.
  outcomes.push_back(Outcome{Outcome::Skipped, std::move(written.messages), {}});
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    Outcome& o = outcomes[i];
    if (o.kind == Outcome::Failed || o.kind == Outcome::Skipped) continue;
    if (written.kind == Outcome::Failed) {
      o.kind = Outcome::Failed;
      o.error = written.error;
    } else if (export_warned) {
      o.kind = Outcome::WrittenWithWarnings;
    }
  }
  return kExitOk;
}

}  // namespace

int run_convert(const Options& given) {
  // One creation time for every document of the run.
  Options options = given;
  if (options.format == Format::Camt && !options.strict) options.created = creation_time(given);

  std::vector<std::string> walk_errors;
  const std::vector<Input> inputs = expand_inputs(options.inputs, walk_errors);
  for (const std::string& line : walk_errors) std::fprintf(stderr, "%s\n", line.c_str());
  if (!walk_errors.empty()) return kExitTrouble;
  if (inputs.empty()) {
    std::fprintf(stderr, "tallyfold: no files found in %s\n", options.inputs.front().c_str());
    return kExitTrouble;
  }
  const std::size_t n = inputs.size();

  const bool per_input = options.output && names_folder(*options.output);
  std::vector<fs::path> targets(per_input ? n : 1);
  if (per_input) {
    const fs::path out(*options.output);
    std::error_code ec;
    fs::create_directories(out, ec);
    if (ec) {
      std::fprintf(stderr, "tallyfold: %s: cannot create directory: %s\n", options.output->c_str(),
                   ec.message().c_str());
      return kExitTrouble;
    }
    // Files found in folders keep their folders below `out`; two inputs named alike
    // on the command line would still overwrite each other's output.
    std::set<fs::path> seen;
    for (std::size_t i = 0; i < n; ++i) {
      fs::path name = inputs[i].relative;
      name.replace_extension(extension(*options.format));
      targets[i] = out / name;
      if (!seen.insert(targets[i]).second) {
        std::fprintf(stderr, "tallyfold: %s: written by more than one input\n", targets[i].c_str());
        return kExitTrouble;
      }
    }
  } else if (options.output) {
    targets[0] = *options.output;
  }
  if (const auto clash = target_among_inputs(inputs, targets)) {
    std::fprintf(stderr, "tallyfold: %s: is one of the inputs; nothing was written\n", clash->c_str());
    return kExitTrouble;
  }

  std::vector<Outcome> outcomes(n);
  int status = kExitOk;
  if (per_input) {
    for_each_input(n, options.jobs, [&](std::size_t i) { outcomes[i] = convert_one(inputs[i], targets[i], options); });
  } else {
    status = convert_merged(inputs, targets[0], options, outcomes);
    if (outcomes.empty()) return status;
  }

  for (const Outcome& outcome : outcomes) {
    for (const std::string& line : outcome.messages) std::fprintf(stderr, "%s\n", line.c_str());
    if (outcome.kind == Outcome::Failed) status = kExitTrouble;
    if (outcome.kind == Outcome::WrittenWithWarnings) status = std::max(status, kExitWarned);
  }
  if (n > 1) {
    // The output's own lines, if any, are no input of the count.
    const std::span<const Outcome> of_inputs(outcomes.data(), n);
    for (const std::string& line : batch_summary(of_inputs)) std::fprintf(stderr, "%s\n", line.c_str());
  }
  return status;
}

int run_check(const Options& options) {
  std::vector<std::string> walk_errors;
  const std::vector<Input> inputs = expand_inputs(options.inputs, walk_errors);
  for (const std::string& line : walk_errors) std::fprintf(stderr, "%s\n", line.c_str());
  if (walk_errors.empty() && inputs.empty()) {
    std::fprintf(stderr, "tallyfold: no files found in %s\n", options.inputs.front().c_str());
    return kExitTrouble;
  }
  int status = walk_errors.empty() ? kExitOk : kExitTrouble;
  for (const Input& input : inputs) {
    Loaded loaded = load_statements(input, options, true);
    // Messages about a file come before its lines, as they concern how it was read.
    std::fflush(stdout);
    for (const std::string& line : loaded.messages) std::fprintf(stderr, "%s\n", line.c_str());
    if (loaded.failed) {
      status = kExitTrouble;
      continue;
    }
    if (loaded.skipped) continue;
    if (loaded.warned) status = std::max(status, kExitWarned);
    const std::vector<Statement>& statements = loaded.statements;
    const std::string name = display_name(input.path);
    std::vector<StatementCheck> checks = check_statements(statements);
    for (std::size_t i = 0; i < statements.size(); ++i) {
      if (statements[i].kind == StatementKind::Statement) continue;
      checks[i].balanced = true;
      checks[i].continues_previous.reset();
    }
    for (std::size_t i = 0; i < statements.size(); ++i) {
      std::string line = check_line(name, i, statements[i], checks[i]);
      line += '\n';
      std::fputs(line.c_str(), stdout);
    }
    if (!all_reconcile(checks)) status = std::max(status, kExitNotReconciled);
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tallyfold: standard output: %s\n", std::strerror(errno));
    return kExitTrouble;
  }
  return status;
}

}  // namespace tallyfold::cli
