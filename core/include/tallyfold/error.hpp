// The single error type of the core. Fixed labels are views of string literals; every
// piece of input is an owned copy, so an error outlives the text it came from. The
// display text is built only by `message`.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace tallyfold {

struct NoData {};
struct MissingMandatoryTag {
  std::string_view tag;  // ":25:", ":28C:", ":60F:" or ":62F:"
  std::string reference;
};
struct InvalidDate {
  std::string value;
  std::string_view field;  // always "(date field)"
};
struct InvalidAmount {
  std::string value;
  std::string_view field;  // always "(amount field)"
};
struct InvalidFormat {
  std::string_view field;  // "balance" or ":61:"
  std::string value;
  std::string_view reason;
};
struct Other {
  std::string message;
};
// The kinds below are not errors of a statement's text, so their messages read as they
// are, without the "Parse error: " that Other's carry.
/// Bytes that are not text in the encoding they were read in, or a text a writer was
/// given that is not UTF-8.
struct EncodingError {
  std::string message;
};
/// Input that holds no statement file at all: another format, or binary bytes.
/// `message` is one of the fixed texts that say which.
struct NotStatementFile {
  std::string_view message;
};
/// What is declined rather than misread: a name no reading knows (an encoding, a
/// resolver), or statements a writer cannot put into its format.
struct Refusal {
  std::string message;
};

using ParseError = std::variant<NoData, MissingMandatoryTag, InvalidDate, InvalidAmount,
                                InvalidFormat, Other, EncodingError, NotStatementFile, Refusal>;

// Fixed texts, referenced by the errors rather than copied into them.
inline constexpr std::string_view kDateField = "(date field)";
inline constexpr std::string_view kAmountField = "(amount field)";
inline constexpr std::string_view kBalanceField = "balance";
inline constexpr std::string_view kStatementLineField = ":61:";
inline constexpr std::string_view kReasonTooShort = "too short";
inline constexpr std::string_view kReasonInvalidMark = "invalid D/C mark";
inline constexpr std::string_view kReasonNoMatch = "does not match expected format";

/// The one-line display text of an error, e.g. "Missing mandatory tag :60F: (REF1)".
/// Inserted values are copied verbatim, without quoting or escaping.
std::string message(const ParseError& error);

/// A broken invariant of the program itself (never of the input). The core throws it
/// only for programming errors such as a decoder chain without its catch-all; callers
/// report it as an internal failure, never as a parse error.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace tallyfold
