// Where the programs keep their files: the settings file and the stored tables.
//
// A build or a portable copy keeps them beside the program, in a folder the user can write. An
// installed program keeps them in the user's XDG folders: $XDG_CONFIG_HOME/qmtTrader (default
// ~/.config/qmtTrader) for settings, $XDG_DATA_HOME/qmtTrader (default ~/.local/share/qmtTrader) for
// the tables. A program counts as installed when its folder is not writable, or when it sits in an
// installation's layout (PREFIX/bin beside PREFIX/share/applications/qmtTrader.desktop): a prefix the
// user can write (~/.local) or a root session must not fill the programs' folder with data.
#pragma once

#include <string>
#include <string_view>

// True when aProgramFolder is a build or portable copy's folder: writable by the user, owned by
// the user and writable by nobody else (a folder others can write is never used: the XDG folders
// are, and the program says so once on standard error).
bool IsPortableFolder(const std::string& aProgramFolder);
// Whether the folder is the user's own and no one else can write it.
bool PortableFolderIsPrivate(const std::string& aFolder);
// The same for the running program's folder.
bool ProgramIsPortable();
// The user's folders for this system, each with a trailing "/".
std::string UserConfigFolder();
std::string UserDataFolder();
// The default settings file of a program ("qmtTrader" -> ".../qmtTrader.ini") and the default
// folder of the stored tables (".../db").
std::string DefaultSettingsFile(std::string_view aProgramName);
std::string DefaultDataFolder();
// Creates aFolder and any missing parents with owner-only permissions (folders that exist keep
// theirs). Raises Exception with the reason when it cannot.
void CreateUserFolder(const std::string& aFolder);
