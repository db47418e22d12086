// A test whose trader tables live in a folder of their own, emptied before and removed after it, and whose
// exchange addresses are back at their defaults afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "qmtBinance_Addresses.h"
#include "qmtTraderData.h"

namespace qmt_test {

class TraderDataTest : public ::testing::Test {
protected:
  void SetUp() override {
    const auto* lInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    FDir = std::filesystem::temp_directory_path() /
           ("qmt_" + std::string(lInfo->test_suite_name()) + "_" + std::to_string(::getpid()));
    SetTraderDataFolder(FDir.string());
    FreeTraderData();
  }
  void TearDown() override {
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesCOINTestStream); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
    FreeTraderData();
    std::filesystem::remove_all(FDir);
  }
  std::filesystem::path FDir;
};

}  // namespace qmt_test
