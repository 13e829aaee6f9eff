// What the camt writer names after the message kind, one row per kind: a further kind
// is a row here rather than a branch in each part of the writer.
#pragma once

#include <string_view>

#include "tallyfold/iso20022.hpp"

namespace tallyfold::camt {

struct MessageNames {
  std::string_view number;       // of the message: "053"
  std::string_view root;         // the message element: "BkToCstmrStmt"
  std::string_view item;         // each statement's element: "Stmt"
  std::string_view pagination;   // "StmtPgntn"
  std::string_view information;  // "AddtlStmtInf"
  std::string_view noun;         // how a warning names what it left out: "statement"
};

inline const MessageNames& names_of(CamtMessage message) noexcept {
  static constexpr MessageNames kStatement{"053", "BkToCstmrStmt", "Stmt", "StmtPgntn", "AddtlStmtInf", "statement"};
  static constexpr MessageNames kReport{"052", "BkToCstmrAcctRpt", "Rpt", "RptPgntn", "AddtlRptInf", "interim report"};
  static constexpr MessageNames kNotification{"054",         "BkToCstmrDbtCdtNtfctn", "Ntfctn",
                                              "NtfctnPgntn", "AddtlNtfctnInf",        "notification"};
  switch (message) {
    case CamtMessage::Statement: return kStatement;
    case CamtMessage::Report: return kReport;
    case CamtMessage::Notification: return kNotification;
  }
  return kStatement;
}

}  // namespace tallyfold::camt

namespace tallyfold {

/// "02", "06" or "08": the version's part of the message name.
std::string_view camt_version_name(CamtVersion version) noexcept;

}  // namespace tallyfold
