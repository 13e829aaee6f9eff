#include <charconv>
#include <cstdint>

#include "export/sink_buffer.hpp"
#include "export/text_parts.hpp"
#include "fields/field_parts.hpp"
#include "tallyfold/export.hpp"
#include "util/xml_text.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kFrameHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Document xmlns=\"urn:iso:std:iso:20022:tech:xsd:camt.053.001.06\">\n"
    "  <BkToCstmrStmt>\n"
    "    <GrpHdr>\n"
    "      <MsgId>MT940-EXPORT</MsgId>\n"
    "      <CreDtTm>2026-01-01T00:00:00Z</CreDtTm>\n"
    "    </GrpHdr>\n";
constexpr std::string_view kFrameTail =
    "  </BkToCstmrStmt>\n"
    "</Document>\n";

// Every decimal stored is kept; only a missing second fraction digit is filled in.
void append_amount(const Decimal& d, std::string& out) {
  d.append_to(out);
  if (d.scale() == 0) {
    out.append(".00");
  } else if (d.scale() == 1) {
    out.push_back('0');
  }
}

void append_escaped(const TextParts& text, std::string& out) {
  for (std::size_t i = 0; i < text.count; ++i) {
    if (i != 0) out.push_back(' ');
    detail::xml_escape(text.parts[i], out);
  }
}

void write_balance(const Balance& b, std::string_view code, std::string& out) {
  out.append(
      "      <Bal>\n"
      "        <Tp>\n"
      "          <CdOrPrtry>\n"
      "            <Cd>");
  out.append(code);
  out.append(
      "</Cd>\n"
      "          </CdOrPrtry>\n"
      "        </Tp>\n"
      "        <Amt Ccy=\"");
  detail::xml_escape(b.currency, out);
  out.append("\">");
  append_amount(b.amount, out);
  out.append(b.debit_credit == DebitCreditMark::Debit
                 ? "</Amt>\n        <CdtDbtInd>DBIT</CdtDbtInd>\n"
                 : "</Amt>\n        <CdtDbtInd>CRDT</CdtDbtInd>\n");
  out.append(
      "        <Dt>\n"
      "          <Dt>");
  b.date.append_iso(out);
  out.append(
      "</Dt>\n"
      "        </Dt>\n"
      "      </Bal>\n");
}

void write_related_parties(const Transaction& t, const FieldParts& derived,
                           std::string& out) {
  // The counterparty paid on the credit side (debtor) and was paid on the debit side.
  const bool debtor = is_credit_side(t.debit_credit);
  out.append(debtor ? "            <RltdPties>\n              <Dbtr>\n"
                    : "            <RltdPties>\n              <Cdtr>\n");
  out.append(
      "                <Pty>\n"
      "                  <Nm>");
  append_escaped(derived.counterparty, out);
  out.append(
      "</Nm>\n"
      "                </Pty>\n");
  out.append(debtor ? "              </Dbtr>\n" : "              </Cdtr>\n");
  if (!derived.counter_iban.empty()) {
    out.append(debtor ? "              <DbtrAcct>\n" : "              <CdtrAcct>\n");
    out.append(
        "                <Id>\n"
        "                  <IBAN>");
    append_escaped(derived.counter_iban, out);
    out.append(
        "</IBAN>\n"
        "                </Id>\n");
    out.append(debtor ? "              </DbtrAcct>\n" : "              </CdtrAcct>\n");
  }
  out.append("            </RltdPties>\n");
}

void write_entry(const Transaction& t, unsigned number, std::string_view currency,
                 std::string& scratch, std::string& out) {
  out.append(
      "      <Ntry>\n"
      "        <NtryRef>TXN-");
  char digits[16];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
  out.append(
      "</NtryRef>\n"
      "        <Amt Ccy=\"");
  detail::xml_escape(currency, out);
  out.append("\">");
  append_amount(t.amount, out);
  out.append(
      "</Amt>\n"
      "        <CdtDbtInd>");
  out.append(is_credit_side(t.debit_credit) ? "CRDT" : "DBIT");
  out.append(
      "</CdtDbtInd>\n"
      "        <RvslInd>");
  out.append(is_reversal(t.debit_credit) ? "true" : "false");
  out.append(
      "</RvslInd>\n"
      "        <BookgDt>\n"
      "          <Dt>");
  (t.entry_date ? *t.entry_date : t.value_date).append_iso(out);
  out.append(
      "</Dt>\n"
      "        </BookgDt>\n"
      "        <ValDt>\n"
      "          <Dt>");
  t.value_date.append_iso(out);
  out.append(
      "</Dt>\n"
      "        </ValDt>\n"
      "        <BkTxCd>\n"
      "          <Prtry>\n"
      "            <Cd>");
  detail::xml_escape(t.transaction_type, out);
  out.append(
      "</Cd>\n"
      "          </Prtry>\n"
      "        </BkTxCd>\n"
      "        <NtryDtls>\n"
      "          <TxDtls>\n");
  // Without a map the counterparty is empty and the remittance text is the details text.
  const FieldParts derived = field_parts(t, scratch);
  if (!derived.counterparty.empty()) write_related_parties(t, derived, out);
  if (!derived.purpose.empty()) {
    out.append(
        "            <RmtInf>\n"
        "              <Ustrd>");
    append_escaped(derived.purpose, out);
    out.append(
        "</Ustrd>\n"
        "            </RmtInf>\n");
  }
  out.append(
      "          </TxDtls>\n"
      "        </NtryDtls>\n"
      "      </Ntry>\n");
}

void write_statement(const Statement& s, std::string& scratch, std::string& out) {
  out.append(
      "    <Stmt>\n"
      "      <Id>");
  detail::xml_escape(s.transaction_reference, out);
  out.append(
      "</Id>\n"
      "      <CreDtTm>2026-01-01T00:00:00Z</CreDtTm>\n"
      "      <Acct>\n"
      "        <Id>\n"
      "          <IBAN>");
  detail::xml_escape(s.account_identification, out);
  out.append(
      "</IBAN>\n"
      "        </Id>\n"
      "          <Ccy>");
  detail::xml_escape(s.opening_balance.currency, out);
  out.append(
      "</Ccy>\n"
      "      </Acct>\n");
  write_balance(s.opening_balance, "OPBD", out);
  write_balance(s.closing_balance, "CLBD", out);
  unsigned number = 0;
  for (const Transaction& t : s.transactions) {
    write_entry(t, ++number, s.opening_balance.currency, scratch, out);
  }
  out.append("    </Stmt>\n");
}

std::size_t estimate_size(std::span<const Statement> statements) noexcept {
  std::size_t n = kFrameHead.size() + kFrameTail.size();
  for (const Statement& s : statements) {
    n += 900 + s.transaction_reference.size() + s.account_identification.size();
    for (const Transaction& t : s.transactions) n += 900 + t.details.size();
  }
  return n;
}

}  // namespace

void detail::xml_escape(std::string_view text, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  const auto* run = p;
  auto flush = [&](const unsigned char* upto) {
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(upto - run));
  };
  while (p < end) {
    while (end - p >= 8) {
      const std::uint64_t w = detail::word::load(p);
      if (detail::word::any_non_ascii(w) | detail::word::any_below(w, 0x20) |
          detail::word::any_equal(w, '&') | detail::word::any_equal(w, '<') |
          detail::word::any_equal(w, '>') | detail::word::any_equal(w, '"') |
          detail::word::any_equal(w, '\'')) {
        break;
      }
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    std::string_view replacement;
    std::size_t length = 1;
    if (c >= 0x80) {
      const detail::XmlStep step = detail::xml_step(p, static_cast<std::size_t>(end - p));
      length = step.length;
      if (step.allowed) {
        p += length;
        continue;
      }
      replacement = detail::kReplacementCharacter;
    } else {
      switch (c) {
        case '&': replacement = "&amp;"; break;
        case '<': replacement = "&lt;"; break;
        case '>': replacement = "&gt;"; break;
        case '"': replacement = "&quot;"; break;
        case '\'': replacement = "&apos;"; break;
        case '\t': case '\n': case '\r': break;
        default:
          // No XML 1.0 document may hold the other control characters, escaped or not.
          if (c < 0x20) replacement = detail::kReplacementCharacter;
      }
      if (replacement.empty()) {
        ++p;
        continue;
      }
    }
    flush(p);
    out.append(replacement);
    p += length;
    run = p;
  }
  flush(p);
}

Result<std::size_t> write_camt053(std::span<const Statement> statements, OutputSink& sink) {
  detail::SinkBuffer buffer(sink);
  buffer.reserve(estimate_size(statements));
  std::string& out = buffer.text();
  out.append(kFrameHead);
  std::string scratch;
  for (const Statement& s : statements) {
    write_statement(s, scratch, out);
    if (!buffer.cut()) return detail::sink_refused();
  }
  out.append(kFrameTail);
  if (!buffer.flush()) return detail::sink_refused();
  return buffer.written();
}

std::string export_camt053(std::span<const Statement> statements) {
  StringSink sink;
  // A string takes every byte.
  (void)write_camt053(statements, sink);
  return std::move(sink.text);
}

}  // namespace tallyfold
