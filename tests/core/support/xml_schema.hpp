// Validation of written XML against the schemas shipped in tests/schemas, through
// xmllint (Debian: libxml2-utils). Without xmllint there is nothing to validate with:
// outside CI every document then passes and TALLYFOLD_REQUIRE_XMLLINT skips the tests
// that exist only to validate; under CI both fail.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/shared_data.hpp"

namespace tallyfold::test {

inline bool have_xmllint() {
  static const bool found = std::system("command -v xmllint >/dev/null 2>&1") == 0;
  return found;
}

// What xmllint says of `xml` against tests/schemas/<schema>.xsd ("camt.053.001.08"):
// empty when it validates.
inline std::string schema_errors(std::string_view xml, std::string_view schema) {
  if (!have_xmllint()) return in_ci() ? "xmllint is not installed, and CI is set" : "";
  static int counter = 0;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tallyfold-xml-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / ("doc" + std::to_string(++counter) + ".xml");
  const std::filesystem::path log = dir / "xmllint.log";
  std::ofstream(file, std::ios::binary) << xml;
  const std::filesystem::path xsd = std::filesystem::path(TALLYFOLD_SCHEMA_DIR) / (std::string(schema) + ".xsd");
  const std::string command =
      "xmllint --noout --schema '" + xsd.string() + "' '" + file.string() + "' >'" + log.string() + "' 2>&1";
  const int status = std::system(command.c_str());
  std::string errors = status == 0 ? std::string() : read_bytes(log);
  std::filesystem::remove(file);
  return errors;
}

// The same for many documents against one schema, in one run of xmllint, which then
// reads the schema once: the errors of each document that does not validate, by name.
inline std::map<std::string, std::string> schema_errors(const std::vector<std::pair<std::string, std::string>>& documents,
                                                        std::string_view schema) {
  std::map<std::string, std::string> failed;
  if (documents.empty()) return failed;
  if (!have_xmllint()) {
    if (in_ci()) failed["xmllint"] = "xmllint is not installed, and CI is set";
    return failed;
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tallyfold-xml-" + std::to_string(::getpid()) + "-batch");
  std::filesystem::create_directories(dir);
  std::string command = "xmllint --noout --schema '" +
                        (std::filesystem::path(TALLYFOLD_SCHEMA_DIR) / (std::string(schema) + ".xsd")).string() + "'";
  std::vector<std::string> files;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    files.push_back((dir / ("doc" + std::to_string(i) + ".xml")).string());
    std::ofstream(files.back(), std::ios::binary) << documents[i].second;
    command += " '" + files.back() + "'";
  }
  const std::filesystem::path log = dir / "xmllint.log";
  command += " >'" + log.string() + "' 2>&1";
  if (std::system(command.c_str()) != 0) {
    // Every line xmllint says of a file starts with its name.
    const std::string said = read_bytes(log);
    for (std::size_t i = 0; i < documents.size(); ++i) {
      if (said.find(files[i] + " fails to validate") == std::string::npos) continue;
      std::string& errors = failed[documents[i].first];
      for (std::size_t at = said.find(files[i]); at != std::string::npos; at = said.find(files[i], at + 1)) {
        errors += said.substr(at, said.find('\n', at) - at + 1);
      }
    }
    if (failed.empty()) failed["xmllint"] = said;
  }
  std::filesystem::remove_all(dir);
  return failed;
}

}  // namespace tallyfold::test

#define TALLYFOLD_REQUIRE_XMLLINT()                                                     \
  if (!::tallyfold::test::have_xmllint()) {                                             \
    if (::tallyfold::test::in_ci()) GTEST_FAIL() << "xmllint is not installed, and CI is set"; \
    GTEST_SKIP() << "xmllint is not installed (Debian: libxml2-utils)";                 \
  }
