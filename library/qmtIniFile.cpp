#include "qmtIniFile.h"

#include <fcntl.h>
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
  std::ifstream lFile(aFileName, std::ios::binary);
  std::string lLine;
  while (std::getline(lFile, lLine)) {
    if (!lLine.empty() && lLine.back() == '\r') lLine.pop_back();
    lLines.push_back(std::move(lLine));
  }
  // A byte-order mark some editors write in front of the first section.
  if (!lLines.empty() && lLines[0].rfind("\xEF\xBB\xBF", 0) == 0) lLines[0].erase(0, 3);
  return lLines;
}

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
  const std::string lTemp = aFileName + ".tmp";
  // A first start of an installed program: its settings folder does not exist yet.
  if (const auto lSlash = aFileName.rfind('/'); lSlash != std::string::npos && lSlash > 0) {
    const std::string lFolder = aFileName.substr(0, lSlash);
    struct stat st {};
    if (::stat(lFolder.c_str(), &st) != 0) CreateUserFolder(lFolder);
  }
  auto lFail = [&](const char* aWhat) {
    const std::string lReason = std::strerror(errno);
    ::unlink(lTemp.c_str());
    throw Exception("Cannot " + std::string(aWhat) + " settings file " + aFileName + ": " + lReason);
  };
  const int fd = ::open(lTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) lFail("write");
  ::fchmod(fd, 0600);  // a temporary file left by someone else keeps no wider mode
  std::size_t lDone = 0;
  while (lDone < lText.size()) {
    const ssize_t n = ::write(fd, lText.data() + lDone, lText.size() - lDone);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      lFail("write");
    }
    lDone += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) lFail("write");
  if (::rename(lTemp.c_str(), aFileName.c_str()) != 0) lFail("replace");
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
