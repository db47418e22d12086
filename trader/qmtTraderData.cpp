#include "qmtTraderData.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "qmtBase_Helpers.h"
#include "qmtTraderDataRegistry.h"

namespace {

std::mutex gFolderLock;
std::string gFolder;

}  // namespace

void SetTraderDataFolder(const std::string& aFolder) {
  std::lock_guard lGuard(gFolderLock);
  gFolder = aFolder;
}

std::string GetTraderDataFolder() {
  std::lock_guard lGuard(gFolderLock);
  return gFolder.empty() ? ProgramPath() + "db" : gFolder;
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

void TqmtTraderData::LoadTable() {
  const std::string lPath = FilePath();
  if (!std::filesystem::exists(lPath)) return;
  std::lock_guard lGuard(FWriteLock);
  GetTable().LoadFromFile(lPath);
}

void TqmtTraderData::SaveTable() {
  // The folder is made when missing: dropping the user's watch list silently is worse.
  std::filesystem::create_directories(GetTraderDataFolder());
  GetTable().SaveToFile(FilePath());
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

  ~Registry() { FreeAll(); }

  void FreeAll() {
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
  std::lock_guard lGuard(lRegistry.Lock);
  auto& lTable = lRegistry.Tables[static_cast<std::size_t>(aSlot)];
  if (!lTable) {
    auto lNew = aCreate();
    lNew->LoadTable();
    lTable = std::move(lNew);
  }
  return *lTable;
}

void FreeTraderData() { TheRegistry().FreeAll(); }
