#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "qmtIniFile.h"
#include "qmtLocations.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the scope (unset when aValue is null) and restores it.
class ScopedEnv {
public:
  ScopedEnv(const char* aName, const char* aValue) : FName(aName) {
    if (const char* v = std::getenv(aName)) FOld = v, FHad = true;
    if (aValue) setenv(aName, aValue, 1);
    else unsetenv(aName);
  }
  ~ScopedEnv() {
    if (FHad) setenv(FName.c_str(), FOld.c_str(), 1);
    else unsetenv(FName.c_str());
  }

private:
  std::string FName, FOld;
  bool FHad = false;
};

struct TempDir {
  fs::path Path = fs::temp_directory_path() / ("qmt-locations-" + std::to_string(::getpid()));
  TempDir() { fs::create_directories(Path); }
  ~TempDir() { fs::remove_all(Path); }
};

}  // namespace

TEST(Locations, XDGFolders) {
  struct Case {
    const char* home;
    const char* config;
    const char* data;
    std::string expectedConfig, expectedData;
  };
  const Case lCases[] = {
      {"/home/ann", nullptr, nullptr, "/home/ann/.config/qmtTrader/", "/home/ann/.local/share/qmtTrader/"},
      {"/home/ann", "/cfg", "/data/", "/cfg/qmtTrader/", "/data/qmtTrader/"},
      // Relative values are to be ignored.
      {"/home/ann", "cfg", "data", "/home/ann/.config/qmtTrader/", "/home/ann/.local/share/qmtTrader/"},
      {"/home/ann", "", "", "/home/ann/.config/qmtTrader/", "/home/ann/.local/share/qmtTrader/"},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(std::string(c.config ? c.config : "(unset)"));
    ScopedEnv lHome("HOME", c.home), lConfig("XDG_CONFIG_HOME", c.config), lData("XDG_DATA_HOME", c.data);
    EXPECT_EQ(UserConfigFolder(), c.expectedConfig);
    EXPECT_EQ(UserDataFolder(), c.expectedData);
  }
}

TEST(Locations, PortableOrInstalled) {
  TempDir t;
  // A build or portable copy: a folder of its own that the user can write.
  fs::create_directories(t.Path / "portable");
  EXPECT_TRUE(IsPortableFolder((t.Path / "portable").string()));
  EXPECT_TRUE(IsPortableFolder((t.Path / "portable").string() + "/"));
  // An installation's layout, even where the user can write (a prefix in the home folder, root).
  fs::create_directories(t.Path / "prefix" / "bin");
  fs::create_directories(t.Path / "prefix" / "share" / "applications");
  std::ofstream(t.Path / "prefix" / "share" / "applications" / "qmtTrader.desktop") << "[Desktop Entry]\n";
  EXPECT_FALSE(IsPortableFolder((t.Path / "prefix" / "bin").string() + "/"));
  // A folder others can write: never used, whoever owns it (the secret would be theirs to swap).
  fs::create_directories(t.Path / "shared");
  ::chmod((t.Path / "shared").c_str(), 0775);
  EXPECT_FALSE(IsPortableFolder((t.Path / "shared").string()));
  ::chmod((t.Path / "shared").c_str(), 0757);
  EXPECT_FALSE(IsPortableFolder((t.Path / "shared").string()));
  ::chmod((t.Path / "shared").c_str(), 0755);
  EXPECT_TRUE(IsPortableFolder((t.Path / "shared").string()));
  // A folder the user cannot write (root can write anywhere, so only checked for others).
  if (::geteuid() != 0) {
    fs::create_directories(t.Path / "readonly");
    ::chmod((t.Path / "readonly").c_str(), 0555);
    EXPECT_FALSE(IsPortableFolder((t.Path / "readonly").string()));
    ::chmod((t.Path / "readonly").c_str(), 0755);
  }
}

// A first start of an installed program: the settings folder is made owner-only, the file 0600.
TEST(Locations, SettingsFileInAMissingFolder) {
  TempDir t;
  const fs::path lFile = t.Path / "config" / "qmtTrader" / "qmtTrader.ini";
  TqmtIniFile(lFile.string()).WriteString("SETTINGS", "ApiKey", "k");
  struct stat st {};
  ASSERT_EQ(::stat(lFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(lFile.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(TqmtIniFile(lFile.string()).ReadString("SETTINGS", "ApiKey", ""), "k");
  // A folder that cannot be made is reported with the reason.
  std::ofstream(t.Path / "plainfile") << "x";
  try {
    CreateUserFolder((t.Path / "plainfile" / "sub").string());
    ADD_FAILURE() << "made a folder under a file";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot create folder"), std::string::npos) << e.what();
  }
}
