// The bank-file reading's details: its decoders, the fields it derives, and the JSON
// that carries them. The exact reading's counterparts are pinned by its golden files.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/bank_details.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/export.hpp"
#include "util/codes.hpp"

namespace tallyfold {
namespace {

// Decoded maps lie in a buffer, as they do in a parsed document; this one lives as
// long as the tests.
TextBuffer texts;

// A transaction holding `details` as the bank-file reading decodes it.
Transaction with_details(std::string_view details) {
  Transaction t;
  t.rules = FieldRules::Bank;
  t.details = details;
  t.structured_details = decode_details(*select_bank_chain("auto"), details, texts);
  return t;
}

std::string key(const Transaction& t, std::string_view name) {
  const auto value = t.structured_details->find(name);
  return value ? std::string(*value) : "<absent>";
}

struct Expected {
  std::string_view purpose;
  std::string_view counterparty;
  std::string_view counter_iban;
  std::string_view counter_account;
  std::string_view bic;
  std::string_view end_to_end;
  std::string_view mandate;
  std::string_view creditor;
};

struct Row {
  std::string_view name;
  std::string_view details;
  Expected expected;
};

void check_rows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const DerivedFields f = fields_of(with_details(row.details));
    EXPECT_EQ(f.purpose, row.expected.purpose);
    EXPECT_EQ(f.counterparty, row.expected.counterparty);
    EXPECT_EQ(f.counter_iban, row.expected.counter_iban);
    EXPECT_EQ(f.counter_account, row.expected.counter_account);
    EXPECT_EQ(f.counterparty_bic, row.expected.bic);
    EXPECT_EQ(f.end_to_end_reference, row.expected.end_to_end);
    EXPECT_EQ(f.mandate_reference, row.expected.mandate);
    EXPECT_EQ(f.creditor_id, row.expected.creditor);
  }
}

TEST(BankGermanSepa, DerivesWhatTheBankWrote) {
  check_rows({
      {"identifier ends with its short subfield, the rest is the purpose",
       "?20EREF+TFNR 40005 00005?21MTLG:Grund nicht spezifiziert",
       {"MTLG:Grund nicht spezifiziert", "", "", "", "", "TFNR 40005 00005", "", ""}},
      {"a value cut across two full subfields",
       "166?00SEPA-UEBERWEISUNG?20SVWZ+Miete Januar Wohnung L?21inde 3",
       {"Miete Januar Wohnung Linde 3", "", "", "", "", "", "", ""}},
      {"a short subfield keeps its blank",
       "?20STORNO RECHNUNGSABSCHLUSS?21PER 01.02.2020",
       {"STORNO RECHNUNGSABSCHLUSS PER 01.02.2020", "", "", "", "", "", "", ""}},
      {"a keyword in the middle of a subfield", "?20EREF+A1 SVWZ+Beitrag 2024?21Quartal 1",
       {"Beitrag 2024 Quartal 1", "", "", "", "", "A1", "", ""}},
      {"an identifier over a full subfield goes on in the next",
       "?20EREF+1234567890123456789012?2134?22SVWZ+Beitrag",
       {"Beitrag", "", "", "", "", "123456789012345678901234", "", ""}},
      {"direct debit keywords, name over two subfields",
       "105?20EREF+NOTPROVIDED?21MREF+M-77?22CRED+DE98ZZZ09999999999?23SVWZ+Strom Mai"
       "?30DRESDEFF430?31DE95430800830802029200?32Stadtwerke Musterstadt Vers?33orgung",
       {"Strom Mai", "Stadtwerke Musterstadt Versorgung", "DE95430800830802029200",
        "DE95430800830802029200", "DRESDEFF430", "", "M-77", "DE98ZZZ09999999999"}},
      {"an account number and bank code, not an IBAN and BIC",
       "051?20SPENDE?3020010020?310012345678?32MEIER",
       {"SPENDE", "MEIER", "", "0012345678", "", "", "", ""}},
      {"an IBAN with a check-digit error", "?20SVWZ+x?31DE95430800830802029201",
       {"x", "", "", "DE95430800830802029201", "", "", "", ""}},
      {"a question mark without digits is text", "?20Was nun? Antwort",
       {"Was nun? Antwort", "", "", "", "", "", "", ""}},
      {"a line break is not part of the value", "?20SVWZ+Miete Januar Wohnung L\n?21inde 3",
       {"Miete Januar Wohnung Linde 3", "", "", "", "", "", "", ""}},
  });
}

TEST(BankGermanSepa, KeepsKeywordsAndSubfieldsUnderTheirKeys) {
  const Transaction t = with_details(
      "106?00KARTENZAHLUNG?20SVWZ+2019-02-15T20.10 Debit?21k.4 2019-12?22ABWA+Aral Tankstelle "
      "Chemni?23tz Leipziger Straße 257");
  EXPECT_EQ(key(t, "gvc"), "106");
  EXPECT_EQ(key(t, "00"), "KARTENZAHLUNG");
  EXPECT_EQ(key(t, "SVWZ"), "2019-02-15T20.10 Debitk.4 2019-12");
  // 27 characters, not bytes: "ß" takes two.
  EXPECT_EQ(key(t, "ABWA"), "Aral Tankstelle Chemnitz Leipziger Straße 257");
  EXPECT_EQ(key(t, "text"), "<absent>");
}

TEST(BankSlashSegments, DerivesWhatTheBankWrote) {
  check_rows({
      {"all segments",
       "/EREF/E2E-1//MARF/M-1//CSID/NL53ZZZ341191060000//CNTP/NL32INGB0000012345/INGBNL2A/"
       "J. Janssen/AMSTERDAM//REMI/USTD//Factuur 12/34 van 05/31/2017/",
       {"Factuur 12/34 van 05/31/2017", "J. Janssen", "NL32INGB0000012345", "NL32INGB0000012345",
        "INGBNL2A", "E2E-1", "M-1", "NL53ZZZ341191060000"}},
      {"a counterparty with an empty BIC",
       "/CNTP/NL32INGB0000012345//J. Janssen/AMSTERDAM//REMI/USTD//x/",
       {"x", "J. Janssen", "NL32INGB0000012345", "NL32INGB0000012345", "", "", "", ""}},
      {"a counterparty with fewer sub-fields", "/CNTP/DE83700111109999999999///REMI/USTD//Order 1/",
       {"Order 1", "", "", "DE83700111109999999999", "", "", "", ""}},
      {"structured remittance", "/REMI/STRD/CUR/1070123412341234/",
       {"1070123412341234", "", "", "", "", "", "", ""}},
      {"empty issuer", "/REMI/USTD//EV10001REP1000000T1000/",
       {"EV10001REP1000000T1000", "", "", "", "", "", "", ""}},
      {"a value continued on the next line, NOTPROVIDED is no reference",
       "/EREF/NOTPROVIDED//CNTP/NL32INGB0000012345/INGBNL2A/J. Jan\nssen/AMSTERDAM//RE\nMI/USTD//x/",
       {"x", "J. Janssen", "NL32INGB0000012345", "NL32INGB0000012345", "INGBNL2A", "", "", ""}},
      {"the single-slash layout keeps its decoding",
       "/EREF/195937094/BENM//NAME/abcdef/REMI/Factuur 2014-002/ISDT/2014-03-03",
       {"Factuur 2014-002", "abcdef", "", "", "", "195937094", "", ""}},
  });
  const Transaction strd = with_details("/REMI/STRD/CUR/1070123412341234/");
  EXPECT_EQ(key(strd, "REMI/TYPE"), "STRD");
  EXPECT_EQ(key(strd, "REMI/ISSUER"), "CUR");
  const Transaction ultimate = with_details("/ULTD/Jan Jansen/ID-9//PURP/SALA//REMI/USTD//Loon/");
  EXPECT_EQ(key(ultimate, "ULTD/NAME"), "Jan Jansen");
  EXPECT_EQ(key(ultimate, "ULTD/ID"), "ID-9");
  EXPECT_EQ(key(ultimate, "PURP"), "SALA");
}

// Real :86: texts of banks whose layouts the fixed sub-field counts and the single-slash
// rule misread; blanks and line breaks as the banks wrote them.
TEST(BankLayouts, DeriveWhatTheBankWrote) {
  check_rows({
      {"ABN AMRO iDEAL, labels in two columns",
       "SEPA IDEAL                       IBAN: NL70ABNA0888888888\n"
       "BIC: ABNANL2A                    NAAM: NS GROEP INZAKE NSR IDEA\n"
       "OMSCHRIJVING: 4851430136 0030000 735822580 NS E-TICKET(S)\n"
       "KENMERK: 26-01-2014 18:14 003000 0735822580",
       {"4851430136 0030000 735822580 NS E-TICKET(S)", "NS GROEP INZAKE NSR IDEA", "", "NL70ABNA0888888888",
        "ABNANL2A", "", "", ""}},
      {"ABN AMRO acceptgiro, lines joined where they were full",
       "SEPA ACCEPTGIROBETALING          IBAN: NL86INGB0002445588BIC: INGBNL2A                    NAAM: "
       "BELASTINGDIENSTBETALINGSKENM.: 1234567890098876 ID DEBITEUR: 777777777",
       {"SEPA ACCEPTGIROBETALING BETALINGSKENM.: 1234567890098876 ID DEBITEUR: 777777777", "BELASTINGDIENST", "NL86INGB0002445588", "NL86INGB0002445588", "INGBNL2A", "", "",
        ""}},
      {"Knab, description before the account", "BLA BLA BLA EEN OMSCHRIJVING IN HET OMSCHRIJVING VELD\n"
                                               "REK: NL76INB05555555555/NAAM: NAAM REKENINGHOUDER",
       {"BLA BLA BLA EEN OMSCHRIJVING IN HET OMSCHRIJVING VELD", "NAAM REKENINGHOUDER", "", "NL76INB05555555555",
        "", "", "", ""}},
      {"Knab, a label after a full line", "12160475 0050001631430920 ORDERID: 264267 MEDIA MARKT ONLINE NE"
                                          "REK: NL84INGB0234561789/NAAM: MMS ONLINE NEDERLAND B.V.",
       {"12160475 0050001631430920 ORDERID: 264267 MEDIA MARKT ONLINE NE", "MMS ONLINE NEDERLAND B.V.", "",
        "NL84INGB0234561789", "", "", "", ""}},
      {"Knab, account and name only", "REK: NL86INGB0002445588/NAAM: BEDRIJF VOF",
       {"", "BEDRIJF VOF", "NL86INGB0002445588", "NL86INGB0002445588", "", "", "", ""}},
      {"Knab card payment", "03-12-2015 16:04 PAS: 1122\nNAAM: ATM (DESCRIPTION)",
       {"03-12-2015 16:04 PAS: 1122", "ATM (DESCRIPTION)", "", "", "", "", "", ""}},
      {"Polish labels", "PRZELEW PRZYCHODZACY Z RACH.: PL61109010140000071219812874 OD: JAN KOWALSKI UL. "
                        "POLNA 1 WARSZAWA TYT.: CZYNSZ 03/2021",
       {"CZYNSZ 03/2021", "JAN KOWALSKI UL. POLNA 1 WARSZAWA", "PL61109010140000071219812874",
        "PL61109010140000071219812874", "", "", "", ""}},
      {"Polish labels, outgoing", "PRZELEW WYCHODZACY NA RACH.: 61 1090 1014 0000 0712 1981 2874\nDLA: "
                                  "SPOLDZIELNIA MIESZKANIOWA TYT.: OPLATA",
       {"OPLATA", "SPOLDZIELNIA MIESZKANIOWA", "", "61 1090 1014 0000 0712 1981 2874", "", "", "", ""}},
      {"Polish labels, to an own account", "PRZELEW WLASNY DO RACH.: PL61109010140000071219812874 TYT.: LOKATA",
       {"LOKATA", "", "PL61109010140000071219812874", "PL61109010140000071219812874", "", "", "", ""}},
      {"a party one sub-field per line: the bank's own fee",
       "/BENM/300000000512345\n/KOMERCIJALNA BANKA AD SKOPJE\n/Mesecna provizija//747\n"
       "/Nadomestok za vodenje na smetka",
       {"Nadomestok za vodenje na smetka", "KOMERCIJALNA BANKA AD SKOPJE", "", "300000000512345", "", "", "",
        ""}},
      {"a party by lines that the reading joined with blanks",
       "/BENM/300000000512345 /KOMERCIJALNA BANKA AD SKOPJE /Mesecna provizija//747 /Plakjanje po faktura 12/2020",
       {"Plakjanje po faktura 12/2020", "KOMERCIJALNA BANKA AD SKOPJE", "", "300000000512345", "", "", "", ""}},
      {"a party by lines that the reading joined directly",
       "/BENM/300000000512345/KOMERCIJALNA BANKA AD SKOPJE/Mesecna provizija//747/Nadomestok",
       {"Nadomestok", "KOMERCIJALNA BANKA AD SKOPJE", "", "300000000512345", "", "", "", ""}},
      {"a party one sub-field per line, purpose with slashes",
       "/ORDP/MK07250120000058984\n/MAKPETROL AD SKOPJE\n/EMPTY//1234\n/Plakjanje po faktura 12/2020",
       {"Plakjanje po faktura 12/2020", "MAKPETROL AD SKOPJE", "MK07250120000058984", "MK07250120000058984", "",
        "", "", ""}},
      {"a BIC field holding a bank name is no BIC",
       "/CNTP/MK07300000000042425/KOMERCIJALNA BANKA/Petar Petrovski/SKOPJE//REMI/USTD//Kirija/",
       {"Kirija", "Petar Petrovski", "MK07300000000042425", "MK07300000000042425", "", "", "", ""}},
      {"Rabobank remittance opening with a slash",
       "/ORDP//NAME/D VAN WAARD CJ/REMI//IBS.00008908/ 1001680-P796142 KI\nNDEROPVANG",
       {"IBS.00008908/ 1001680-P796142 KINDEROPVANG", "D VAN WAARD CJ", "", "", "", "", "", ""}},
      {"a remittance text holding slashes", "/REMI/KostenPeriode 01-01-2013 t/m 31-03-2013/ISDT/2013-04-01",
       {"KostenPeriode 01-01-2013 t/m 31-03-2013", "", "", "", "", "", "", ""}},
      {"ABN AMRO single slashes over lines",
       "/TRTP/SEPA OVERBOEKING/IBAN/NL86INGB0002445588/BIC/ABNANL2A/NAME/\nFOOBAR/REMI/SAVINGS/EREF/NOTPROVIDED/"
       "ORDP//ID/20\n3798473",
       {"SAVINGS", "FOOBAR", "NL86INGB0002445588", "NL86INGB0002445588", "ABNANL2A", "", "", ""}},
      {"German keywords a bank writes mid-subfield (Commerzbank)",
       "109?00SEPA-LASTSCHR. RETOURE CORE?109075/629?20EREF+A1.200080779.\n400143254?21.4961336 "
       "KREF+SEPA-DA202006?2201221740-34972000-P1 MR\nEF+2?230852HW2723821 CRED+DE41EON0?240000129793 "
       "OAMT+11,85 SVWZ+?\n25SONSTIGE GRUENDE ENDABRECHN?26UNG NR. 500106875 ZU VERTRA?2740\n0143254, "
       "KUNDENNUM MER 2?2802227779?30CSDBDE71XXX?31DE50712345600\n200691329?32TESTER?33EL",
       {"SONSTIGE GRUENDE ENDABRECHNUNG NR. 500106875 ZU VERTRA400143254, KUNDENNUM MER 2 02227779", "TESTER EL",
        "", "DE50712345600200691329", "CSDBDE71XXX", "A1.200080779.400143254.4961336",
        "20852HW2723821", "DE41EON00000129793"}},
      {"a purpose code is one word (Volksbank)",
       "152?00DA-GUTSCHRIFT?10931?20PURP+RINP Dauerauftrag/Rate\n?21SVWZ+Spende IBAN: DE3150010?2251742782394"
       "42 BIC: NORSDE51\n?30NORSDE51?31DE31500105174278239442?32Edeltraud Meyer",
       {"Spende IBAN: DE31500105174278239442 BIC: NORSDE51", "Edeltraud Meyer", "DE31500105174278239442",
        "DE31500105174278239442", "NORSDE51", "", "", ""}},
      {"German IBAN and BIC keywords", "166?20IBAN+DE95430800830802029200?21BIC+GENODEM1GLS?22SVWZ+Spende",
       {"Spende", "", "DE95430800830802029200", "DE95430800830802029200", "GENODEM1GLS", "", "", ""}},
  });
  const Transaction commerzbank = with_details(
      "?20EREF+A1?21KREF+SEPA-DA20200601221740?22CRED+DE41EON00000129793 OAMT+11,85 COAM+0,50 SVWZ+x");
  EXPECT_EQ(key(commerzbank, "KREF"), "SEPA-DA20200601221740");
  EXPECT_EQ(key(commerzbank, "OAMT"), "11,85");
  EXPECT_EQ(key(commerzbank, "COAM"), "0,50");
  // A return names the bank's and the return's references.
  const Transaction returned = with_details("?20EREF+E1?21BREF+B-0815 RREF+R-4711?22SVWZ+Retoure");
  EXPECT_EQ(key(returned, "BREF"), "B-0815");
  EXPECT_EQ(key(returned, "RREF"), "R-4711");
  EXPECT_EQ(key(returned, "SVWZ"), "Retoure");
  const Transaction volksbank = with_details("?20PURP+RINP Dauerauftrag/Rate");
  EXPECT_EQ(key(volksbank, "PURP"), "RINP");
  EXPECT_EQ(key(volksbank, "text"), "Dauerauftrag/Rate");
}

TEST(BankRules, ABicIsABic) {
  for (const auto& [text, bic] : std::vector<std::pair<std::string_view, bool>>{
           {"INGBNL2A", true},
           {"DRESDEFF430", true},
           {"NORSDE51XXX", true},
           {"KOMERCIJALNA", false},  // a bank's name
           {"50880050", false},      // a German bank code
           {"INGBNL2", false},
           {"DEUTDEFF50", false},
           {"1NGBNL2A", false},  // the bank is letters
           {"INGB1L2A", false},  // so is the country
           {"ingbnl2a", false},
           {"INGBNL2A ", false},
       }) {
    EXPECT_EQ(detail::is_bic(text), bic) << text;
  }
}

// A Swiss bank's supplementary details, a 32-digit number, after a reference of digits.
TEST(BankRules, SupplementaryDetailsAreNoCounterparty) {
  Transaction t = with_details("Zahlung");
  t.customer_reference = "20211203";
  t.bank_reference = "0123456789";
  t.extra_details = "12345678901234567890123456789012";
  EXPECT_EQ(fields_of(t).counterparty, "");
  EXPECT_EQ(fields_of(t).counter_account, "");
  t.bank_reference.reset();
  EXPECT_EQ(fields_of(t).counterparty, "");
}

// The reading hands the decoders each :86: line as the bank wrote it.
TEST(BankLayouts, APartyByLinesThroughTheReading) {
  const auto file = read_bank_file(
      ":20:STMT\n:25:MK07300000000042425\n:28C:1/1\n:60F:C210104MKD100,00\n"
      ":61:2101040104D30,00NCHGNONREF\n:86:/BENM/300000000512345\n/KOMERCIJALNA BANKA AD SKOPJE\n"
      "/Mesecna provizija//747\n/Nadomestok za vodenje na smetka\n:62F:C210104MKD70,00\n",
      {});
  ASSERT_TRUE(file) << message(file.error());
  const DerivedFields f = fields_of(file->statements.at(0).transactions.at(0));
  EXPECT_EQ(f.counterparty, "KOMERCIJALNA BANKA AD SKOPJE");
  EXPECT_EQ(f.purpose, "Nadomestok za vodenje na smetka");
  EXPECT_EQ(f.counterparty_bic, "");
}

TEST(BankRules, UnstructuredTextAndIbans) {
  EXPECT_EQ(fields_of(with_details("Terugboeking   \nNIET AKKOORD   ")).purpose, "Terugboeking NIET AKKOORD");
  for (const auto& [iban, valid] : std::vector<std::pair<std::string_view, bool>>{
           {"DE95430800830802029200", true},
           {"NL32INGB0000012345", true},
           {"GB82WEST12345698765432", true},
           {"GB82WEST12345698765433", false},  // check digits do not hold
           {"gb82WEST12345698765432", false},  // lower case
           {"DE9543080083", false},            // too short
           {"DE95 4308 0083 0802 0292 00", false},
       }) {
    EXPECT_EQ(is_valid_iban(iban), valid) << iban;
  }
}

TEST(BankChain, ResolverNames) {
  EXPECT_EQ(select_bank_chain("gvc")->decoders().front(), &bank_german_sepa_decoder());
  EXPECT_EQ(select_bank_chain("angular")->decoders().front(), &angular_decoder());
  EXPECT_EQ(select_bank_chain("swift")->decoders().size(), 3u);
  EXPECT_EQ(select_bank_chain("auto")->decoders().size(), 7u);
  EXPECT_FALSE(select_bank_chain("AUTO"));
  BankFileOptions options;
  options.resolver = "sepa";
  const auto file = read_bank_file(":20:X\n", options);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().line, 0u);
  EXPECT_EQ(message(file.error()), "unknown resolver 'sepa' (auto, swift, gvc, angular)");
}

constexpr std::string_view kRabobank =
    ":20:940S110527\n:25:0123456789\n:28C:1\n:60F:C110526EUR0,00\n"
    ":61:110527D000000001213,28N0440121470966      W.P. Jansen\n:86:Terugboeking\n"
    ":61:110527C000000000010,00N544EREF\nNL32INGB0000012345\n:86:/EREF/1/BENM//NAME/X/REMI/Y\n"
    ":62F:D110527EUR1203,28\n:65:C110528EUR1,00\n:65:C110529EUR2,00\n";

TEST(BankRules, RabobankStatementLines) {
  const auto file = read_bank_file(kRabobank, {});
  ASSERT_TRUE(file) << message(file.error());
  const auto& transactions = file->statements.at(0).transactions;
  const DerivedFields padded = fields_of(transactions.at(0));
  EXPECT_EQ(padded.counterparty, "W.P. Jansen");
  EXPECT_EQ(padded.counter_account, "0121470966");
  EXPECT_EQ(padded.counter_iban, "");
  EXPECT_EQ(padded.purpose, "Terugboeking");
  const DerivedFields second_line = fields_of(transactions.at(1));
  EXPECT_EQ(second_line.counterparty, "X");
  EXPECT_EQ(second_line.counter_iban, "NL32INGB0000012345");
}

// The bank-file form, with amounts in their written digits.
TEST(BankJson, CarriesDerivedFieldsAndInventsNoBalance) {
  const auto file = read_bank_file(kRabobank, {});
  ASSERT_TRUE(file);
  const std::string json = export_json(file->statements, {.bank_fields = true, .exact_amounts = true}).value();
  for (std::string_view expected : {
           "\"closingAvailableBalanceDate\": null,\n    \"closingAvailableBalance\": null,",
           "\"forwardAvailableBalanceDate\": \"2011-05-29\",\n    \"forwardAvailableBalance\": 2.00,",
           "\"forwardAvailableBalances\": [\n      {\n        \"date\": \"2011-05-28\",\n"
           "        \"amount\": 1.00\n      },\n      {\n        \"date\": \"2011-05-29\",",
           "\"purpose\": \"Terugboeking\",\n        \"counterparty\": \"W.P. Jansen\",\n"
           "        \"counterIban\": \"\",\n        \"counterpartyBic\": \"\",\n"
           "        \"endToEndReference\": \"\",\n        \"mandateReference\": \"\",\n"
           "        \"creditorId\": \"\",\n        \"transactionId\": \"",
       }) {
    EXPECT_NE(json.find(expected), std::string::npos) << expected << "\nin\n" << json;
  }
  EXPECT_EQ(json.find("T00:00:00"), std::string::npos);
}

// Megabytes of repetitive text: a scan that revisits earlier text would not finish here.
TEST(BankDecoders, StayLinearOnRepetitiveText) {
  const std::size_t n = 1 << 18;
  const auto repeat = [n](std::string_view unit) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.append(unit);
    return text;
  };
  EXPECT_TRUE(bank_slash_segments_decoder().decode("/CNTP/" + repeat("/"), texts));
  EXPECT_TRUE(bank_slash_segments_decoder().decode(repeat("/BENM/a"), texts));
  EXPECT_EQ(bank_slash_segments_decoder().decode("/CNTP/x" + repeat("//EREF/x"), texts)->size(), 2u);
  EXPECT_FALSE(bank_german_sepa_decoder().decode(repeat("?20EREF+"), texts)->find("EREF"));
  EXPECT_TRUE(bank_german_sepa_decoder().decode(repeat("?20EREF+123456789012345678901"), texts));
  EXPECT_TRUE(bank_german_sepa_decoder().decode(repeat("?2") + "?20x", texts));
  EXPECT_TRUE(bank_german_sepa_decoder().decode(repeat("?20OAMT+ BIC+"), texts));
  EXPECT_TRUE(bank_slash_segments_decoder().decode("/BENM/x" + repeat("\n/"), texts));
  EXPECT_TRUE(bank_slash_tags_decoder().decode(repeat("/REMI/"), texts));
  EXPECT_TRUE(bank_slash_tags_decoder().decode("/NAME/" + repeat("/ /"), texts));
  EXPECT_TRUE(bank_dutch_labels_decoder().decode(repeat("NAAM: \n"), texts));
  EXPECT_FALSE(bank_polish_labels_decoder().decode(repeat(":"), texts));
}

}  // namespace
}  // namespace tallyfold
