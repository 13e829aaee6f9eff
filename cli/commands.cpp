#include "commands.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <set>
#include <span>
#include <thread>

#include "input.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/reconcile.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/mt_export.hpp"

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

// Replaces bytes that could steer a terminal; the line shows the file's text otherwise.
void append_printable(std::string_view text, std::string& out) {
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    out.push_back(u < 0x20 || u == 0x7f ? '?' : c);
  }
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
  bool failed = false;                // the last message says why
};

// The exact reading: the text as read, parsed as the Python class parses it.
void load_exact(const std::string& path, const Options& options, Loaded& loaded) {
  const std::string name = display_name(path);
  std::string text;
  std::string reason;
  if (!read_input(path, options.encoding, text, reason)) {
    loaded.messages.push_back(error_line(name, reason));
    loaded.failed = true;
    return;
  }
  auto parsed = parse_statements(text, select_chain(options.resolver));
  if (!parsed) {
    loaded.messages.push_back(error_line(name, message(parsed.error())));
    loaded.failed = true;
    return;
  }
  loaded.statements = std::move(parsed).value();
}

// The bank-file reading: charset, unwrapping, tolerant fields and recovery, each repair
// reported with the line of the file it concerns.
void load_bank_file(const std::string& path, const Options& options, Loaded& loaded) {
  const std::string name = display_name(path);
  std::string bytes;
  std::string reason;
  if (!read_bytes(path, bytes, reason)) {
    loaded.messages.push_back(error_line(name, reason));
    loaded.failed = true;
    return;
  }
  BankFileOptions bank_options;
  bank_options.encoding = options.encoding;
  bank_options.resolver = options.resolver;
  auto file = read_bank_file(bytes, bank_options);
  if (!file) {
    loaded.messages.push_back(located_line(name, file.error().line, message(file.error())));
    loaded.failed = true;
    return;
  }
  for (const Diagnostic& d : file->diagnostics) {
    loaded.warned |= d.severity == Severity::Warning;
    if (d.severity == Severity::Note && options.quiet) continue;
    std::string text(severity_text(d.severity));
    text += ": ";
    text += d.message;
    loaded.messages.push_back(located_line(name, d.line, text));
  }
  loaded.statements = std::move(file->statements);
}

// Reads and parses one input. The readings keep no state, so this runs on any number of
// threads at once.
Loaded load_statements(const std::string& path, const Options& options) {
  Loaded loaded;
  try {
    if (options.strict) {
      load_exact(path, options, loaded);
    } else {
      load_bank_file(path, options, loaded);
    }
  } catch (const std::exception& e) {
    loaded.statements.clear();
    loaded.messages.push_back(error_line(display_name(path), std::string("internal error: ") + e.what()));
    loaded.failed = true;
  }
  return loaded;
}

std::string_view extension(Format format) {
  switch (format) {
    case Format::Json: return ".json";
    case Format::Csv: return ".csv";
    case Format::Camt053: return ".xml";
    case Format::Mt940: return ".sta";
  }
  return "";
}

// Why an export failed, as shown.
struct ExportFailure {
  std::string reason;
};

// The text, or the reason to show; `warnings` receives what the writer left out, `notes`
// what it wrote in another form.
Result<std::string, ExportFailure> export_as(const Options& options, std::span<const Statement> statements,
                                           std::vector<std::string>& warnings, std::vector<std::string>& notes) {
  auto shown = [](Result<std::string> text) -> Result<std::string, ExportFailure> {
    if (!text) return ExportFailure{message(text.error())};
    return std::move(*text);
  };
  switch (*options.format) {
    case Format::Json: return shown(export_json(statements));
    case Format::Csv: return shown(export_csv(statements, options.csv_dialect.value_or(CsvDialect::Standard)));
    case Format::Camt053: {
      if (options.strict) return export_camt053(statements);
      auto document = export_camt(statements, CamtOptions{options.camt_version.value_or(CamtVersion::V08),
                                                          options.created.value_or(0)});
      if (!document) {
        // The writer's refusals are not parse errors: they read as they are.
        if (const auto* other = std::get_if<Other>(&document.error())) return ExportFailure{other->message};
        return ExportFailure{message(document.error())};
      }
      warnings = std::move(document->warnings);
      return std::move(document->xml);
    }
    case Format::Mt940: {
      auto document = export_mt(statements, MtOptions{!options.lf});
      if (!document) {
        if (const auto* other = std::get_if<Other>(&document.error())) return ExportFailure{other->message};
        return ExportFailure{message(document.error())};
      }
      warnings = std::move(document->warnings);
      notes = std::move(document->notes);
      const auto reports = std::count_if(statements.begin(), statements.end(),
                                         [](const Statement& s) { return s.kind == StatementKind::InterimReport; });
      if (reports > 0) notes.push_back(std::to_string(reports) + " interim reports written as MT942, the message for them");
      return std::move(document->text);
    }
  }
  return ExportFailure{"unknown output format"};
}

// The creation time of camt documents: given, else SOURCE_DATE_EPOCH (so that builds
// can be reproduced), else now.
std::int64_t creation_time(const Options& options) {
  if (options.created) return *options.created;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
    if (const auto seconds = parse_timestamp(std::string("@") + epoch)) return *seconds;
  }
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
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

bool write_stdout(std::string_view data, std::string& error) {
  bool ok = std::fwrite(data.data(), 1, data.size(), stdout) == data.size();
  ok = std::fflush(stdout) == 0 && ok;
  if (!ok) error = error_line("standard output", std::strerror(errno));
  return ok;
}

// What became of one input of `convert`.
struct Outcome {
  // WrittenWithWarnings: written, but the reading left something out and said so.
  enum Kind { Written, WrittenWithWarnings, Failed };
  Kind kind = Written;
  // Lines for standard error, printed in input order once every input is done.
  std::vector<std::string> messages;
};

// Converts one input; an empty `target` means standard output.
Outcome convert_one(const std::string& input, const fs::path& target, const Options& options) {
  Loaded loaded = load_statements(input, options);
  Outcome outcome{Outcome::Failed, std::move(loaded.messages)};
  if (loaded.failed) return outcome;
  std::string error;
  try {
    std::vector<std::string> warnings;
    std::vector<std::string> notes;
    auto text = export_as(options, loaded.statements, warnings, notes);
    if (!text) {
      outcome.messages.push_back(error_line(display_name(input), text.error().reason));
      return outcome;
    }
    for (const std::string& warning : warnings) {
      outcome.messages.push_back(located_line(display_name(input), 0, "warning: " + warning));
      loaded.warned = true;
    }
    if (!options.quiet) {
      for (const std::string& note : notes) {
        outcome.messages.push_back(located_line(display_name(input), 0, "note: " + note));
      }
    }
    const bool written = target.empty() ? write_stdout(*text, error) : write_file(target, *text, error);
    if (!written) {
      outcome.messages.push_back(std::move(error));
      return outcome;
    }
  } catch (const std::exception& e) {
    outcome.messages.push_back(error_line(display_name(input), std::string("internal error: ") + e.what()));
    return outcome;
  }
  outcome.kind = loaded.warned ? Outcome::WrittenWithWarnings : Outcome::Written;
  return outcome;
}

// One line that says how a batch went, so that a failure among many messages is not missed.
std::string batch_summary(std::span<const Outcome> outcomes) {
  std::size_t warned = 0;
  std::size_t failures = 0;
  for (const Outcome& o : outcomes) {
    warned += o.kind == Outcome::WrittenWithWarnings;
    failures += o.kind == Outcome::Failed;
  }
  return "tallyfold: converted " + std::to_string(outcomes.size() - failures) + " of " +
         std::to_string(outcomes.size()) + " files (" + std::to_string(warned) +
         " with something left out), " + std::to_string(failures) + " failed";
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
  append_printable(s.number, line);
  if (s.sequence) {
    line += '/';
    append_printable(*s.sequence, line);
  }
  return line;
}

std::string report_line(std::string_view name, std::size_t index, const Statement& s) {
  std::string line = line_head(name, index, s, ", interim report ");
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
  if (s.kind == StatementKind::InterimReport) return report_line(name, index, s);
  std::string line = line_head(name, index, s, ", statement ");
  line += ", ";
  append_printable(s.opening_balance.currency, line);
  line += ", opening ";
  s.opening_balance.date.append_iso(line);
  line += ' ';
  s.opening_balance.signed_amount().append_to(line);
  line += ", closing ";
  s.closing_balance.date.append_iso(line);
  line += ' ';
  s.closing_balance.signed_amount().append_to(line);
  line += ", ";
  line += std::to_string(s.transactions.size());
  line += s.transactions.size() == 1 ? " transaction: " : " transactions: ";
  if (check.balanced) {
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

int run_convert(const Options& given) {
  // One creation time for every document of the run.
  Options options = given;
  if (options.format == Format::Camt053 && !options.strict) options.created = creation_time(given);
  const std::size_t n = options.inputs.size();
  std::vector<fs::path> targets(n);
  if (options.output) {
    fs::path out(*options.output);
    std::error_code ec;
    bool into_directory = n > 1 || fs::is_directory(out, ec);
    if (into_directory) {
      if (fs::exists(fs::symlink_status(out, ec)) && !fs::is_directory(out, ec)) {
        std::fprintf(stderr, "tallyfold: %s: not a directory (several inputs need -o DIR)\n",
                     out.c_str());
        return kExitTrouble;
      }
      fs::create_directories(out, ec);
      if (ec) {
        std::fprintf(stderr, "tallyfold: %s: cannot create directory: %s\n", out.c_str(),
                     ec.message().c_str());
        return kExitTrouble;
      }
      // Two inputs with the same base name would overwrite each other's output.
      std::set<fs::path> seen;
      for (std::size_t i = 0; i < n; ++i) {
        fs::path name = options.inputs[i] == "-" ? fs::path("stdin")
                                                 : fs::path(options.inputs[i]).filename();
        name.replace_extension(extension(*options.format));
        targets[i] = out / name;
        if (!seen.insert(targets[i]).second) {
          std::fprintf(stderr, "tallyfold: %s: written by more than one input\n",
                       targets[i].c_str());
          return kExitTrouble;
        }
      }
    } else {
      targets[0] = out;
    }
  }

  std::vector<Outcome> outcomes(n);
  unsigned jobs = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  std::size_t threads = std::min<std::size_t>(jobs, n);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < n;) {
      outcomes[i] = convert_one(options.inputs[i], targets[i], options);
    }
  };
  if (threads <= 1) {
    work();
  } else {
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(work);
  }

  int status = kExitOk;
  for (const Outcome& outcome : outcomes) {
    for (const std::string& line : outcome.messages) std::fprintf(stderr, "%s\n", line.c_str());
    if (outcome.kind == Outcome::Failed) status = kExitTrouble;
    if (outcome.kind == Outcome::WrittenWithWarnings) status = std::max(status, kExitWarned);
  }
  if (n > 1) std::fprintf(stderr, "%s\n", batch_summary(outcomes).c_str());
  return status;
}

int run_check(const Options& options) {
  int status = kExitOk;
  for (const std::string& input : options.inputs) {
    Loaded loaded = load_statements(input, options);
    // Messages about a file come before its lines, as they concern how it was read.
    std::fflush(stdout);
    for (const std::string& line : loaded.messages) std::fprintf(stderr, "%s\n", line.c_str());
    if (loaded.failed) {
      status = kExitTrouble;
      continue;
    }
    if (loaded.warned) status = std::max(status, kExitWarned);
    const std::vector<Statement>& statements = loaded.statements;
    const std::string name = display_name(input);
    std::vector<StatementCheck> checks = check_statements(statements);
    for (std::size_t i = 0; i < statements.size(); ++i) {
      if (statements[i].kind != StatementKind::InterimReport) continue;
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
