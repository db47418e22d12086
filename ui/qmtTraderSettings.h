// The desktop client's settings file: the program file's own path with ".ini" in place of its
// extension (qmtTrader -> qmtTrader.ini beside it) for a build or portable copy, the same name in
// the user's settings folder for an installed program (qmtLocations.h). One object per process,
// made on first use and kept for the run; every read and write goes straight to the file (see
// qmtIniFile.h).
#pragma once

#include <string>

#include "qmtIniFile.h"

TqmtIniFile& GetTraderSettings();
// Another file, before the first GetTraderSettings (tests, a portable install). Later calls change
// nothing.
void SetTraderSettingsFileName(const std::string& aFileName);
// The program file with its extension replaced by ".ini", beside it or in the user's settings folder.
std::string DefaultTraderSettingsFileName();
