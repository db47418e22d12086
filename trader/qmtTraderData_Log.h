// A log of raw stream messages while Enabled (off at creation); rows in time order, oldest first.
// Not stored. Messages longer than "LOG_MESSAGE" holds (2048 characters) are cut.
#pragma once

#include <atomic>

#include "qmtTraderData.h"

class TqmtTraderData_Log : public TqmtTraderData {
public:
  TqmtDataSet& CDSLog() { return GetTable(); }
  std::string GetFileName() const override { return "qmtLog.db"; }
  void LoadTable() override {}
  void SaveTable() override {}
  // Copies the text only while logging is on (the dispatcher calls this for every stream message).
  void Log(std::string_view aText);
  // A line of the program's own (type 1), written whether or not message logging is on.
  void Notice(std::string_view aText);
  bool Enabled() const { return FEnabled.load(std::memory_order_relaxed); }
  void SetEnabled(bool aValue) { FEnabled.store(aValue, std::memory_order_relaxed); }

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  virtual void DoUpdate(std::string_view aText);
  void DoUpdate(std::string_view aText, int aType);

private:
  std::atomic<bool> FEnabled{false};
};

TqmtTraderData_Log& GetTraderDataLog();
