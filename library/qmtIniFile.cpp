#include "qmtIniFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <vector>

#include "qmtLocations.h"
#include "qmtSystem.h"

namespace {

bool SameSection(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto l = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (l(a[i]) != l(b[i])) return false;
  }
  return true;
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> ReadLines(const std::string& aFileName) {
  std::vector<std::string> lLines;
  // Never through a symbolic link: the file holds the secret, and a link is someone else's choice
  // of where it goes (ELOOP reads as no file; writing refuses it).
  const int fd = ::open(aFileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return lLines;
  std::string lText;
  char lBuffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, lBuffer, sizeof lBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    lText.append(lBuffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  std::size_t lFrom = 0;
  while (lFrom < lText.size()) {
    std::size_t lEnd = lText.find('\n', lFrom);
    if (lEnd == std::string::npos) lEnd = lText.size();
    std::string lLine = lText.substr(lFrom, lEnd - lFrom);
    if (!lLine.empty() && lLine.back() == '\r') lLine.pop_back();
    lLines.push_back(std::move(lLine));
    lFrom = lEnd + 1;
  }
  // A byte-order mark some editors write in front of the first section.
  if (!lLines.empty() && lLines[0].rfind("\xEF\xBB\xBF", 0) == 0) lLines[0].erase(0, 3);
  return lLines;
}

// The advisory lock of a settings file, held across a whole read-modify-write so that two programs
// never write over each other's keys: a lock file of its own beside it ("<file>.lock"), because the
// settings file itself is replaced by every write.
class TSettingsLock {
public:
  explicit TSettingsLock(const std::string& aFileName) {
    const std::string lPath = aFileName + ".lock";
    FFd = ::open(lPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FFd < 0 && errno == ENOENT) {
      // The first write of an installed program: its folder is made first.
      if (const auto lSlash = aFileName.rfind('/'); lSlash != std::string::npos && lSlash > 0) {
        try {
          CreateUserFolder(aFileName.substr(0, lSlash));
        } catch (const std::exception&) {
        }
      }
      FFd = ::open(lPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (FFd < 0) return;  // a read-only folder: the write itself will say why
    while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~TSettingsLock() {
    if (FFd >= 0) ::close(FFd);  // closing releases the lock
  }
  TSettingsLock(const TSettingsLock&) = delete;
  TSettingsLock& operator=(const TSettingsLock&) = delete;

private:
  int FFd = -1;
};

// The section name of a "[NAME]" line, or false.
bool SectionLine(const std::string& aLine, std::string& aName) {
  const std::string t = Trim(aLine);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
  aName = Trim(std::string_view(t).substr(1, t.size() - 2));
  return true;
}

// The key of a "key=value" line (its value in aValue), or false.
bool EntryLine(const std::string& aLine, std::string& aKey, std::string& aValue) {
  const auto lEquals = aLine.find('=');
  if (lEquals == std::string::npos) return false;
  aKey = Trim(std::string_view(aLine).substr(0, lEquals));
  if (aKey.empty() || aKey[0] == ';' || aKey[0] == '#') return false;
  aValue = aLine.substr(lEquals + 1);
  return true;
}

void WriteLines(const std::string& aFileName, const std::vector<std::string>& aLines) {
  std::string lText;
  for (const auto& l : aLines) lText += l + "\n";
  std::string lFolder = ".";
  // A first start of an installed program: its settings folder does not exist yet.
  if (const auto lSlash = aFileName.rfind('/'); lSlash != std::string::npos) {
    lFolder = lSlash == 0 ? "/" : aFileName.substr(0, lSlash);
    struct stat st {};
    if (::stat(lFolder.c_str(), &st) != 0) CreateUserFolder(lFolder);
  }
  // A temporary name of its own (made with O_EXCL, so nothing planted there is followed or reused),
  // created readable by the owner only.
  std::string lTemp = aFileName + ".XXXXXX";
  auto lFail = [&](const char* aWhat, const std::string& aReason) {
    if (!lTemp.empty() && lTemp.back() != 'X') ::unlink(lTemp.c_str());
    throw Exception("Cannot " + std::string(aWhat) + " settings file " + aFileName + ": " + aReason);
  };
  struct stat lTarget {};
  if (::lstat(aFileName.c_str(), &lTarget) == 0 && S_ISLNK(lTarget.st_mode)) lFail("write", "it is a symbolic link");
  const int fd = ::mkostemp(lTemp.data(), O_CLOEXEC);
  if (fd < 0) lFail("write", std::strerror(errno));
  ::fchmod(fd, 0600);
  std::size_t lDone = 0;
  while (lDone < lText.size()) {
    const ssize_t n = ::write(fd, lText.data() + lDone, lText.size() - lDone);
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string lReason = std::strerror(errno);
      ::close(fd);
      lFail("write", lReason);
    }
    lDone += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const std::string lReason = std::strerror(errno);
    ::close(fd);
    lFail("write", lReason);
  }
  if (::close(fd) != 0) lFail("write", std::strerror(errno));
  // A link planted meanwhile is replaced, never written through (rename does not follow it).
  if (::rename(lTemp.c_str(), aFileName.c_str()) != 0) lFail("replace", std::strerror(errno));
  // The rename itself reaches the disk with the folder.
  const int lDir = ::open(lFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lDir >= 0) {
    ::fsync(lDir);
    ::close(lDir);
  }
}

}  // namespace

std::string TqmtIniFile::ReadString(const std::string& aSection, const std::string& aKey,
                                    const std::string& aDefault) const {
  std::lock_guard lGuard(FLock);
  bool lIn = false;
  std::string lName, lKey, lValue;
  for (const auto& l : ReadLines(FFileName)) {
    if (SectionLine(l, lName))
      lIn = SameSection(lName, aSection);
    else if (lIn && EntryLine(l, lKey, lValue) && lKey == aKey)
      return lValue;
  }
  return aDefault;
}

int TqmtIniFile::ReadInteger(const std::string& aSection, const std::string& aKey, int aDefault) const {
  const std::string lText = Trim(ReadString(aSection, aKey, ""));
  int lValue = 0;
  const char* lBegin = lText.data() + (lText.size() > 1 && lText[0] == '+' ? 1 : 0);
  const auto [lEnd, lError] = std::from_chars(lBegin, lText.data() + lText.size(), lValue);
  if (lText.empty() || lError != std::errc() || lEnd != lText.data() + lText.size()) return aDefault;
  return lValue;
}

bool TqmtIniFile::ReadBool(const std::string& aSection, const std::string& aKey, bool aDefault) const {
  return ReadInteger(aSection, aKey, aDefault ? 1 : 0) != 0;
}

bool TqmtIniFile::SectionExists(const std::string& aSection) const {
  std::lock_guard lGuard(FLock);
  std::string lName;
  for (const auto& l : ReadLines(FFileName))
    if (SectionLine(l, lName) && SameSection(lName, aSection)) return true;
  return false;
}

void TqmtIniFile::WriteString(const std::string& aSection, const std::string& aKey, const std::string& aValue) {
  std::string lValue = aValue;
  for (char& c : lValue)
    if (c == '\n' || c == '\r') c = ' ';
  std::lock_guard lGuard(FLock);
  const TSettingsLock lFileLock(FFileName);
  std::vector<std::string> lLines = ReadLines(FFileName);
  std::string lName, lKey, lOld;
  std::ptrdiff_t lSectionAt = -1, lLastEntry = -1;
  for (std::size_t i = 0; i < lLines.size(); ++i) {
    if (SectionLine(lLines[i], lName)) {
      if (lSectionAt >= 0) break;  // the section ended without the key
      if (SameSection(lName, aSection)) lSectionAt = lLastEntry = static_cast<std::ptrdiff_t>(i);
    } else if (lSectionAt >= 0 && EntryLine(lLines[i], lKey, lOld)) {
      if (lKey == aKey) {
        lLines[i] = aKey + "=" + lValue;
        WriteLines(FFileName, lLines);
        return;
      }
      lLastEntry = static_cast<std::ptrdiff_t>(i);
    }
  }
  if (lSectionAt < 0) {
    if (!lLines.empty() && !lLines.back().empty()) lLines.emplace_back();
    lLines.push_back("[" + aSection + "]");
    lLines.push_back(aKey + "=" + lValue);
  } else {
    lLines.insert(lLines.begin() + lLastEntry + 1, aKey + "=" + lValue);
  }
  WriteLines(FFileName, lLines);
}

void TqmtIniFile::WriteInteger(const std::string& aSection, const std::string& aKey, int aValue) {
  WriteString(aSection, aKey, std::to_string(aValue));
}

void TqmtIniFile::WriteBool(const std::string& aSection, const std::string& aKey, bool aValue) {
  WriteString(aSection, aKey, aValue ? "1" : "0");
}

void TqmtIniFile::EraseSection(const std::string& aSection) {
  std::lock_guard lGuard(FLock);
  const TSettingsLock lFileLock(FFileName);
  std::vector<std::string> lLines = ReadLines(FFileName), lKept;
  std::string lName;
  bool lIn = false, lFound = false;
  for (auto& l : lLines) {
    if (SectionLine(l, lName)) {
      lIn = SameSection(lName, aSection);
      lFound = lFound || lIn;
    }
    if (!lIn) lKept.push_back(std::move(l));
  }
  if (lFound) WriteLines(FFileName, lKept);
}
