// Case tables: every input under cases/<suite>/ is read as its suite says, and what the
// reading gives (the format, every diagnostic or the error, and the statements as the
// JSON export with every field) must equal the text in <input>.out beside it. The
// expected text pins every field, not only the one a hand-written assertion would name.
//
// An input whose first line starts with "#### " holds several cases, each headed by
// such a line and running to the next; its line end before the next header belongs to
// it. An input that must end without a line end, or holds a "####" line, is a file of
// its own.
//
// When a change of behaviour is intended, rewrite the expected texts and review the diff:
//   TALLYFOLD_UPDATE_CASES=1 ctest --test-dir build/dev -R cases_test
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/shared_data.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/read.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

const fs::path kCases = fs::path(TALLYFOLD_GOLDEN_DIR).parent_path() / "cases";

// How a suite reads its inputs, by the suite's folder.
ReadOptions options_of(std::string_view suite) {
  ReadOptions options;
  if (suite == "strict") options.strict = true;
  if (suite.starts_with("resolver-")) options.resolver = std::string(suite.substr(9));
  if (suite.starts_with("encoding-")) options.encoding = std::string(suite.substr(9));
  return options;
}

std::string render(std::string_view bytes, const ReadOptions& options) {
  std::string out;
  auto file = read_statement_file(bytes, options);
  if (!file) {
    const ReadError& e = file.error();
    return out + "error " + std::to_string(e.error.line) + ": " + message(e.error) +
           (e.line_in_message ? "" : " [no line]") + (e.not_utf8 ? " [not UTF-8]" : "") + "\n";
  }
  out += "format " + file->source_format + "\n";
  for (const Diagnostic& d : file->diagnostics) {
    out += std::string(severity_text(d.severity)) + " " + std::to_string(d.line);
    if (!d.lines.empty()) {
      out += " (";
      for (std::size_t line : d.lines) out += (line == d.lines.front() ? "" : " ") + std::to_string(line);
      out += ")";
    }
    out += ": " + d.message + "\n";
  }
  auto json = export_json(file->statements, JsonOptions{.bank_fields = true, .exact_amounts = true});
  return out + (json ? *json : "json error: " + message(json.error())) + "\n";
}

// The cases of one input file, rendered in order.
std::string render_file(const std::string& bytes, const ReadOptions& options) {
  if (!bytes.starts_with("#### ")) return render(bytes, options);
  std::string out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t header_end = std::min(bytes.find('\n', at), bytes.size());
    std::size_t next = bytes.find("\n#### ", header_end);
    next = next == std::string::npos ? bytes.size() : next + 1;
    const std::size_t text_at = std::min(header_end + 1, next);
    out += std::string_view(bytes).substr(at, header_end - at);
    out += "\n" + render(std::string_view(bytes).substr(text_at, next - text_at), options);
    at = next;
  }
  return out;
}

std::vector<test::DataFile> inputs() {
  std::vector<test::DataFile> files;
  for (auto& file : test::data_files(kCases)) {
    if (file.path.extension() != ".out") files.push_back(std::move(file));
  }
  return files;
}

class Cases : public testing::TestWithParam<test::DataFile> {};

TEST_P(Cases, ReadAsExpected) {
  const test::DataFile& input = GetParam();
  const std::string suite = input.path.parent_path().filename().string();
  const std::string got = render_file(test::read_bytes(input.path), options_of(suite));
  fs::path expected_path = input.path;
  expected_path += ".out";
  const char* update = std::getenv("TALLYFOLD_UPDATE_CASES");
  if (update != nullptr && *update != '\0') {
    std::ofstream(expected_path, std::ios::binary) << got;
    return;
  }
  ASSERT_TRUE(fs::exists(expected_path)) << expected_path << " missing: run with TALLYFOLD_UPDATE_CASES=1";
  EXPECT_EQ(got, test::read_bytes(expected_path));
}

INSTANTIATE_TEST_SUITE_P(Files, Cases, testing::ValuesIn(inputs()), [](const auto& info) {
  std::string name;
  for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

}  // namespace
}  // namespace tallyfold
