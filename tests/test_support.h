// Helpers shared by the test suites.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
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

// Polls aDone every 10 ms until it holds (true) or aMs have passed (false).
inline bool Eventually(const std::function<bool()>& aDone, int aMs = 10000) {
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > lEnd) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
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
