// The ISO 20022 document around the statements: the message kind, the group header
// and the message id.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "export/camt_account.hpp"
#include "export/iso20022_hash.hpp"
#include "export/sink_buffer.hpp"
#include "export/statement_loop.hpp"
#include "export/iso20022_limits.hpp"
#include "export/iso20022_message.hpp"
#include "export/iso20022_statement.hpp"
#include "export/iso20022_time.hpp"
#include "export/iso20022_xml.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/transaction_id.hpp"

namespace tallyfold {
namespace {

using camt::ContentHash;

std::uint64_t content_hash(std::string_view bytes) noexcept {
  ContentHash hash;
  hash.feed(bytes);
  return hash.finish();
}

// Interim reports become account reports, notifications notifications; everything
// else a statement.
CamtMessage message_for(const Statement& s) noexcept {
  switch (s.kind) {
    case StatementKind::InterimReport: return CamtMessage::Report;
    case StatementKind::Notification: return CamtMessage::Notification;
    case StatementKind::Statement: break;
  }
  return CamtMessage::Statement;
}

// `base` cut so that `suffix` fits after it within 35 characters.
std::string with_suffix(std::string_view base, std::string_view suffix) {
  std::string out(base.substr(0, camt::prefix_bytes(base, camt::kMax35 - suffix.size())));
  out.append(suffix);
  return out;
}

// A Stmt/Id for every statement, unique within the document: the :20: reference; where
// it repeats, with the statement number and page of :28C:; where that still repeats,
// with a running number.
std::vector<std::string> statement_ids(std::span<const Statement> statements) {
  std::vector<std::string> ids;
  ids.reserve(statements.size());
  std::unordered_map<std::string, std::size_t> repeats;
  for (const Statement& s : statements) {
    std::string id = camt::fit(s.transaction_reference, camt::kMax35);
    if (id.empty()) id = "NONREF";
    ++repeats[id];
    ids.push_back(std::move(id));
  }
  std::unordered_set<std::string> used;
  for (std::size_t i = 0; i < statements.size(); ++i) {
    std::string& id = ids[i];
    if (repeats[id] > 1) {
      std::string suffix;
      auto add = [&suffix](std::string_view part) {
        if (!suffix.empty()) suffix.push_back('-');
        for (const char c : part) {
          if (camt::is_upper_or_digit(c)) suffix.push_back(c);
        }
      };
      add(statements[i].number);
      if (statements[i].sequence) add(*statements[i].sequence);
      if (!suffix.empty() && suffix.size() < 20) id = with_suffix(id, "-" + suffix);
    }
    const std::string base = id;
    for (std::size_t n = 2; !used.insert(id).second; ++n) id = with_suffix(base, "-" + std::to_string(n));
  }
  return ids;
}

}  // namespace

std::optional<CamtEntryStatus> camt_entry_status_from(std::string_view name) noexcept {
  if (name == "booked") return CamtEntryStatus::Booked;
  if (name == "pending") return CamtEntryStatus::Pending;
  return std::nullopt;
}

std::optional<CamtVersion> camt_version_from(std::string_view name) noexcept {
  if (name == "02" || name == "2") return CamtVersion::V02;
  if (name == "06" || name == "6") return CamtVersion::V06;
  if (name == "08" || name == "8") return CamtVersion::V08;
  return std::nullopt;
}

std::string_view camt_version_name(CamtVersion version) noexcept {
  switch (version) {
    case CamtVersion::V02: return "02";
    case CamtVersion::V06: return "06";
    case CamtVersion::V08: return "08";
  }
  return "08";
}

namespace {

// What writing the statements of a document gave: their hash, and whether any was written.
struct Body {
  std::uint64_t hash = 0;
  detail::StatementsWritten written;
};

// Writes every statement that can be written into `buffer`, the others rolled back with
// a warning, and hashes what stays. With `keep` false the bytes are dropped as soon as
// they are hashed: the pass that finds the message id for a sink that cannot go back.
Body write_body(std::span<const Statement> statements, CamtMessage message, const CamtOptions& options,
                std::span<const std::string> ids, std::string_view ns, detail::SinkBuffer* buffer,
                std::vector<std::string>& warnings) {
  Body body;
  ContentHash hash(content_hash(ns));
  std::string scratch;
  std::string& out = buffer ? buffer->text() : scratch;
  std::vector<std::string> notes;
  // Where the output stays in one string, each statement is hashed while the next is
  // written; elsewhere it is hashed before it is handed on.
  camt::TrailingHash trailing(hash, out.size());
  const bool trails = buffer != nullptr && buffer->keeps_all();
  // The entries' ids of several statements made at once, ahead of their entries: the
  // hashing's code then comes into the instruction cache once for them all, rather than
  // between every two statements, each time pushing out the entries' code.
  constexpr std::size_t kIdsAhead = 16;
  std::vector<TransactionId> entry_ids[kIdsAhead];
  body.written = detail::write_statements(
      statements, out, "the camt document", warnings, [](const Statement& s) { return s.transaction_reference; },
      [&](const Statement& s, std::size_t i) {
        if (i % kIdsAhead == 0) {
          for (std::size_t k = 0; k < kIdsAhead; ++k) {
            entry_ids[k].clear();
            if (i + k < statements.size()) entry_ids[k] = transaction_ids(statements[i + k]);
          }
        }
        notes.clear();
        return camt::write_statement(s, message, options, ids[i], entry_ids[i % kIdsAhead], notes, out,
                                     trails ? &trailing : nullptr);
      },
      [&](std::size_t mark) {
        if (trails) {
          trailing.stays(out.size());
        } else {
          hash.feed(std::string_view(out).substr(mark));
        }
        for (std::string& note : notes) warnings.push_back(std::move(note));
        if (buffer) return buffer->cut();
        scratch.clear();
        return true;
      });
  if (trails) trailing.catch_up(out);
  body.hash = hash.finish();
  return body;
}

}  // namespace

Result<CamtDocument> write_camt(std::span<const Statement> statements, const CamtOptions& options, OutputSink& sink) {
  CamtDocument document;
  if (statements.empty()) return detail::nothing_to_write("camt");
  document.message = message_for(statements.front());
  for (const Statement& s : statements) {
    if (message_for(s) == CamtMessage::Notification) {
      return Refusal{"a camt.054 notification cannot be written as camt: there is no camt.054 writer "
                     "(convert it to json or csv)"};
    }
    if (message_for(s) != document.message) {
      return Refusal{"the input mixes MT940 statements and MT942 interim reports, which no one camt document can hold"};
    }
  }
  const std::string created = camt::utc_date_time(options.created);
  const std::vector<std::string> ids = statement_ids(statements);
  std::string ns = "urn:iso:std:iso:20022:tech:xsd:camt.";
  ns.append(camt::names_of(document.message).number);
  ns.append(".001.");
  ns.append(camt_version_name(options.version));

  // The identifier covers what the statements say, never the time of conversion, so
  // that the same statement converted twice is recognised as the same message. It
  // stands before the statements: where the sink can go back it is written last over
  // a placeholder of its width, elsewhere a first pass over the statements finds it.
  detail::SinkBuffer buffer(sink);
  // Room for the whole document when it goes into one string, so that the string is not
  // copied over as it grows: an entry takes about 1.5 KB besides its details, which a
  // few elements repeat. Room never written costs no memory.
  std::size_t room = 4096;
  for (const Statement& s : statements) {
    room += 4096;
    for (const Transaction& t : s.transactions) room += 2048 + 2 * (t.details.size() + t.extra_details.value_or("").size());
  }
  buffer.reserve(room);
  std::optional<Body> hashed;
  if (!buffer.rewritable()) {
    hashed = write_body(statements, document.message, options, ids, ns, nullptr, document.warnings);
    if (hashed->written.count == 0) return detail::nothing_written("camt", hashed->written);
    document.warnings.clear();
  }
  auto message_id = [](std::uint64_t hash) {
    char id[17];
    std::snprintf(id, sizeof id, "%016llX", static_cast<unsigned long long>(hash));
    return std::string(id, 16);
  };

  // An entry takes some 1.5 KB; where the whole document stays in one string, room is
  // made once, as growing hundreds of megabytes by doubling would copy them over and over.
  std::size_t entries = 0;
  for (const Statement& s : statements) entries += s.transactions.size();
  buffer.reserve(1024 + 3072 * statements.size() + 1600 * entries);
  std::string& out = buffer.text();
  out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Document xmlns=\"");
  out.append(ns);
  out.append("\">\n");
  const std::string_view root = camt::names_of(document.message).root;
  constexpr std::string_view kIdPrefix = "TALLYFOLD-";
  {
    camt::Xml x(out, 1);
    x.open(root);
    x.open(camt::tag<"GrpHdr">);
    x.value(camt::tag<"MsgId">, std::string(kIdPrefix) + (hashed ? message_id(hashed->hash) : std::string(16, '0')));
    x.value(camt::tag<"CreDtTm">, created);
    x.close(camt::tag<"GrpHdr">);
  }
  // Counted from the export's first byte; `out` may hold bytes before it.
  const std::size_t id_at = buffer.written() - out.size() + out.rfind(kIdPrefix) + kIdPrefix.size();

  const Body body = write_body(statements, document.message, options, ids, ns, &buffer, document.warnings);
  if (!buffer.ok()) return detail::sink_refused();
  if (body.written.count == 0) return detail::nothing_written("camt", body.written);
  if (!hashed && !buffer.rewrite(id_at, message_id(body.hash))) return detail::sink_refused();
  camt::Xml(out, 2).close(root);
  out.append("</Document>\n");
  if (!buffer.flush()) return detail::sink_refused();
  return document;
}

Result<CamtDocument> export_camt(std::span<const Statement> statements, const CamtOptions& options) {
  return detail::into_document(&CamtDocument::xml,
                               [&](OutputSink& sink) { return write_camt(statements, options, sink); });
}

Result<std::vector<CamtAccountDocument>> export_camt_per_account(std::span<const Statement> statements,
                                                                 const CamtOptions& options) {
  if (statements.empty()) return detail::nothing_to_write("camt");
  // The statements of each account, in the order the accounts first appear.
  std::vector<std::pair<std::string, std::vector<Statement>>> groups;
  std::unordered_map<std::string, std::size_t> index;
  for (const Statement& s : statements) {
    std::string_view currency = statement_currency(s);
    if (!camt::is_currency(currency) && s.kind == StatementKind::Statement) currency = s.closing_balance.currency;
    std::string account = camt::account_parts(s.account_identification, currency).id;
    const auto [at, added] = index.try_emplace(account, groups.size());
    if (added) groups.emplace_back(std::move(account), std::vector<Statement>{});
    groups[at->second].second.push_back(s);
  }
  std::vector<CamtAccountDocument> documents;
  documents.reserve(groups.size());
  // An account none of whose statements can be written is left out, and said in the
  // warnings of the first document written; only when no account can be, it fails.
  std::vector<std::string> left_out;
  std::optional<ParseError> last_error;
  for (auto& [account, group] : groups) {
    auto document = export_camt(group, options);
    if (!document) {
      left_out.push_back("account '" + account + "' left out of the camt documents: " + message(document.error()));
      last_error = std::move(document).error();
      continue;
    }
    documents.push_back(CamtAccountDocument{account, std::move(*document)});
  }
  if (documents.empty()) return std::move(*last_error);
  auto& warnings = documents.front().document.warnings;
  warnings.insert(warnings.begin(), left_out.begin(), left_out.end());
  return documents;
}

}  // namespace tallyfold
