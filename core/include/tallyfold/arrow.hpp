// Statements as Arrow tables, through the Arrow C data interface: the plain C structs of
// that published ABI, declared here, so that any Arrow implementation (pyarrow, polars,
// DuckDB, arrow-rs, nanoarrow) reads the tables without tallyfold linking any of them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tallyfold/model.hpp"

extern "C" {

// The structs and flags exactly as the Arrow C data interface and C stream interface
// define them; the guards let this header meet another declaration of the same ABI.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace tallyfold {

/// The two tables of a document.
///
/// Transactions: one row per transaction, with its statement's `account`, `reference`,
/// `number` (the :28C: text) and `currency`, then every field of the transaction under
/// its Python attribute name, `transaction_id` last (null for the exact reading). `amount` is the exact signed amount
/// as decimal128(38, 5),
/// one type for every currency; `value_date` and `entry_date` are date32;
/// `structured_details` is a map of text to text with its keys sorted.
///
/// Statements: one row per statement with its balances (structs of mark, intermediate,
/// date, currency and signed amount), its interim-report fields and its reconciliation.
///
/// TransactionDetails: one row per payment of an entry that books several together (a
/// camt batch's TxDtls, Transaction::transaction_details), in order: its statement's
/// `account`, `reference` and `number`, the entry's `transaction_index` (its 0-based
/// position in the statement) and `transaction_id`, the payment's `detail_index`, and
/// its `details` as a map like `structured_details`. Empty for MT.
enum class ArrowTable : std::uint8_t { Transactions, Statements, TransactionDetails };

/// Fills `out` with a stream of record batches of `table`. The stream shares
/// `statements` (never changed again) and may be read on any thread, once; it reports an
/// amount with more than five significant decimals, which decimal128(38, 5) cannot hold,
/// as an error of the batch holding it rather than rounding it.
void export_arrow_stream(std::shared_ptr<const std::vector<Statement>> statements, ArrowTable table,
                         ArrowArrayStream& out);

}  // namespace tallyfold
