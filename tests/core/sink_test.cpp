// The exports written through a sink against the same exports as one string: every
// sink, whether it takes pieces, can go back, or refuses, must see the same bytes.
#include "tallyfold/sink.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "export/sink_buffer.hpp"
#include "support/shared_data.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/mt_export.hpp"

namespace tallyfold {
namespace {

// Keeps what it is given in pieces, like a file: no direct string, and going back only
// when asked to allow it. Refuses every byte past `limit`.
class PieceSink final : public OutputSink {
 public:
  explicit PieceSink(bool rewritable, std::size_t limit = std::string::npos) : rewritable_(rewritable), limit_(limit) {}
  bool write(std::string_view bytes) override {
    if (text.size() + bytes.size() > limit_) return false;
    text.append(bytes);
    largest = std::max(largest, bytes.size());
    ++pieces;
    return true;
  }
  bool rewritable() const noexcept override { return rewritable_; }
  bool rewrite(std::size_t offset, std::string_view bytes) override {
    EXPECT_TRUE(rewritable_);
    EXPECT_LE(offset + bytes.size(), text.size());
    text.replace(offset, bytes.size(), bytes);
    return true;
  }

  std::string text;
  std::size_t largest = 0;
  std::size_t pieces = 0;

 private:
  bool rewritable_;
  std::size_t limit_;
};

// Statements enough for the output to pass through the buffer many times; texts that
// need escaping and non-ASCII; every seventh statement with an amount camt cannot hold,
// so that it is rolled back between statements that stay.
std::vector<Statement> many_statements() {
  std::string text;
  for (int s = 0; s < 600; ++s) {
    const bool bad = s % 7 == 3;
    const std::string amount = bad ? "1,123456" : "100,00";
    text += ":20:REF" + std::to_string(s % 50) + "\n:25:NL69INGB0123456789\n:28C:" + std::to_string(s) +
            "/1\n:60F:C240101EUR" + amount + "\n";
    for (int t = 0; t < 6; ++t) {
      text += ":61:2401020102C1,00NTRFREF" + std::to_string(t) + "//B" + std::to_string(s) + "\n";
      text += ":86:166?00GUTSCHRIFT?20EREF+E" + std::to_string(s * 10 + t) +
              "?21Müller & Söhne <GmbH> 'x'?32Zoë \"Ltd\"?31DE89370400440532013000\n";
    }
    text += ":62F:C240102EUR" + (bad ? amount : std::string("106,00")) + "\n-\n";
  }
  auto file = read_bank_file(text, BankFileOptions{});
  EXPECT_TRUE(file) << (file ? "" : message(file.error()));
  return file ? std::move(file->statements) : std::vector<Statement>{};
}

struct Export {
  const char* name;
  std::function<std::string(std::span<const Statement>)> whole;  // the string export, "" on failure
  std::function<bool(std::span<const Statement>, OutputSink&)> streamed;
};

std::vector<Export> exports() {
  const JsonOptions bank_json{.bank_fields = true, .exact_amounts = true};
  const CamtOptions camt{CamtVersion::V08, 1767225600};
  return {
      {"json", [](auto s) { return export_json(s).value(); }, [](auto s, OutputSink& o) { return bool(write_json(s, o)); }},
      {"json-bank", [=](auto s) { return export_json(s, bank_json).value(); },
       [=](auto s, OutputSink& o) { return bool(write_json(s, o, bank_json)); }},
      {"ndjson", [=](auto s) { return export_json_lines(s, bank_json).value(); },
       [=](auto s, OutputSink& o) { return bool(write_json_lines(s, o, bank_json)); }},
      {"csv-eu", [](auto s) { return export_csv(s, {CsvDialect::ExcelEu, true, true}).value(); },
       [](auto s, OutputSink& o) { return bool(write_csv(s, o, {CsvDialect::ExcelEu, true, true})); }},
      {"camt053", [](auto s) { return export_camt053(s); }, [](auto s, OutputSink& o) { return bool(write_camt053(s, o)); }},
      {"camt", [=](auto s) { return export_camt(s, camt).value().xml; },
       [=](auto s, OutputSink& o) { return bool(write_camt(s, camt, o)); }},
      {"mt940", [](auto s) { return export_mt(s).value().text; }, [](auto s, OutputSink& o) { return bool(write_mt(s, o)); }},
  };
}

TEST(Sink, EveryExportWritesTheSameBytesInPieces) {
  const std::vector<Statement> statements = many_statements();
  ASSERT_EQ(statements.size(), 600u);
  for (const Export& e : exports()) {
    const std::string whole = e.whole(statements);
    ASSERT_GT(whole.size(), detail::SinkBuffer::kChunk + detail::SinkBuffer::kChunk / 2) << e.name;
    for (const bool rewritable : {false, true}) {
      PieceSink sink(rewritable);
      ASSERT_TRUE(e.streamed(statements, sink)) << e.name;
      EXPECT_TRUE(sink.text == whole) << e.name << (rewritable ? " (rewritable)" : "");
      // Bounded: a chunk and what one cut adds to it, never the whole.
      EXPECT_GE(sink.pieces, 2u) << e.name;
      EXPECT_LT(sink.largest, 2 * detail::SinkBuffer::kChunk) << e.name;
    }
    // A string sink holding text already gets the export after it, untouched.
    StringSink prefixed;
    prefixed.text = "kept";
    ASSERT_TRUE(e.streamed(statements, prefixed)) << e.name;
    EXPECT_TRUE(prefixed.text == "kept" + whole) << e.name;
  }
}

TEST(Sink, ARefusingSinkStopsTheExportWithAnError) {
  const std::vector<Statement> statements = many_statements();
  for (const Export& e : exports()) {
    for (const std::size_t limit : {std::size_t{0}, detail::SinkBuffer::kChunk / 2}) {
      PieceSink sink(false, limit);
      EXPECT_FALSE(e.streamed(statements, sink)) << e.name << " limit " << limit;
      EXPECT_LE(sink.text.size(), limit) << e.name;
    }
  }
}

TEST(Sink, CorpusExportsWriteTheSameBytesInPieces) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  for (const auto& file : test::data_files(corpus)) {
    auto read = read_bank_file(test::read_bytes(file.path), BankFileOptions{});
    if (!read || read->statements.empty()) continue;
    for (const Export& e : exports()) {
      std::string whole;
      try {
        whole = e.whole(read->statements);
      } catch (const std::bad_variant_access&) {
        continue;  // refused as a whole; the export's own tests say why
      }
      PieceSink sink(false);
      ASSERT_TRUE(e.streamed(read->statements, sink)) << file.name << " " << e.name;
      EXPECT_TRUE(sink.text == whole) << file.name << " " << e.name;
    }
  }
}

}  // namespace
}  // namespace tallyfold
