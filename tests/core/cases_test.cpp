// Case tables: every input under cases/<suite>/ is read as its suite says, and what that
// gives must equal the text in <input>.out beside it. The expected text pins every value
// (the statements as the JSON export with every field, every diagnostic), not only the
// one a hand-written assertion would name.
//
// The suite's folder names what is done with an input: decode/ and unwrap/ run the
// first two steps of the bank-file reading alone; strict/ reads whole files exactly;
// mt/ writes what it reads as MT940, camt-export/ as camt in every version (each
// document checked against its schema); reconcile/ checks the balances of what it
// reads; details/ decodes :86: texts, fields/ parses field contents with the parser its
// file is named after (both without the case's last line end); any other folder reads
// whole files as banks deliver them.
//
// An input whose first line starts with "#### " holds several cases, each headed by such
// a line and running to the next, its line end before the next header included; a header
// may end in options (options_of). An input that must hold a line starting "#### " is a
// file of its own.
//
// When a change of behaviour is intended, rewrite the expected texts and review the diff:
//   TALLYFOLD_UPDATE_CASES=1 build/dev/tests/core/cases_test
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "bankfile/steps.hpp"
#include "bankfile/unwrap.hpp"
#include "export/iso20022_message.hpp"
#include "support/shared_data.hpp"
#include "support/swift_form.hpp"
#include "support/xml_schema.hpp"
#include "decoders/bank/bank_details.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/mt_export.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/read.hpp"
#include "tallyfold/reconcile.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

const fs::path kCases = fs::path(TALLYFOLD_GOLDEN_DIR).parent_path() / "cases";

// What a case's header asks for after its name, in brackets: "[strict encoding=UTF-16
// resolver=gvc no-final-newline pending decoder=gvc]" (pending: camt entries of interim
// reports; decoder: swift, gvc or angular alone, or the exact chain).
struct CaseOptions {
  ReadOptions read;
  bool final_newline = true;
  CamtEntryStatus entry_status = CamtEntryStatus::Booked;
  std::string decoder;  // details/: one exact decoder, or "exact" for the exact chain
};

CaseOptions options_of(std::string_view suite, std::string_view header) {
  CaseOptions options;
  options.read.strict = suite == "strict";
  if (!header.ends_with(']') || header.rfind(" [") == std::string_view::npos) return options;
  std::string_view list = header.substr(header.rfind(" [") + 2);
  list.remove_suffix(1);
  while (!list.empty()) {
    const std::string_view word = list.substr(0, list.find(' '));
    list.remove_prefix(std::min(list.size(), word.size() + 1));
    if (word == "strict") options.read.strict = true;
    if (word == "no-final-newline") options.final_newline = false;
    if (word == "pending") options.entry_status = CamtEntryStatus::Pending;
    if (word.starts_with("encoding=")) options.read.encoding = std::string(word.substr(9));
    if (word.starts_with("resolver=")) options.read.resolver = std::string(word.substr(9));
    if (word.starts_with("decoder=")) options.decoder = std::string(word.substr(8));
    EXPECT_TRUE(word == "strict" || word == "no-final-newline" || word == "pending" || word.starts_with("encoding=") ||
                word.starts_with("resolver=") || word.starts_with("decoder="))
        << "unknown case option " << word;
  }
  return options;
}

void render(std::string& out, const std::vector<Diagnostic>& diagnostics) {
  for (const Diagnostic& d : diagnostics) {
    out += std::string(severity_text(d.severity)) + " " + std::to_string(d.line);
    if (!d.lines.empty()) {
      out += " (";
      for (std::size_t line : d.lines) out += (line == d.lines.front() ? "" : " ") + std::to_string(line);
      out += ")";
    }
    out += ": " + d.message + "\n";
  }
}

// Every derived field by name, `in_json` too (the JSON export's bank fields) or not.
std::vector<std::pair<std::string_view, const std::string*>> named_fields(const DerivedFields& f, bool in_json) {
  std::vector<std::pair<std::string_view, const std::string*>> fields;
  if (in_json) {
    fields = {{"purpose", &f.purpose},           {"counterparty", &f.counterparty},
              {"counter_iban", &f.counter_iban}, {"counterparty_bic", &f.counterparty_bic},
              {"end_to_end_reference", &f.end_to_end_reference}, {"mandate_reference", &f.mandate_reference},
              {"creditor_id", &f.creditor_id}};
  }
  fields.insert(fields.end(),
                {{"counter_account", &f.counter_account}, {"payment_information_id", &f.payment_information_id},
                 {"ultimate_debtor", &f.ultimate_debtor}, {"ultimate_creditor", &f.ultimate_creditor},
                 {"purpose_code", &f.purpose_code}, {"return_reason", &f.return_reason},
                 {"posting_text", &f.posting_text}, {"counterparty_town", &f.counterparty_town},
                 {"counterparty_address", &f.counterparty_address}, {"structured_reference", &f.structured_reference},
                 {"reference_issuer", &f.reference_issuer}});
  return fields;
}

// What the model holds beyond the JSON export, where it is not the default.
void render_beyond_json(std::string& out, const std::vector<Statement>& statements) {
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const Statement& s = statements[i];
    const std::string at = "statement " + std::to_string(i + 1);
    if (s.opening_balance.intermediate) out += at + ": opening balance intermediate\n";
    if (s.closing_balance.intermediate) out += at + ": closing balance intermediate\n";
    if (!s.servicer_bic.empty()) out += at + ": servicer " + s.servicer_bic + "\n";
    if (s.sent_at) {
      const ReportTime& t = *s.sent_at;
      out += at + ": sent " + t.date.to_iso() + " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) +
             (t.utc_offset_minutes ? " " + std::to_string(*t.utc_offset_minutes) : "") + "\n";
    }
    for (std::size_t j = 0; j < s.transactions.size(); ++j) {
      const DerivedFields f = fields_of(s.transactions[j]);
      for (const auto& [name, value] : named_fields(f, false)) {
        if (!value->empty()) out += at + " entry " + std::to_string(j + 1) + ": " + std::string(name) + " " + *value + "\n";
      }
    }
  }
}

// The whole reading of a file: its statements as the JSON export with every field.
std::string render_reading(std::string_view bytes, const ReadOptions& options) {
  std::string out;
  auto file = read_statement_file(bytes, options);
  if (!file) {
    const ReadError& e = file.error();
    return out + "error " + std::to_string(e.error.line) + ": " + message(e.error) +
           (e.line_in_message ? "" : " [no line]") + (e.not_utf8 ? " [not UTF-8]" : "") + "\n";
  }
  out += "format " + file->source_format + "\n";
  render(out, file->diagnostics);
  auto json = export_json(file->statements, JsonOptions{.bank_fields = true, .exact_amounts = true});
  out += (json ? *json : "json error: " + message(json.error())) + "\n";
  render_beyond_json(out, file->statements);
  return out;
}

// The first step alone: the character set and the text it gives.
std::string render_decoding(std::string_view bytes, const ReadOptions& options) {
  std::vector<Diagnostic> diagnostics;
  // decode_statement_bytes takes the names resolve_encoding gives, as the reading does.
  std::optional<std::string> encoding = options.encoding;
  if (encoding) encoding = resolve_encoding(*encoding).value_or(*encoding);
  auto decoded = decode_statement_bytes(bytes, encoding, diagnostics);
  std::string out;
  render(out, diagnostics);
  if (!decoded) {
    return out + "error " + std::to_string(decoded.error().line) + ": " + message(decoded.error()) +
           (holds_no_statement(decoded.error().error) ? " [no statement]" : "") + "\n";
  }
  return out + "charset " + decoded->charset + "\n" + decoded->text + "\n";
}

// The second step alone: each line of the text after the line of the file it came from.
// Unwrapping its own result changes and says nothing, and the plain rules give the same
// text where no "@@" line break was unwrapped.
std::string render_unwrapping(std::string_view bytes) {
  std::vector<Diagnostic> diagnostics;
  const UnwrappedText once = unwrap_statement_text(bytes, diagnostics);
  std::vector<Diagnostic> again;
  EXPECT_EQ(unwrap_statement_text(once.text, again).text, once.text) << "unwrapping twice changes the text";
  EXPECT_TRUE(again.empty()) << again.front().message;
  if (bytes.find("@@") == std::string_view::npos) {
    EXPECT_EQ(unwrap_text(bytes), once.text);
  }
  std::string out;
  render(out, diagnostics);
  std::string_view text = once.text;
  for (std::size_t line = 1; !text.empty(); ++line) {
    const std::size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    out += std::to_string(once.lines.original_line(line)) + "|" + std::string(text.substr(0, end));
    text.remove_prefix(end);
  }
  return out + (once.text.ends_with('\n') || once.text.empty() ? "" : "\n(no final line end)\n");
}

// A file read as banks deliver it and written as MT940/MT942: the text, its notes and
// warnings. What is written is in SWIFT's form, reads back, and writes again the same.
std::string render_writing(std::string_view bytes, const ReadOptions& options) {
  auto file = read_statement_file(bytes, options);
  if (!file) return "error reading " + message(file.error().error) + "\n";
  auto document = export_mt(file->statements, MtOptions{.crlf = false});
  if (!document) return "error " + message(document.error()) + "\n";
  test::expect_swift_form(document->text);
  auto again = read_statement_file(document->text, {});
  EXPECT_TRUE(again) << "what was written does not read back";
  if (again) {
    EXPECT_EQ(export_mt(again->statements, MtOptions{.crlf = false})->text, document->text);
  }
  std::string out = document->text;
  for (const std::string& note : document->notes) out += "note: " + note + "\n";
  for (const std::string& warning : document->warnings) out += "warning: " + warning + "\n";
  return out;
}

// Every written camt document of a file by its schema, validated at once when the file's
// cases are done: xmllint then reads each schema once.
std::map<std::string, std::vector<std::pair<std::string, std::string>>> to_validate;

// A file read as banks deliver it and written as camt in every version, at a fixed time.
std::string render_camt(std::string_view bytes, const CaseOptions& options, std::string_view name) {
  auto file = read_statement_file(bytes, options.read);
  if (!file) return "error reading " + message(file.error().error) + "\n";
  std::string out;
  for (const CamtVersion version : {CamtVersion::V02, CamtVersion::V06, CamtVersion::V08}) {
    constexpr std::int64_t kCreated = 1767225600;  // 2026-01-01T00:00:00Z
    auto document = export_camt(file->statements, CamtOptions{version, kCreated, options.entry_status});
    out += "== version " + std::string(camt_version_name(version)) + "\n";
    if (!document) {
      out += "error " + message(document.error()) + "\n";
      continue;
    }
    out += document->xml + (document->xml.ends_with('\n') ? "" : "\n");
    for (const std::string& warning : document->warnings) out += "warning: " + warning + "\n";
    const std::string schema = std::string(document->message == CamtMessage::Report ? "camt.052.001." : "camt.053.001.") +
                               std::string(camt_version_name(version));
    to_validate[schema].emplace_back(std::string(name) + " version " + std::string(camt_version_name(version)),
                                     document->xml);
  }
  return out;
}

// A file read as banks deliver it, and what checking its balances finds statement by
// statement.
std::string render_checks(std::string_view bytes, const ReadOptions& options) {
  auto file = read_statement_file(bytes, options);
  if (!file) return "error reading " + message(file.error().error) + "\n";
  const std::vector<StatementCheck> checks = check_statements(file->statements);
  std::string out;
  const auto shown = [](const std::optional<Decimal>& d) { return d ? d->to_string() : std::string("-"); };
  for (std::size_t i = 0; i < checks.size(); ++i) {
    const StatementCheck& c = checks[i];
    out += "statement " + std::to_string(i + 1) + ": computed " + shown(c.computed_closing) + ", difference " +
           shown(c.difference) + (c.same_currency ? "" : ", currencies differ") + (c.balanced ? ", balanced" : "") +
           (c.continues_previous ? *c.continues_previous ? ", continues" : ", does not continue" : "") + "\n";
  }
  return out + (all_reconcile(checks) ? "all reconcile\n" : "");
}

std::string_view layout_name(Layout layout) {
  constexpr std::string_view kNames[] = {"none",         "SWIFT structured", "German GVC", "angular",
                                         "unstructured", "slash segments",   "slash tags", "German SEPA",
                                         "labels"};
  return kNames[static_cast<std::size_t>(layout)];
}

// A :86: text (without the case's last line end) as the bank chain decodes it, or the
// exact chain or one exact decoder: its layout, its map and every field derived from it
// (not for a decoder alone, whose map no reading gives without its chain).
std::string render_details(std::string_view text, const CaseOptions& options) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  TextBuffer texts;
  Transaction t;
  t.details = text;
  const std::string& decoder = options.decoder;
  if (decoder.empty()) {
    t.rules = FieldRules::Bank;
    t.structured_details = decode_details(*select_bank_chain(options.read.resolver), text, texts);
  } else if (decoder == "exact") {
    t.structured_details = decode_details(select_chain(options.read.resolver), text, texts);
  } else {
    const Decoder& alone = decoder == "swift" ? swift_structured_decoder()
                           : decoder == "gvc" ? german_gvc_decoder()
                                              : angular_decoder();
    EXPECT_TRUE(decoder == "swift" || decoder == "gvc" || decoder == "angular") << decoder;
    t.structured_details = alone.decode(text, texts);
  }
  if (!t.structured_details) return "not decoded\n";
  std::string out = "layout " + std::string(layout_name(t.structured_details->layout())) + "\n";
  for (const auto [key, value] : *t.structured_details) out += "  " + std::string(key) + " = " + std::string(value) + "\n";
  if (!decoder.empty() && decoder != "exact") return out;
  const DerivedFields f = fields_of(t);
  for (const auto& [name, value] : named_fields(f, true)) {
    if (!value->empty()) out += std::string(name) + ": " + *value + "\n";
  }
  return out;
}

// One field's content (without the case's last line end) as the exact reading's field
// parser of `kind` reads it: every value, or the error as the reading shows it.
std::string render_field(std::string_view kind, std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  const auto shown = [](const auto& result, const auto& show) {
    return (result ? show(*result) : "error: " + message(result.error())) + "\n";
  };
  const auto balance = [](const Balance& b) {
    return std::string(mark_text(b.debit_credit)) + " " + b.date.to_iso() + " " + std::string(b.currency) + " " +
           b.amount.to_string();
  };
  const auto line = [](const Transaction& t) {
    EXPECT_TRUE(t.details.empty() && !t.structured_details);
    return t.value_date.to_iso() + " " + (t.entry_date ? t.entry_date->to_iso() : "-") + " " +
           std::string(mark_text(t.debit_credit)) + " " + (t.funds_code ? std::string(1, *t.funds_code) : "-") +
           " " + t.amount.to_string() + " " + std::string(t.transaction_type) + " [" +
           std::string(t.customer_reference) + "] " +
           (t.bank_reference ? "[" + std::string(*t.bank_reference) + "]" : "-") + " " +
           (t.extra_details ? "[" + std::string(*t.extra_details) + "]" : "-");
  };
  if (kind == "date") return shown(parse_date(text), [](const Date& d) { return d.to_iso(); });
  if (kind == "amount") return shown(parse_amount(text), [](const Decimal& d) { return d.to_string(); });
  if (kind == "balance") return shown(parse_balance(text), balance);
  EXPECT_EQ(kind, "statement_line") << "no field parser for fields/" << kind;
  return shown(parse_statement_line(text), line);
}

std::string render(std::string_view suite, std::string_view bytes, const CaseOptions& options,
                   std::string_view name) {
  if (!options.final_newline && bytes.ends_with('\n')) bytes.remove_suffix(1);
  if (suite == "decode") return render_decoding(bytes, options.read);
  if (suite == "unwrap") return render_unwrapping(bytes);
  if (suite == "mt") return render_writing(bytes, options.read);
  if (suite == "camt-export") return render_camt(bytes, options, name);
  if (suite == "details") return render_details(bytes, options);
  if (suite == "reconcile") return render_checks(bytes, options.read);
  if (suite.starts_with("fields/")) return render_field(suite.substr(7), bytes);
  return render_reading(bytes, options.read);
}

// The cases of one input file, rendered in order.
std::string render_file(std::string_view suite, const std::string& bytes) {
  if (!bytes.starts_with("#### ")) return render(suite, bytes, options_of(suite, ""), "");
  std::string out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t header_end = std::min(bytes.find('\n', at), bytes.size());
    std::size_t next = bytes.find("\n#### ", header_end);
    next = next == std::string::npos ? bytes.size() : next + 1;
    const std::size_t text_at = std::min(header_end + 1, next);
    const std::string_view header = std::string_view(bytes).substr(at, header_end - at);
    SCOPED_TRACE(header);
    out += std::string(header) + "\n" +
           render(suite, std::string_view(bytes).substr(text_at, next - text_at), options_of(suite, header), header);
    at = next;
  }
  return out;
}

std::vector<test::DataFile> inputs() {
  std::vector<test::DataFile> files;
  for (auto& file : test::data_files(kCases)) {
    if (file.path.extension() != ".out") files.push_back(std::move(file));
  }
  return files;
}

class Cases : public testing::TestWithParam<test::DataFile> {};

TEST_P(Cases, ReadAsExpected) {
  const test::DataFile& input = GetParam();
  std::string suite = input.path.parent_path().filename().string();
  if (suite == "fields") suite += "/" + input.path.stem().string();
  to_validate.clear();
  const std::string got = render_file(suite, test::read_bytes(input.path));
  for (const auto& [schema, documents] : to_validate) {
    for (const auto& [name, errors] : test::schema_errors(documents, schema)) ADD_FAILURE() << name << ": " << errors;
  }
  fs::path expected_path = input.path;
  expected_path += ".out";
  const char* update = std::getenv("TALLYFOLD_UPDATE_CASES");
  if (update != nullptr && *update != '\0') {
    std::ofstream(expected_path, std::ios::binary) << got;
    return;
  }
  ASSERT_TRUE(fs::exists(expected_path)) << expected_path << " missing: run with TALLYFOLD_UPDATE_CASES=1";
  EXPECT_EQ(got, test::read_bytes(expected_path));
}

std::string case_name(const testing::TestParamInfo<test::DataFile>& file) {
  std::string name;
  for (char c : file.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Files, Cases, testing::ValuesIn(inputs()), case_name);

}  // namespace
}  // namespace tallyfold
