// Transaction details as banks mean them: the bank-file reading's decoding of :86:
// texts and what it derives from them.
//
// The exact reading keeps its own decoders (decode.hpp). The bank-file reading decodes
// each layout the way the banks define it (slash segments with sub-fields, German "?NN"
// subfields with SEPA keywords, Polish "<NN"/"^NN" subfields); its chains mark their
// transactions for the Bank rules of fields.hpp, which read the keys listed below.
#pragma once

#include <optional>
#include <string_view>

#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold {

/// Slash segments with sub-fields ("/EREF/...//CNTP/IBAN/BIC/NAME/CITY//REMI/USTD//text/"),
/// recognised by "/CNTP/", "/REMI/USTD", "/REMI/STRD", or "/BENM/" or "/ORDP/" followed by
/// an account rather than a sub-tag. Keys: one-value codes under their code ("EREF",
/// "MARF", "CSID", "ADDR" the party's address, ...); "CNTP/IBAN", "CNTP/BIC", "CNTP/NAME", "CNTP/CITY" (the same for
/// BENM and ORDP); "REMI" (the text), "REMI/TYPE", "REMI/ISSUER"; "ULTD/NAME", "ULTD/ID"
/// (the same for ULTB and ULTC). Empty sub-fields give no entry. A party block that
/// opens the text written one sub-field per line ("/BENM/account", "/name", "/text",
/// "/purpose") is read by its lines: "BENM/IBAN" (the account as written), "BENM/NAME",
/// "BENM/INFO" (the lines between) and "REMI" (the last line).
const Decoder& bank_slash_segments_decoder() noexcept;
/// The single-slash layout ("/TRTP/.../IBAN/.../NAME/.../REMI/text"), recognised by the
/// marks the exact reading's swift-structured decoder takes ("/EREF/", "/NAME/",
/// "/REMI/", "/BIC/", "/IBAN/"). A value runs to the next known tag, slashes inside it
/// kept. Keys: each tag ("TRTP", "IBAN", "BIC", "NAME", "ADDR", "REMI", "EREF", "MARF", ...);
/// "detail" (the whole text) when no tag holds a value.
const Decoder& bank_slash_tags_decoder() noexcept;
/// Dutch labels ("IBAN: ... BIC: ... NAAM: ... OMSCHRIJVING: ...", "REK: .../NAAM: ..."),
/// recognised by "IBAN:", "NAAM:", "REK:", "OMSCHRIJVING:" or "BETALINGSKENM(ERK).:"
/// starting a word. Keys: each label without its ":" ("IBAN", "BIC", "NAAM", "REK",
/// "OMSCHRIJVING", "KENMERK", "BETALINGSKENM.", "ID DEBITEUR", ...); "text" (before the
/// first label).
const Decoder& bank_dutch_labels_decoder() noexcept;
/// Polish labels ("Z RACH.: ... OD: ... TYT.: ..."), recognised by "Z RACH.:", "NA RACH.:",
/// "DO RACH.:" or "TYT.:" starting a word. Keys: "Z RACH.", "NA RACH.", "DO RACH.",
/// "TYT.", "OD", "DLA"; "text" (before the first label).
const Decoder& bank_polish_labels_decoder() noexcept;
/// German "?NN" subfields with SEPA keywords, recognised by "?" and two digits. Keys:
/// each subfield by its number; "gvc"; "REMI_COMBINED" (?20-?29 and ?60-?63 joined as the
/// bank cut them); "NAME" (?32 and ?33 joined the same way); from the joined text each
/// keyword of the German banking industry's list ("EREF", "KREF", "MREF", "CRED", "DEBT",
/// "COAM", "OAMT", "BREF", "RREF", "PURP", "IBAN", "BIC", "SVWZ", "ABWA", "ABWE"), its
/// value ending where the next keyword starts; "text" (the joined text outside every
/// keyword).
const Decoder& bank_german_sepa_decoder() noexcept;

/// The bank-layout chain for a resolver name: "auto" all layouts, "swift" the slash
/// layouts, "gvc" the German one, "angular" the Polish one; nullopt for any other name
/// (an unknown name is an error in the bank-file reading).
std::optional<DecoderChain> select_bank_chain(std::string_view resolver) noexcept;

}  // namespace tallyfold
