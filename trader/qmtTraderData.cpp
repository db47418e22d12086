#include "qmtTraderData.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "qmtBase_Helpers.h"
#include "qmtLocations.h"
#include "qmtTraderDataRegistry.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"

namespace {

std::mutex gFolderLock;
std::string gFolder;
std::atomic<bool> gStorage{true};

}  // namespace

void SetTraderDataFolder(const std::string& aFolder) {
  std::lock_guard lGuard(gFolderLock);
  gFolder = aFolder;
}

namespace {
std::mutex gMarketLock;
std::string gMarket;
}  // namespace

std::string GetTraderDataMarket() {
  std::lock_guard lGuard(gMarketLock);
  return gMarket;
}

std::string TraderDataMarketFile(const std::string& aBase) {
  const std::string lMarket = GetTraderDataMarket();
  return aBase + (lMarket.empty() ? std::string() : "_" + lMarket) + ".db";
}

void SetTraderDataMarket(const std::string& aMarket) {
  if (GetTraderDataMarket() == aMarket) return;
  // Saved under the old market's names, then the tables are emptied and the new market's loaded.
  TqmtTraderData& lTicker = GetTraderDataTicker();
  TqmtTraderData& lSymbols = GetTraderDataSymbols();
  for (TqmtTraderData* t : {&lTicker, &lSymbols}) {
    try {
      t->SaveTable();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qmtTrader: %s\n", e.what());
    }
  }
  {
    std::lock_guard lGuard(gMarketLock);
    gMarket = aMarket;
  }
  GetTraderDataTicker().ResetWatch();
  for (TqmtTraderData* t : {&lTicker, &lSymbols}) {
    t->Clear();
    t->LoadTable();
  }
}

std::string GetTraderDataFolder() {
  std::lock_guard lGuard(gFolderLock);
  return gFolder.empty() ? DefaultDataFolder() : gFolder;
}

TqmtTraderData::~TqmtTraderData() = default;

TqmtDataSet& TqmtTraderData::GetTable() {
  std::call_once(FTableOnce, [this] {
    auto lTable = std::make_unique<TqmtDataSet>();
    DoCreateFields(*lTable);
    lTable->CreateDataSet();
    FTable = std::move(lTable);
  });
  return *FTable;
}

TqmtDataSet& TqmtTraderData::Writer() {
  if (!FWriter) {
    FWriter = GetTable().CloneCursor();
    // Writers see every row, whatever filter the table carries.
    FWriter->SetFiltered(false);
  }
  return *FWriter;
}

std::string TqmtTraderData::FilePath() const {
  return (std::filesystem::path(GetTraderDataFolder()) / GetFileName()).string();
}

namespace {

bool SameColumns(const TqmtDataSet& aExpected, const TqmtDataSet& aLoaded) {
  const auto& e = aExpected.FieldDefs();
  const auto& l = aLoaded.FieldDefs();
  if (e.size() != l.size() || aExpected.KeyFieldName() != aLoaded.KeyFieldName()) return false;
  for (std::size_t i = 0; i < e.size(); ++i)
    if (e[i].Name != l[i].Name || e[i].DataType != l[i].DataType || e[i].Size != l[i].Size) return false;
  return true;
}

std::string TimeSuffix() {
  const std::time_t lNow = std::time(nullptr);
  std::tm lLocal{};
  localtime_r(&lNow, &lLocal);
  char lText[32];
  std::strftime(lText, sizeof lText, "%Y%m%d-%H%M%S", &lLocal);
  return lText;
}

}  // namespace

void SetTraderDataStorage(bool aEnabled) { gStorage = aEnabled; }

void TqmtTraderData::LoadTable() {
  if (!gStorage) return;
  const std::string lPath = FilePath();
  if (!std::filesystem::exists(lPath)) return;
  std::lock_guard lGuard(FWriteLock);
  std::string lProblem;
  try {
    // Read into a table of its own first: a file of another table (or another version) must not
    // change this one's columns, which every writer relies on.
    TqmtDataSet lProbe;
    lProbe.LoadFromFile(lPath);
    if (!SameColumns(GetTable(), lProbe))
      lProblem = "Table file '" + lPath + "' holds other columns than the " + GetFileName() + " table";
    else
      GetTable().LoadFromFile(lPath);
  } catch (const std::exception& e) {
    lProblem = e.what();
  }
  if (lProblem.empty()) return;
  // Moved aside, never deleted: the user may want it back. The table starts empty.
  const std::string lAside = lPath + ".unreadable-" + TimeSuffix();
  std::error_code lError;
  std::filesystem::rename(lPath, lAside, lError);
  const std::string lNotice = lError ? lProblem + "; the file could not be moved aside (" + lError.message() + ")"
                                     : lProblem + "; moved aside to '" + lAside + "', the table starts empty";
  std::fprintf(stderr, "qmtTrader: %s\n", lNotice.c_str());
  AddTraderDataNotice(lNotice);
}

void TqmtTraderData::SaveTable() {
  if (!gStorage) return;
  // The folder is made when missing (owner-only): dropping the user's watch list silently is worse.
  CreateUserFolder(GetTraderDataFolder());
  GetTable().SaveToFile(FilePath());
}

void TqmtTraderData::Clear() { KeepOnly({}); }

int TqmtTraderData::KeepOnly(const std::vector<std::string>& aKeep) {
  std::lock_guard lGuard(FWriteLock);
  TqmtDataSet& t = Writer();
  const int lKey = t.FindFieldIndex(t.KeyFieldName());
  int lGone = 0;
  t.DisableControls();
  try {
    t.First();
    while (!t.Eof()) {
      const std::string lText = t.Fields(lKey).AsString();
      if (std::find(aKeep.begin(), aKeep.end(), lText) == aKeep.end()) {
        t.Delete();
        ++lGone;
      } else {
        t.Next();
      }
    }
  } catch (...) {
    t.EnableControls();
    throw;
  }
  t.EnableControls();
  return lGone;
}

TqmtDataSet& TqmtTraderData::NewCloneCursor(const std::string& aId) {
  auto* lItem = new TqmtTraderCloneCursor(aId);
  lItem->FCDS = GetTable().CloneCursor();
  FCloneCursors.SetOwnObjects(true);
  FCloneCursors.AddItem(lItem);
  DoFormatFields(*lItem->FCDS);
  return *lItem->FCDS;
}

void TqmtTraderData::DeleteCloneCursor(const std::string& aId) {
  FCloneCursors.SetOwnObjects(true);
  FCloneCursors.DeleteItem(aId);
}

// ---- the process-wide tables --------------------------------------------------------------------

namespace {

struct Registry {
  std::mutex Lock;
  std::array<std::unique_ptr<TqmtTraderData>, kTraderDataSlots> Tables;
  std::vector<std::string> Notices;  // for the log table, written once no table is being made
  std::vector<std::function<void()>> BeforeFree;

  ~Registry() { FreeAll(); }

  void FreeAll() {
    // Whatever writes into the tables goes first (the trader client and its stream thread).
    std::vector<std::function<void()>> lHooks;
    {
      std::lock_guard lGuard(Lock);
      lHooks = BeforeFree;
    }
    for (auto& lHook : lHooks) {
      try {
        lHook();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "qmtTrader: shutting down: %s\n", e.what());
      }
    }
    std::array<std::unique_ptr<TqmtTraderData>, kTraderDataSlots> lTables;
    {
      std::lock_guard lGuard(Lock);
      lTables.swap(Tables);
    }
    for (auto& lTable : lTables) {
      if (!lTable) continue;
      try {
        lTable->SaveTable();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
      }
      lTable.reset();
    }
  }
};

Registry& TheRegistry() {
  static Registry sRegistry;
  return sRegistry;
}

}  // namespace

TqmtTraderData& TraderDataInstance(int aSlot, const std::function<std::unique_ptr<TqmtTraderData>()>& aCreate) {
  auto& lRegistry = TheRegistry();
  TqmtTraderData* lResult;
  std::vector<std::string> lNotices;
  {
    std::lock_guard lGuard(lRegistry.Lock);
    auto& lTable = lRegistry.Tables[static_cast<std::size_t>(aSlot)];
    if (!lTable) {
      auto lNew = aCreate();
      lNew->LoadTable();
      lTable = std::move(lNew);
    }
    lResult = lTable.get();
    lNotices.swap(lRegistry.Notices);
  }
  for (const auto& lNotice : lNotices) GetTraderDataLog().Notice(lNotice);
  return *lResult;
}

void AddTraderDataNotice(const std::string& aText) {
  // Called while the registry's lock is held (a table loading): only queued here.
  TheRegistry().Notices.push_back(aText);
}

void AddTraderDataShutdown(std::function<void()> aHook) {
  auto& lRegistry = TheRegistry();
  std::lock_guard lGuard(lRegistry.Lock);
  lRegistry.BeforeFree.push_back(std::move(aHook));
}

void FreeTraderData() {
  TheRegistry().FreeAll();
  // The tables made afresh start with the spot files again, as at start-up.
  std::lock_guard lGuard(gMarketLock);
  gMarket.clear();
}
