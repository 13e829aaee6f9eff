// The ISO 20022 writer: whatever the bank-file reading makes of any bytes, every
// version it writes is well-formed XML whose values keep the schema's length and
// pattern rules, and the same statements give the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/reconcile.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

constexpr std::size_t kMaxInput = 1 << 16;

bool upper(char c) { return c >= 'A' && c <= 'Z'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// An IBAN's form and check digits, computed here rather than trusted to the writer.
bool iban(std::string_view s) {
  if (s.size() < 15 || s.size() > 34) return false;
  unsigned remainder = 0;
  for (std::size_t k = 0; k < s.size(); ++k) {
    const char c = s[(k + 4) % s.size()];
    if (k >= s.size() - 4 && k < s.size() - 2 ? !upper(c) : k >= s.size() - 2 ? !digit(c) : !(upper(c) || digit(c))) {
      return false;
    }
    remainder = digit(c) ? (remainder * 10 + static_cast<unsigned>(c - '0')) % 97
                         : (remainder * 100 + static_cast<unsigned>(c - 'A' + 10)) % 97;
  }
  return remainder == 1;
}

// The text of a value with its five entities read back, and its length in characters.
std::size_t characters(std::string_view escaped) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const auto c = static_cast<unsigned char>(escaped[i]);
    if (c == '&') {
      const std::size_t semicolon = escaped.find(';', i);
      require(semicolon != std::string_view::npos);
      const std::string_view entity = escaped.substr(i, semicolon - i + 1);
      require(entity == "&amp;" || entity == "&lt;" || entity == "&gt;" || entity == "&quot;" || entity == "&apos;");
      i = semicolon;
    } else {
      require(c != '<' && c != '>');
    }
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

void check_amount(std::string_view v, int decimals) {
  // Amounts of a currency without minor units have no point.
  const std::size_t point = v.find('.') == std::string_view::npos ? v.size() : v.find('.');
  require(point > 0 && point + 1 != v.size());
  int digits = 0;
  bool leading = true;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i == point) continue;
    require(digit(v[i]));
    if (leading && v[i] == '0' && i < point) continue;
    leading = false;
    ++digits;
  }
  require((point == v.size() ? 0 : static_cast<int>(v.size() - point - 1)) <= decimals && digits <= 18);
}

void check_bic(std::string_view v, bool latest) {
  require(v.size() == 8 || v.size() == 11);
  for (const char c : v) require(upper(c) || digit(c));
  if (latest) {
    require(upper(v[4]) && upper(v[5]));
  } else {
    for (std::size_t i = 0; i < 6; ++i) require(upper(v[i]));
    require(v[6] != '0' && v[6] != '1' && v[7] != 'O');
  }
}

void check_date(std::string_view v) {
  require(v.size() >= 10 && v[4] == '-' && v[7] == '-');
  for (const std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) require(digit(v[i]));
}

// One value by the rule of its element (and, for an identifier, its parent's).
void check_value(const std::vector<std::string_view>& path, std::string_view v, bool latest) {
  const std::string_view name = path.back();
  const std::string_view parent = path.size() > 1 ? path[path.size() - 2] : std::string_view();
  const std::size_t n = characters(v);
  require(n >= 1 && v.find('\n') == std::string_view::npos);
  if (name == "Amt") return check_amount(v, 5);
  if (name == "Sum") return check_amount(v, 17);
  if (name == "Dt") return check_date(v);
  if (name == "CreDtTm" || name == "FrDtTm" || name == "ToDtTm") {
    // Never a time without its zone.
    check_date(v);
    return require(v.ends_with("Z") || (v.size() > 6 && (v[v.size() - 6] == '+' || v[v.size() - 6] == '-')));
  }
  if (name == "CdtDbtInd") return require(v == "CRDT" || v == "DBIT");
  if (name == "Ccy") return require(v.size() == 3 && upper(v[0]) && upper(v[1]) && upper(v[2]));
  if (name == "IBAN") return require(iban(v));
  if (name == "BIC" || name == "BICFI") return check_bic(v, latest);
  if (name == "ElctrncSeqNb" || name == "LglSeqNb" || name == "NbOfNtries") {
    for (const char c : v) require(digit(c));
    return require(v.size() <= 18 && (v.size() == 1 || v[0] != '0'));
  }
  if (name == "Nm" || name == "Ustrd") return require(n <= 140);
  if (name.starts_with("Addtl")) return require(n <= 500);
  if (name == "AdrLine" || name == "StrtNm") return require(n <= 70);
  if (name == "PstCd" || name == "BldgNb") return require(n <= 16);
  if (name == "Id" && parent == "Othr" && path.size() > 3 && path[path.size() - 3] == "Id") return require(n <= 34);
  require(n <= 35);
}

// What one camt statement says of its balance: the opening and closing balance and its
// entries, signed by their CdtDbtInd.
struct Sums {
  Decimal opening;
  Decimal closing;
  Decimal entries;
  bool fits = true;
  bool has_opening = false;
};

// Follows the amounts of each Stmt as the document walk meets them.
class SumReader {
 public:
  void value(const std::vector<std::string_view>& path, std::string_view v) {
    if (path.size() < 3) return;
    const std::string_view name = path.back();
    const std::string_view parent = path[path.size() - 2];
    const std::string_view grandparent = path[path.size() - 3];
    if (name == "Cd" && grandparent == "Tp") code_ = v;
    if (name == "Amt" && (parent == "Bal" || parent == "Ntry") && grandparent == "Stmt") {
      auto amount = parse_amount(v);
      require(bool(amount));
      amount_ = *amount;
    }
    if (name == "CdtDbtInd" && grandparent == "Stmt") {
      const Decimal signed_amount = v == "DBIT" ? amount_.negated() : amount_;
      Sums& sums = statements_.back();
      if (parent == "Ntry") {
        const auto sum = sums.entries.plus(signed_amount);
        sums.fits = sums.fits && sum.has_value();
        if (sum) sums.entries = *sum;
      } else if (code_ == "OPBD" || (code_ == "ITBD" && !sums.has_opening)) {
        // The first intermediate balance opens the page, the last closes it.
        sums.opening = signed_amount;
        sums.has_opening = true;
      } else if (code_ == "CLBD" || code_ == "ITBD") {
        sums.closing = signed_amount;
      }
    }
  }
  void opened(std::string_view name) {
    if (name == "Stmt") statements_.emplace_back();
  }
  const std::vector<Sums>& statements() const { return statements_; }

 private:
  std::vector<Sums> statements_;
  std::string_view code_;
  Decimal amount_;
};

void check_document(std::string_view xml, bool latest, SumReader& sums) {
  constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  require(xml.starts_with(kDeclaration) && is_valid_utf8(xml));
  // Line breaks between elements only: no TAB, no CR, and no U+FFFD in any text.
  for (const char c : xml) {
    const auto u = static_cast<unsigned char>(c);
    require(u >= 0x20 || u == '\n');
  }
  require(xml.find("\xEF\xBF\xBD") == std::string_view::npos);
  std::vector<std::string_view> path;
  std::size_t i = kDeclaration.size();
  bool closed = false;
  while ((i = xml.find('<', i)) != std::string_view::npos) {
    require(!closed);
    const std::size_t end = xml.find('>', i);
    require(end != std::string_view::npos);
    const std::string_view tag = xml.substr(i + 1, end - i - 1);
    if (tag.starts_with('/')) {
      require(!path.empty() && path.back() == tag.substr(1));
      path.pop_back();
      closed = path.empty();
      i = end + 1;
      continue;
    }
    const std::string_view name = tag.substr(0, tag.find(' '));
    require(!name.empty() && name.find('/') == std::string_view::npos);
    if (name == "Amt") {
      const std::string_view attribute = tag.substr(name.size());
      require(attribute.size() == 10 && attribute.starts_with(" Ccy=\"") && attribute.back() == '"');
      require(upper(attribute[6]) && upper(attribute[7]) && upper(attribute[8]));
    }
    path.push_back(name);
    sums.opened(name);
    const std::size_t next = xml.find('<', end + 1);
    require(next != std::string_view::npos);
    if (xml.substr(next + 1, name.size() + 1) == std::string("/").append(name)) {
      check_value(path, xml.substr(end + 1, next - end - 1), latest);
      sums.value(path, xml.substr(end + 1, next - end - 1));
    } else {
      for (std::size_t k = end + 1; k < next; ++k) require(xml[k] == ' ' || xml[k] == '\n');
    }
    i = end + 1;
  }
  require(closed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  auto file = read_bank_file(as_text(data, size), BankFileOptions{});
  if (!file) return 0;
  for (const CamtVersion version : {CamtVersion::V02, CamtVersion::V06, CamtVersion::V08}) {
    const CamtOptions options{version, static_cast<std::int64_t>(size) * 86399};
    auto document = export_camt(file->statements, options);
    if (!document) continue;
    SumReader sums;
    check_document(document->xml, version == CamtVersion::V08, sums);
    // Where every statement was written, each that reconciles does so in camt too.
    if (document->warnings.empty() && document->message == CamtMessage::Statement) {
      require(sums.statements().size() == file->statements.size());
      for (std::size_t i = 0; i < file->statements.size(); ++i) {
        const Sums& camt = sums.statements()[i];
        if (!check_statement(file->statements[i]).balanced || !camt.fits) continue;
        const auto computed = camt.opening.plus(camt.entries);
        require(computed.has_value() && *computed == camt.closing);
      }
    }
    // Converted again later: the same document, the time of conversion aside.
    auto again = export_camt(file->statements, CamtOptions{version, options.created + 1});
    require(again.has_value());
    const std::size_t header_end = document->xml.find("</GrpHdr>");
    const std::size_t id_end = document->xml.find("</MsgId>");
    require(header_end != std::string::npos && id_end < header_end);
    // A statement without a date of its own is stamped with the time of conversion, and
    // the message id, which hashes the body, changes with it.
    const std::size_t stamp_at = document->xml.find("<CreDtTm>");
    const std::size_t stamp_end = document->xml.find("</CreDtTm>", stamp_at);
    require(stamp_at < header_end && stamp_end < header_end);
    const std::string_view xml = document->xml;
    if (xml.find(xml.substr(stamp_at, stamp_end - stamp_at), header_end) != std::string_view::npos) continue;
    require(again->xml.compare(0, id_end, document->xml, 0, id_end) == 0);
    require(again->xml.size() == document->xml.size());
    require(again->xml.compare(header_end, std::string::npos, document->xml, header_end) == 0);
  }
  return 0;
}
