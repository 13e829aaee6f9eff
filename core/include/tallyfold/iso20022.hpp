// ISO 20022 cash management documents: camt.053 for statements and camt.052 for
// interim reports, in the versions importers ask for.
//
// Unlike export_camt053 (export.hpp), whose bytes stay as they always were, every
// document written here is valid against the official schema of its version: values
// the schema limits are mapped, split or cut by fixed rules, and a statement that no
// rule can make valid is left out with a warning.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"
#include "tallyfold/sink.hpp"

namespace tallyfold {

/// The message versions written: .001.02, .001.06 and .001.08.
enum class CamtVersion : std::uint8_t { V02, V06, V08 };

/// The kind of message: a statement (camt.053), an account report (camt.052, what MT942
/// interim reports become) or a debit/credit notification (camt.054).
enum class CamtMessage : std::uint8_t { Statement, Report, Notification };

/// The version named "02", "06" or "08" (also "2", "6", "8"); nullopt for any other.
std::optional<CamtVersion> camt_version_from(std::string_view name) noexcept;

/// Seconds since 1970-01-01T00:00:00Z of "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS]" (UTC),
/// the same followed by "Z" or a "+HH:MM"/"-HH:MM" offset, or "@" and a number of
/// seconds; nullopt for anything else.
std::optional<std::int64_t> parse_timestamp(std::string_view text) noexcept;

/// The status of the entries of an interim report: booked, or pending for banks that
/// report pre-noted items in MT942 (German banks do). Statement entries are booked.
enum class CamtEntryStatus : std::uint8_t { Booked, Pending };

/// "booked" or "pending"; nullopt for any other name.
std::optional<CamtEntryStatus> camt_entry_status_from(std::string_view name) noexcept;

/// The creation time of a document when the caller gives none: SOURCE_DATE_EPOCH when
/// it is set to a number of seconds (so that builds can be reproduced), else now.
std::int64_t default_creation_time();

struct CamtOptions {
  CamtVersion version = CamtVersion::V08;
  std::int64_t created = 0;  // the time of conversion, seconds since 1970 UTC; GrpHdr only
  CamtEntryStatus entry_status = CamtEntryStatus::Booked;
};

struct CamtDocument {
  std::string xml;
  CamtMessage message = CamtMessage::Statement;
  std::vector<std::string> warnings;  // a statement left out, a value written unlike its currency
};

/// The document of one account: its Acct/Id value (IBAN or account number) and the
/// statements of that account alone.
struct CamtAccountDocument {
  std::string account;
  CamtDocument document;
};

/// One document for all statements: camt.053 when they are statements, camt.052 when
/// they are interim reports. Its MsgId is derived from the statements it holds alone,
/// never from the creation time, so the same statements give the same MsgId. Fails with
/// an `Other` error when the statements mix both kinds or when every statement is left
/// out.
Result<CamtDocument> export_camt(std::span<const Statement> statements, const CamtOptions& options);

/// The same document written to `sink` as it is made, a statement at a time; its `xml`
/// stays empty. Fails as export_camt does, or with an `Other` error when the sink
/// refused bytes. A sink that cannot go back costs a second pass over the statements,
/// since the message id stands before them.
Result<CamtDocument> write_camt(std::span<const Statement> statements, const CamtOptions& options, OutputSink& sink);

/// One document per account, in the order the accounts first appear. An account none
/// of whose statements can be written is left out, with a warning in the first
/// document; fails as export_camt does when no account can be written.
Result<std::vector<CamtAccountDocument>> export_camt_per_account(std::span<const Statement> statements,
                                                                 const CamtOptions& options);

}  // namespace tallyfold
