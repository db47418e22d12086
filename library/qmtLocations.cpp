#include "qmtLocations.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "qmtBase_Helpers.h"
#include "qmtSystem.h"

namespace {

constexpr const char* kFolderName = "qmtTrader";

std::string HomeFolder() {
  if (const char* lHome = std::getenv("HOME"); lHome && *lHome) return lHome;
  if (const passwd* p = ::getpwuid(::getuid()); p && p->pw_dir) return p->pw_dir;
  return "/tmp";
}

// An XDG base folder: the variable when it holds an absolute path (relative ones are to be ignored),
// else the default under the home folder.
std::string XDGFolder(const char* aVariable, const char* aDefault) {
  const char* lValue = std::getenv(aVariable);
  std::string lBase = lValue && lValue[0] == '/' ? std::string(lValue) : HomeFolder() + "/" + aDefault;
  while (lBase.size() > 1 && lBase.back() == '/') lBase.pop_back();
  return lBase + "/" + kFolderName + "/";
}

}  // namespace

bool IsPortableFolder(const std::string& aProgramFolder) {
  namespace fs = std::filesystem;
  std::error_code e;
  const fs::path lFolder = fs::weakly_canonical(fs::path(aProgramFolder), e);
  if (fs::exists(lFolder.parent_path() / "share" / "applications" / "qmtTrader.desktop", e)) return false;
  if (::access(lFolder.c_str(), W_OK) != 0) return false;
  return PortableFolderIsPrivate(lFolder.string());
}

bool PortableFolderIsPrivate(const std::string& aFolder) {
  // The settings hold the secret: a folder someone else can write (or owns) could have a file
  // swapped or planted in it.
  struct stat st {};
  if (::stat(aFolder.c_str(), &st) != 0) return false;
  return st.st_uid == ::getuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool ProgramIsPortable() {
  const std::string lFolder = ProgramPath();
  const bool lPortable = IsPortableFolder(lFolder);
  static std::once_flag sSaid;
  if (!lPortable && ::access(lFolder.c_str(), W_OK) == 0 && !PortableFolderIsPrivate(lFolder))
    std::call_once(sSaid, [&] {
      std::fprintf(stderr,
                   "qmtTrader: the program's folder %s can be written by other users: settings and tables are kept in "
                   "%s and %s instead\n",
                   lFolder.c_str(), UserConfigFolder().c_str(), UserDataFolder().c_str());
    });
  return lPortable;
}

std::string UserConfigFolder() { return XDGFolder("XDG_CONFIG_HOME", ".config"); }

std::string UserDataFolder() { return XDGFolder("XDG_DATA_HOME", ".local/share"); }

std::string DefaultSettingsFile(std::string_view aProgramName) {
  return (ProgramIsPortable() ? ProgramPath() : UserConfigFolder()) + std::string(aProgramName) + ".ini";
}

std::string DefaultDataFolder() { return (ProgramIsPortable() ? ProgramPath() : UserDataFolder()) + "db"; }

void CreateUserFolder(const std::string& aFolder) {
  std::string lPath;
  std::size_t lStart = 0;
  while (lStart <= aFolder.size()) {
    const auto lSlash = aFolder.find('/', lStart);
    lPath = aFolder.substr(0, lSlash == std::string::npos ? aFolder.size() : lSlash);
    lStart = lSlash == std::string::npos ? aFolder.size() + 1 : lSlash + 1;
    if (lPath.empty() || lPath == "." || lPath == "..") continue;
    if (::mkdir(lPath.c_str(), 0700) != 0 && errno != EEXIST)
      throw Exception("Cannot create folder " + lPath + ": " + std::strerror(errno));
  }
  struct stat st {};
  if (::stat(aFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw Exception("Cannot create folder " + aFolder + ": not a folder");
}
