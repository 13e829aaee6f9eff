// Validation of written XML against the schemas shipped in tests/schemas, through
// xmllint (Debian: libxml2-utils). Without xmllint there is nothing to validate with:
// outside CI every document then passes and TALLYFOLD_REQUIRE_XMLLINT skips the tests
// that exist only to validate; under CI both fail.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

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

}  // namespace tallyfold::test

#define TALLYFOLD_REQUIRE_XMLLINT()                                                     \
  if (!::tallyfold::test::have_xmllint()) {                                             \
    if (::tallyfold::test::in_ci()) GTEST_FAIL() << "xmllint is not installed, and CI is set"; \
    GTEST_SKIP() << "xmllint is not installed (Debian: libxml2-utils)";                 \
  }
