// The account of a :25: field taken apart as camt holds it: the account alone, the
// bank that keeps it, and nothing else.
#pragma once

#include <string>
#include <string_view>

namespace tallyfold::camt {

struct AccountParts {
  bool iban = false;
  std::string id;  // the IBAN, compacted, or the account number; at most 34 characters
  // Whatever preceded the account, as the bank wrote it (a BIC, a bank code, a name).
  std::string servicer;
};

/// `account` (a :25: value) apart: a valid IBAN anywhere in the usual forms ("IBAN",
/// "BIC/IBAN", "IBAN EUR", "IBANEUR"); otherwise, after dropping a trailing currency
/// code, the part after the last slash, with the part before it as the servicer. A
/// trailing code counts as a currency when it is `currency` or follows a blank or slash.
AccountParts account_parts(std::string_view account, std::string_view currency);

}  // namespace tallyfold::camt
