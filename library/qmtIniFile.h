// A settings file in the plain INI format: "[SECTION]" lines, then "key=value" lines. Every read and
// every write goes straight to the file; nothing is cached between calls, so two objects (or two
// programs) on one file always see each other's last write.
//
// A write replaces the whole file through a temporary file of its own (a unique name made with
// O_EXCL) and one rename, then syncs the folder, so a crash never leaves half a file. The file may
// hold secrets: it is created, and rewritten, readable by its owner only (0600), and never read or
// written through a symbolic link (a link at its name reads as no file, and a write refuses it).
// Keys compare as written; section names without regard to ASCII case. Values are kept as typed
// (no quoting, no escapes): a line break in a value is written as a space.
//
// Threads and processes: calls are serialised by an internal lock, and every read-modify-write
// holds an advisory lock (flock on "<file>.lock") against other processes, so two programs writing
// at once never lose each other's keys.
#pragma once

#include <mutex>
#include <string>

class TqmtIniFile {
public:
  explicit TqmtIniFile(std::string aFileName) : FFileName(std::move(aFileName)) {}

  const std::string& FileName() const { return FFileName; }

  // The value, or aDefault when the file, the section or the key is absent or unreadable.
  std::string ReadString(const std::string& aSection, const std::string& aKey, const std::string& aDefault) const;
  // A decimal integer (surrounding blanks allowed); anything else gives aDefault.
  int ReadInteger(const std::string& aSection, const std::string& aKey, int aDefault) const;
  // Read as an integer: true when not 0.
  bool ReadBool(const std::string& aSection, const std::string& aKey, bool aDefault) const;
  bool SectionExists(const std::string& aSection) const;

  // Raise Exception with the file name and the system's reason when the file cannot be written.
  void WriteString(const std::string& aSection, const std::string& aKey, const std::string& aValue);
  void WriteInteger(const std::string& aSection, const std::string& aKey, int aValue);
  // Written as 1 or 0.
  void WriteBool(const std::string& aSection, const std::string& aKey, bool aValue);
  void EraseSection(const std::string& aSection);

private:
  std::string FFileName;
  mutable std::mutex FLock;
};
