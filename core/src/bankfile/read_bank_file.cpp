#include <algorithm>
#include <cstring>

#include "bankfile/diagnostics.hpp"
#include "bankfile/steps.hpp"
#include "decoders/bank/bank_details.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/reconcile.hpp"
#include "reconcile_text.hpp"
#include "text_views.hpp"
#include "util/quote.hpp"

namespace tallyfold {
namespace {

std::string reconcile_note(const Statement& s, const StatementCheck& check) {
  std::string text = "statement ";
  text += quote_value(s.transaction_reference);
  text += ' ';
  append_mismatch(text, s, check, "transactions");
  return text;
}

// What the application header ("{2:O940...") of each SWIFT output message in the file
// says of its sender: the line the header stands on, the BIC of the sender's logical
// terminal (eight characters, then the branch after the terminal code), and the input
// time and date when they are a valid time.
struct EnvelopeSender {
  std::size_t line;
  std::string bic;
  std::optional<ReportTime> sent_at;
};

std::optional<ReportTime> input_time(std::string_view hhmm, std::string_view yymmdd) {
  const auto two = [hhmm](std::size_t at) -> int {
    const char a = hhmm[at];
    const char b = hhmm[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
    return (a - '0') * 10 + (b - '0');
  };
  const int hour = two(0);
  const int minute = two(2);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return std::nullopt;
  auto date = parse_date(yymmdd);
  if (!date) return std::nullopt;
  return ReportTime{*date, static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute), std::nullopt};
}

std::vector<EnvelopeSender> envelope_senders(std::string_view bytes) {
  std::vector<EnvelopeSender> senders;
  constexpr std::string_view kHeader = "{2:O";
  // O, message type (3), input time (4), date (6), then the 12-character address.
  constexpr std::size_t kTime = 1 + 3;
  constexpr std::size_t kDate = kTime + 4;
  constexpr std::size_t kAddress = kDate + 6;
  std::size_t line = 1;
  std::size_t counted = 0;
  for (std::size_t at = bytes.find(kHeader); at != std::string_view::npos; at = bytes.find(kHeader, at + 1)) {
    line += static_cast<std::size_t>(std::count(bytes.begin() + static_cast<std::ptrdiff_t>(counted),
                                                bytes.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    counted = at;
    const std::string_view block = bytes.substr(at + 3);
    if (block.size() < kAddress + 12) continue;
    const std::string_view address = block.substr(kAddress, 12);
    std::string bic(address.substr(0, 8));
    bic.append(address.substr(9, 3));
    senders.push_back({line, std::move(bic), input_time(block.substr(kTime, 4), block.substr(kDate, 6))});
  }
  return senders;
}

}  // namespace

std::string message(const LocatedError& error) { return message(error.error); }

std::string short_message(const LocatedError& error) {
  ParseError shortened = error.error;
  const auto cut = [](std::string& value) {
    std::string quoted = quote_value(value);
    value = quoted.substr(1, quoted.size() - 2);
  };
  if (auto* date = std::get_if<InvalidDate>(&shortened)) cut(date->value);
  if (auto* amount = std::get_if<InvalidAmount>(&shortened)) cut(amount->value);
  if (auto* format = std::get_if<InvalidFormat>(&shortened)) cut(format->value);
  if (auto* missing = std::get_if<MissingMandatoryTag>(&shortened)) cut(missing->reference);
  return message(shortened);
}

std::string_view severity_text(Severity severity) noexcept {
  return severity == Severity::Warning ? "warning" : "note";
}

Result<BankFile, LocatedError> read_bank_file(std::string_view bytes, const BankFileOptions& options) {
  const std::optional<DecoderChain> chain = select_bank_chain(options.resolver);
  if (!chain) {
    return LocatedError{0, Refusal{"unknown resolver " + quote_value(options.resolver) + " (auto, swift, gvc, angular)"}};
  }
  // Told from the first bytes, before any pass over the rest.
  if (const auto other = detail::other_format(bytes)) return LocatedError{0, NotStatementFile{*other}};
  BankFile file;
  // Each step copies the text only when it has to change it inside, so a UTF-8 file is
  // usually parsed where the caller keeps it, after one pass that checks and unwraps it.
  std::string decoded_storage;
  std::string unwrapped_storage;
  LineMap line_map;  // lines of the steps after unwrapping refer to the unwrapped text until mapped back
  std::string line_feed_storage;  // a text whose lines end in carriage returns alone
  std::optional<std::string_view> unwrapped;
  detail::LongLines long_lines;  // of the text parsed, noted by the one pass where it runs
  bool may_hold_brace = true;    // `bytes` may hold an envelope's header
  if (!options.encoding && !detail::unicode_encoding(bytes)) {
    bool lone_carriage_return = false;
    unwrapped = detail::unwrap_utf8_view(bytes, unwrapped_storage, line_map, file.diagnostics, lone_carriage_return,
                                         &long_lines, &may_hold_brace);
    // Bytes that are not UTF-8 are split into lines before they are decoded, as UTF-8
    // ones are before they are unwrapped.
    if (!unwrapped && (lone_carriage_return || detail::has_lone_carriage_return(bytes))) [[unlikely]] {
      bytes = detail::with_line_feeds(bytes, line_feed_storage, file.diagnostics);
      unwrapped = detail::unwrap_utf8_view(bytes, unwrapped_storage, line_map, file.diagnostics, lone_carriage_return,
                                           &long_lines, &may_hold_brace);
    }
    if (unwrapped) file.charset = "UTF-8";
  }
  if (!unwrapped) {
    auto decoded = detail::decode_statement_view(bytes, options.encoding, decoded_storage, file.charset,
                                                 file.diagnostics);
    if (!decoded) return std::move(decoded).error();
    if (line_feed_storage.empty() && detail::has_lone_carriage_return(*decoded)) [[unlikely]] {
      decoded = detail::with_line_feeds(*decoded, line_feed_storage, file.diagnostics);
    }
    unwrapped = detail::unwrap_statement_view(*decoded, unwrapped_storage, line_map, file.diagnostics);
    if (!unwrapped_storage.empty()) decoded_storage = std::string();  // no longer read
  }
  const std::string_view text = *unwrapped;

  std::vector<Diagnostic> parse_diagnostics;
  std::vector<KeptStatement> kept;
  auto parsed = parse_bank_statements(text, *chain, parse_diagnostics, &kept, &long_lines);
  if (!parsed) {
    LocatedError error = std::move(parsed).error();
    if (error.line != 0) error.line = line_map.original_line(error.line);
    return error;
  }
  file.statements = std::move(parsed).value();

  // '{' is rare in statement text, and the one pass tells where none is: the search
  // then reads the bytes no second time.
  if (const auto senders = may_hold_brace ? envelope_senders(bytes) : std::vector<EnvelopeSender>{};
      !senders.empty()) {
    for (std::size_t i = 0; i < file.statements.size(); ++i) {
      const std::size_t line = line_map.original_line(kept[i].line);
      for (const EnvelopeSender& sender : senders) {
        if (sender.line > line) break;
        file.statements[i].servicer_bic = sender.bic;
        file.statements[i].sent_at = sender.sent_at;
      }
    }
  }

  for (std::size_t i = 0; i < file.statements.size(); ++i) {
    const Statement& statement = file.statements[i];
    // An interim report has no balances to reconcile, nor has a statement that lacks one.
    if (statement.kind == StatementKind::InterimReport || !statement.opening_balance_given ||
        !statement.closing_balance_given || kept[i].surely_reconciles) {
      continue;
    }
    const StatementCheck check = check_statement(statement);
    if (check.balanced) continue;
    parse_diagnostics.push_back(
        Diagnostic{kept[i].line, Severity::Note, reconcile_note(statement, check), std::string(kDoesNotReconcile)});
  }

  for (Diagnostic& d : parse_diagnostics) {
    if (d.line != 0) d.line = line_map.original_line(d.line);
    file.diagnostics.push_back(std::move(d));
  }
  std::stable_sort(file.diagnostics.begin(), file.diagnostics.end(),
                   [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
  file.diagnostics = group_diagnostics(std::move(file.diagnostics));
  return file;
}

bool holds_no_statement(const ParseError& error) noexcept {
  return std::holds_alternative<NoData>(error) || std::holds_alternative<NotStatementFile>(error);
}

}  // namespace tallyfold
