#include "qmtTraderSettings.h"

#include <unistd.h>

#include <climits>
#include <memory>
#include <mutex>

#include "qmtLocations.h"

namespace {
std::mutex gLock;
std::string gFileName;
std::unique_ptr<TqmtIniFile> gSettings;
}  // namespace

std::string DefaultTraderSettingsFileName() {
  char lPath[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", lPath, sizeof lPath - 1);
  std::string lName = n > 0 ? std::string(lPath, static_cast<std::size_t>(n)) : std::string("qmtTrader");
  lName.erase(0, lName.rfind('/') + 1);  // npos + 1 is 0: a bare name stays whole
  if (const auto lDot = lName.rfind('.'); lDot != std::string::npos && lDot > 0) lName.resize(lDot);
  return DefaultSettingsFile(lName);
}

void SetTraderSettingsFileName(const std::string& aFileName) {
  std::lock_guard lGuard(gLock);
  if (!gSettings) gFileName = aFileName;
}

TqmtIniFile& GetTraderSettings() {
  std::lock_guard lGuard(gLock);
  if (!gSettings) gSettings = std::make_unique<TqmtIniFile>(gFileName.empty() ? DefaultTraderSettingsFileName() : gFileName);
  return *gSettings;
}
