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
  std::string lFile = n > 0 ? std::string(lPath, static_cast<std::size_t>(n)) : std::string("qmtTrader");
  const auto lSlash = lFile.rfind('/');
  const auto lDot = lFile.rfind('.');
  if (lDot != std::string::npos && (lSlash == std::string::npos || lDot > lSlash + 1)) lFile.resize(lDot);
  if (ProgramIsPortable()) return lFile + ".ini";
  // Installed: the same name in the user's settings folder.
  return UserConfigFolder() + lFile.substr(lSlash == std::string::npos ? 0 : lSlash + 1) + ".ini";
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
