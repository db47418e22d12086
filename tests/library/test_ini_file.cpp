// The settings file: values straight to and from the file, 1/0 booleans, defaults for what is absent
// or not a number, other sections and lines kept, owner-only permissions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "qmtIniFile.h"
#include "qmtSystem.h"

namespace {

class IniFile : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() / ("qmt_ini_" + std::to_string(::getpid()));
    std::filesystem::create_directories(FDir);
    FFile = (FDir / "qmtTrader.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }
  std::string Text() const {
    std::ifstream f(FFile);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  void Write(const std::string& aText) const { std::ofstream(FFile) << aText; }
  std::filesystem::path FDir;
  std::string FFile;
};

TEST_F(IniFile, MissingFileGivesDefaultsAndFirstWriteCreatesItOwnerOnly) {
  TqmtIniFile f(FFile);
  EXPECT_EQ(f.ReadString("SETTINGS", "ApiKey", "none"), "none");
  EXPECT_EQ(f.ReadInteger("SETTINGS", "FuturesContracts", 7), 7);
  EXPECT_FALSE(f.ReadBool("SETTINGS", "Futures", false));
  EXPECT_FALSE(std::filesystem::exists(FFile)) << "reading creates nothing";

  f.WriteString("SETTINGS", "ApiKey", "k=1 ;x");
  f.WriteBool("SETTINGS", "Futures", true);
  f.WriteInteger("SETTINGS", "FuturesContracts", 1);
  EXPECT_EQ(Text(), "[SETTINGS]\nApiKey=k=1 ;x\nFutures=1\nFuturesContracts=1\n");
  struct stat st {};
  ASSERT_EQ(::stat(FFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(f.ReadString("SETTINGS", "ApiKey", ""), "k=1 ;x") << "only the first '=' separates";
}

TEST_F(IniFile, NoCacheBetweenObjectsAndWritesKeepTheRest) {
  Write("; mine\r\n[Other]\nApiKey=other\n\n[settings]\nApiKey=old\nKeep=this\n[Last]\nx=1\n");
  ::chmod(FFile.c_str(), 0644);
  TqmtIniFile a(FFile), b(FFile);
  EXPECT_EQ(a.ReadString("SETTINGS", "ApiKey", ""), "old") << "section names ignore case";
  b.WriteString("SETTINGS", "ApiKey", "new");
  b.WriteString("SETTINGS", "Added", "line1\nline2");
  EXPECT_EQ(a.ReadString("SETTINGS", "ApiKey", ""), "new") << "a reads the file, not a cache";
  EXPECT_EQ(a.ReadString("SETTINGS", "Added", ""), "line1 line2");
  EXPECT_EQ(a.ReadString("Other", "ApiKey", ""), "other");
  EXPECT_EQ(Text(), "; mine\n[Other]\nApiKey=other\n\n[settings]\nApiKey=new\nKeep=this\nAdded=line1 line2\n[Last]\nx=1\n");
  struct stat st {};
  ASSERT_EQ(::stat(FFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a rewrite narrows a wider mode";
  b.EraseSection("Other");
  EXPECT_FALSE(a.SectionExists("Other"));
  EXPECT_TRUE(a.SectionExists("Last"));
}

TEST_F(IniFile, NumbersAndBooleans) {
  Write("[S]\nA=12\nB= -3 \nC=abc\nD=\nE=1.5\nF=99999999999\nG=2\nH=0\n");
  TqmtIniFile f(FFile);
  struct Case {
    const char* key;
    int expected;
  } cases[] = {{"A", 12}, {"B", -3}, {"C", 5}, {"D", 5}, {"E", 5}, {"F", 5}, {"G", 2}, {"Missing", 5}};
  for (const auto& c : cases) EXPECT_EQ(f.ReadInteger("S", c.key, 5), c.expected) << c.key;
  EXPECT_TRUE(f.ReadBool("S", "G", false)) << "any number but 0 is true";
  EXPECT_FALSE(f.ReadBool("S", "H", true));
  EXPECT_TRUE(f.ReadBool("S", "C", true)) << "not a number: the default";
}

TEST_F(IniFile, AFileThatCannotBeWrittenRaisesWithItsNameAndLeavesTheOldOne) {
  // A folder the user cannot write (root can write anywhere, so only checked for others).
  if (::geteuid() == 0) GTEST_SKIP() << "root writes any folder";
  Write("[S]\nK=old\n");
  ::chmod(FDir.c_str(), 0555);
  TqmtIniFile f(FFile);
  try {
    f.WriteString("S", "K", "new");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find(FFile), std::string::npos) << e.what();
  }
  ::chmod(FDir.c_str(), 0755);
  EXPECT_EQ(f.ReadString("S", "K", ""), "old");
}

TEST_F(IniFile, NoSymbolicLinkIsFollowed) {
  // Someone who can write the folder plants links: at the settings name (pointing at a file of
  // theirs that others can read) and at the temporary name of old.
  const std::string lVictim = (FDir / "world-readable").string();
  std::ofstream(lVictim) << "[S]\nK=theirs\n";
  ::chmod(lVictim.c_str(), 0644);
  ASSERT_EQ(::symlink(lVictim.c_str(), FFile.c_str()), 0);
  ASSERT_EQ(::symlink(lVictim.c_str(), (FFile + ".tmp").c_str()), 0);
  TqmtIniFile f(FFile);
  EXPECT_EQ(f.ReadString("S", "K", "none"), "none") << "a link is not read through";
  try {
    f.WriteString("SETTINGS", "ApiSecret", "s3cret");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("it is a symbolic link"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(FFile), std::string::npos) << "the file is named";
  }
  std::ifstream lIn(lVictim);
  std::stringstream lText;
  lText << lIn.rdbuf();
  EXPECT_EQ(lText.str(), "[S]\nK=theirs\n") << "nothing was written through either link";
  // Without the link at its own name the file is written; the old temporary name is never used.
  std::filesystem::remove(FFile);
  f.WriteString("SETTINGS", "ApiKey", "k");
  EXPECT_FALSE(std::filesystem::is_symlink(FFile));
  EXPECT_EQ(f.ReadString("SETTINGS", "ApiKey", ""), "k");
  std::ifstream lAgain(lVictim);
  std::stringstream lAfter;
  lAfter << lAgain.rdbuf();
  EXPECT_EQ(lAfter.str(), "[S]\nK=theirs\n");
  std::set<std::string> lNames;
  for (const auto& e : std::filesystem::directory_iterator(FDir)) lNames.insert(e.path().filename().string());
  EXPECT_EQ(lNames, (std::set<std::string>{"qmtTrader.ini", "qmtTrader.ini.lock", "qmtTrader.ini.tmp", "world-readable"}))
      << "no temporary file is left behind";
}

TEST_F(IniFile, TwoProgramsWritingAtOnceLoseNoKey) {
  // Two processes, 300 writes each, every write a read-modify-write of the whole file.
  constexpr int kWrites = 300;
  pid_t lChildren[2];
  for (int p = 0; p < 2; ++p) {
    lChildren[p] = ::fork();
    ASSERT_GE(lChildren[p], 0);
    if (lChildren[p] == 0) {
      TqmtIniFile f(FFile);
      try {
        for (int i = 0; i < kWrites; ++i) f.WriteString("SETTINGS", std::string(1, static_cast<char>('A' + p)) + std::to_string(i), "v");
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
  }
  for (pid_t c : lChildren) {
    int lStatus = 0;
    ::waitpid(c, &lStatus, 0);
    EXPECT_TRUE(WIFEXITED(lStatus) && WEXITSTATUS(lStatus) == 0) << "a write raised";
  }
  TqmtIniFile f(FFile);
  int lMissing = 0;
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kWrites; ++i)
      lMissing += f.ReadString("SETTINGS", std::string(1, static_cast<char>('A' + p)) + std::to_string(i), "") != "v";
  EXPECT_EQ(lMissing, 0);
}

}  // namespace
