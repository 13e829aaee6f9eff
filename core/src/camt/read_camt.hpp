// The camt reading: ISO 20022 bank-to-customer cash management documents (camt.052
// account reports, camt.053 statements, camt.054 debit/credit notifications) of every
// version, read into the same model as the MT readings.
//
// Every Stmt, Rpt or Ntfctn becomes a Statement of the matching kind and every Ntry a
// Transaction. What the model has a member for goes there; the derived fields
// (fields_of, with the bank rules) come from the same keys the bank-layout decoders write ("EREF", "MREF",
// "CRED", "REMI", "CNTP/NAME", ...), and everything else an entry or statement says is
// kept under its element path ("Sts", "BkTxCd/Domn/Cd", "RltdPties/Dbtr/Nm") in its
// details map. Nothing is dropped silently: every repair or omission is a Diagnostic
// naming the line of its element.
//
// A document with a DOCTYPE is refused before anything in it is read, so no external
// entity is resolved and no entity is expanded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

/// Whether `bytes` hold an XML document rather than MT text: after a byte-order mark
/// and white space, the first byte is "<".
bool looks_like_xml(std::string_view bytes) noexcept;

/// The statements of one camt document.
struct CamtFile {
  std::vector<Statement> statements;    // never empty
  std::vector<Diagnostic> diagnostics;  // ordered by line, grouped by kind
  std::string charset;                  // the document's encoding as read: "UTF-8", "UTF-16"
  /// The message and version read: "camt.053.001.08"; without a version the namespace
  /// gave, the message alone ("camt.052").
  std::string source_format;
};

/// Reads one camt document from its bytes (UTF-8 or UTF-16, or what its declaration
/// names). The message element is found under any root, envelope or wrapper (a note
/// when the root is not Document), a business application header is skipped, and the
/// version comes from the namespace; a document without one, or with one that names no
/// camt message version, is read by its element names with a warning. Fails, at the
/// line concerned, for XML that is not well-formed, a DOCTYPE, and a document with no
/// statement, report or notification. A statement that lacks its account or a booked
/// opening or closing balance is kept, marked incomplete, with a warning. Never throws
/// for bad input; linear in the size of the document.
Result<CamtFile, LocatedError> read_camt(std::string_view bytes);

}  // namespace tallyfold
