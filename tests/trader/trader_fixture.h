// A test whose trader tables live in a folder of their own, emptied before and removed after it, and whose
// exchange addresses are back at their defaults afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "qmtBinance_Addresses.h"
#include "qmtHTTP_API_Binance.h"
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
    ResetBinanceHostStates();  // no clock offset or ban of an earlier test's server
  }
  void TearDown() override {
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
    FreeTraderData();
    std::filesystem::remove_all(FDir);
  }
  std::filesystem::path FDir;
};

// The requests of a recording server without the clock measures (".../time") signed requests make.
template <typename T>
std::vector<T> WithoutTime(std::vector<T> aRequests) {
  std::erase_if(aRequests, [](const T& r) { return r.target.size() >= 5 && r.target.compare(r.target.size() - 5, 5, "/time") == 0; });
  return aRequests;
}

}  // namespace qmt_test
