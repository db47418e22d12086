// Helpers shared by the test suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qmt_test {

// The folder of shared reference material beside the repository, or empty when it is absent.
inline std::filesystem::path SharedDir() {
  const std::filesystem::path lDir = QMT_SHARED_DIR;
  return std::filesystem::is_directory(lDir) ? lDir : std::filesystem::path();
}

inline bool UnderCI() {
  const char* lCI = std::getenv("CI");
  return lCI && std::string(lCI) == "true";
}

inline std::string ReadFile(const std::filesystem::path& aPath) {
  std::ifstream lFile(aPath, std::ios::binary);
  std::ostringstream lText;
  lText << lFile.rdbuf();
  return lText.str();
}

}  // namespace qmt_test

// Skips the test with a visible message when the shared folder is missing; under CI that is a failure.
#define QMT_REQUIRE_SHARED(aDir)                                                               \
  const std::filesystem::path aDir = qmt_test::SharedDir();                                   \
  if (aDir.empty()) {                                                                          \
    if (qmt_test::UnderCI()) FAIL() << "shared reference folder missing: " << QMT_SHARED_DIR;  \
    GTEST_SKIP() << "shared reference folder missing: " << QMT_SHARED_DIR;                     \
  }
