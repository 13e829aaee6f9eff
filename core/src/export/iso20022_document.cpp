// The ISO 20022 document around the statements: the message kind, the group header
// and the message id.
#include <cstdint>
#include <cstdio>

#include "export/iso20022_statement.hpp"
#include "export/iso20022_time.hpp"
#include "export/iso20022_xml.hpp"
#include "tallyfold/iso20022.hpp"

namespace tallyfold {
namespace {

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t h = 0xcbf29ce484222325ULL) noexcept {
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string_view root_element(CamtMessage message) noexcept {
  switch (message) {
    case CamtMessage::Statement: return "BkToCstmrStmt";
    case CamtMessage::Report: return "BkToCstmrAcctRpt";
    case CamtMessage::Notification: return "BkToCstmrDbtCdtNtfctn";
  }
  return "BkToCstmrStmt";
}

// How a warning names what it left out.
std::string_view noun(CamtMessage message) noexcept {
  switch (message) {
    case CamtMessage::Statement: return "statement";
    case CamtMessage::Report: return "interim report";
    case CamtMessage::Notification: return "notification";
  }
  return "statement";
}

// MT942 interim reports become account reports; everything else a statement.
CamtMessage message_for(const Statement& s) noexcept {
  return s.kind == StatementKind::InterimReport ? CamtMessage::Report : CamtMessage::Statement;
}

}  // namespace

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

std::string_view camt_message_number(CamtMessage message) noexcept {
  switch (message) {
    case CamtMessage::Statement: return "053";
    case CamtMessage::Report: return "052";
    case CamtMessage::Notification: return "054";
  }
  return "053";
}

Result<CamtDocument> export_camt(std::span<const Statement> statements, const CamtOptions& options) {
  CamtDocument document;
  if (statements.empty()) return Other{"no statement to write as camt"};
  document.message = message_for(statements.front());
  for (const Statement& s : statements) {
    if (message_for(s) != document.message) {
      return Other{"the input mixes MT940 statements and MT942 interim reports, which no one camt document can hold"};
    }
  }
  const std::string created = camt::utc_date_time(options.created);
  std::string body;
  std::size_t written = 0;
  std::string last_refusal;
  for (const Statement& s : statements) {
    const std::size_t mark = body.size();
    if (auto refusal = camt::write_statement(s, document.message, options, created, body)) {
      body.resize(mark);
      last_refusal = *refusal;
      document.warnings.push_back(std::string(noun(document.message)) + " '" + std::string(s.transaction_reference) +
                                  "' left out of the camt document: " + *refusal);
      continue;
    }
    ++written;
  }
  if (written == 0) return Other{"nothing can be written as camt: " + last_refusal};

  std::string ns = "urn:iso:std:iso:20022:tech:xsd:camt.";
  ns.append(camt_message_number(document.message));
  ns.append(".001.");
  ns.append(camt_version_name(options.version));
  // The identifier covers everything the document says, the creation time included.
  char id[40];
  const int id_size = std::snprintf(id, sizeof id, "TALLYFOLD-%016llX",
                                    static_cast<unsigned long long>(fnv1a(body, fnv1a(ns + created))));

  std::string& out = document.xml;
  out.reserve(body.size() + 400);
  out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Document xmlns=\"");
  out.append(ns);
  out.append("\">\n");
  camt::Xml x(out, 1);
  const std::string_view root = root_element(document.message);
  x.open(root);
  x.open("GrpHdr");
  x.value("MsgId", std::string_view(id, static_cast<std::size_t>(id_size)));
  x.value("CreDtTm", created);
  x.close("GrpHdr");
  out.append(body);
  x.close(root);
  out.append("</Document>\n");
  return document;
}

}  // namespace tallyfold
