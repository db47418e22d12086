#include "qmtDataTable.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "qmtTraderFilter.h"

// ---- the shared store ---------------------------------------------------------------------------

struct TqmtDataSet::Slot {
  TqmtValue Key;
  std::shared_ptr<const std::vector<TqmtValue>> Row;
};

// Guards the store for steps of tens of nanoseconds (copy a pointer, swap a row, insert a slot).
// Spinning briefly beats a sleeping mutex here: with the stream thread and a grid walking the same
// table on two cores, a futex sleep per contended step costs microseconds each time.
class TqmtSpinLock {
public:
  void lock() {
    for (int lSpins = 0; FLocked.exchange(true, std::memory_order_acquire); ++lSpins) {
      while (FLocked.load(std::memory_order_relaxed)) {
        if (lSpins++ < 64)
          __builtin_ia32_pause();
        else
          std::this_thread::yield();
      }
    }
  }
  void unlock() { FLocked.store(false, std::memory_order_release); }

private:
  std::atomic<bool> FLocked{false};
};

struct TqmtTableStore {
  using SlotPtr = std::shared_ptr<TqmtDataSet::Slot>;

  TqmtSpinLock Lock;
  std::vector<TqmtFieldDef> Fields;
  int KeyField = -1;
  bool Unique = true;
  bool Created = false;
  std::vector<SlotPtr> Rows;  // ascending key order
  // Exact lookups for unique text keys without a binary search.
  std::unordered_map<std::string, SlotPtr> TextIndex;
  std::uint64_t Structure = 0;  // bumped when rows are inserted, removed or reordered
  std::atomic<std::uint64_t> Changes{0};

  // Notification.
  std::mutex ObserverLock;
  std::vector<std::pair<int, TqmtDataChangeEvent>> Observers;
  std::atomic<int> ObserverCount{0};  // lets a writer skip the observer lock when nobody listens
  int NextObserverId = 1;
  std::atomic<int> Disabled{0};
  std::atomic<bool> Pending{false};

  bool TextKey() const { return KeyField >= 0 && (Fields[KeyField].DataType == TFieldType::ftString ||
                                                   Fields[KeyField].DataType == TFieldType::ftMemo); }
  bool Indexed() const { return Unique && TextKey(); }

  void Changed() {
    Changes.fetch_add(1, std::memory_order_relaxed);
    if (Disabled.load() > 0) {
      Pending = true;
      return;
    }
    Notify();
  }

  void Notify() {
    if (ObserverCount.load(std::memory_order_acquire) == 0) return;
    std::vector<TqmtDataChangeEvent> lEvents;
    {
      std::lock_guard lGuard(ObserverLock);
      for (auto& o : Observers) lEvents.push_back(o.second);
    }
    for (auto& e : lEvents) {
      try {
        e();
      } catch (...) {
        // A view that fails must not break the writer.
      }
    }
  }
};

namespace {

int CompareValues(const TqmtValue& a, const TqmtValue& b) {
  // Nulls sort first.
  if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
  return std::visit(
      [&b](const auto& x) -> int {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<T, TqmtCurrency>) {
          const auto& y = std::get<TqmtCurrency>(b);
          return x.Raw < y.Raw ? -1 : (x.Raw > y.Raw ? 1 : 0);
        } else {
          const auto& y = std::get<T>(b);
          return x < y ? -1 : (y < x ? 1 : 0);
        }
      },
      a);
}

[[noreturn]] void FieldNotFound(std::string_view aName) {
  throw EDatabaseError("Field '" + std::string(aName) + "' not found");
}

// The value converted to what a column of aType holds; raises for text that is no number.
TqmtValue Coerce(const TqmtValue& aValue, TFieldType aType, int aSize) {
  if (std::holds_alternative<std::monostate>(aValue)) return aValue;
  switch (aType) {
    case TFieldType::ftString:
    case TFieldType::ftMemo: {
      std::string lText = std::holds_alternative<std::string>(aValue) ? std::get<std::string>(aValue)
                                                                      : TqmtField::ValueToText(aValue);
      if (aType == TFieldType::ftString && aSize > 0 && static_cast<int>(lText.size()) > aSize) {
        // Cut after aSize characters, never inside a UTF-8 sequence.
        int lCharacters = 0;
        for (std::size_t i = 0; i < lText.size(); ++i) {
          if ((static_cast<unsigned char>(lText[i]) & 0xC0) != 0x80 && ++lCharacters > aSize) {
            lText.resize(i);
            break;
          }
        }
      }
      return lText;
    }
    case TFieldType::ftExtended:
      return TqmtField::ValueToExtended(aValue);
    case TFieldType::ftCurrency:
      if (std::holds_alternative<TqmtCurrency>(aValue)) return aValue;
      return TqmtCurrency::FromFloat(TqmtField::ValueToExtended(aValue));
    case TFieldType::ftDateTime:
    case TFieldType::ftTime:
      return static_cast<double>(TqmtField::ValueToExtended(aValue));
    case TFieldType::ftInteger:
      if (std::holds_alternative<std::int32_t>(aValue)) return aValue;
      return static_cast<std::int32_t>(std::llround(TqmtField::ValueToExtended(aValue)));
  }
  return aValue;
}

}  // namespace

// ---- values -------------------------------------------------------------------------------------

std::string TqmtField::ValueToText(const TqmtValue& aValue) {
  char lBuffer[64];
  return std::visit(
      [&lBuffer](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::string();
        } else if constexpr (std::is_same_v<T, std::string>) {
          return x;
        } else if constexpr (std::is_same_v<T, TqmtCurrency>) {
          return FormatFloat("0.####", x.ToFloat());
        } else {
          // Shortest text that reads back to the same value; never depends on the locale.
          const auto r = std::to_chars(lBuffer, lBuffer + sizeof lBuffer, x);
          return std::string(lBuffer, r.ptr);
        }
      },
      aValue);
}

long double TqmtField::ValueToExtended(const TqmtValue& aValue) {
  return std::visit(
      [](const auto& x) -> long double {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<T, std::string>) {
          long double v = 0;
          const char* lEnd = x.data() + x.size();
          const auto r = std::from_chars(x.data(), lEnd, v);
          if (x.empty() || r.ec != std::errc() || r.ptr != lEnd)
            throw EDatabaseError("'" + x + "' is not a valid floating point value");
          return v;
        } else if constexpr (std::is_same_v<T, TqmtCurrency>) {
          return x.ToFloat();
        } else {
          return static_cast<long double>(x);
        }
      },
      aValue);
}

const std::string& TqmtField::FieldName() const { return FDataSet->FieldDefs()[FIndex].Name; }
TFieldType TqmtField::DataType() const { return FDataSet->FieldDefs()[FIndex].DataType; }
const TqmtValue& TqmtField::Value() const { return FDataSet->CurrentValue(FIndex); }
std::string TqmtField::AsString() const { return ValueToText(Value()); }
long double TqmtField::AsExtended() const { return ValueToExtended(Value()); }

TqmtCurrency TqmtField::AsCurrency() const {
  const TqmtValue& v = Value();
  if (std::holds_alternative<TqmtCurrency>(v)) return std::get<TqmtCurrency>(v);
  return TqmtCurrency::FromFloat(ValueToExtended(v));
}

TDateTime TqmtField::AsDateTime() const { return static_cast<double>(ValueToExtended(Value())); }

std::int32_t TqmtField::AsInteger() const {
  const TqmtValue& v = Value();
  if (std::holds_alternative<std::int32_t>(v)) return std::get<std::int32_t>(v);
  return static_cast<std::int32_t>(std::llround(ValueToExtended(v)));
}

std::string TqmtField::DisplayText() const { return FDataSet->DisplayValue(FIndex, Value()); }

void TqmtField::SetValue(const TqmtValue& aValue) { FDataSet->SetBufferValue(FIndex, aValue); }
void TqmtField::SetAsString(const std::string& aValue) { SetValue(aValue); }

// ---- cursors ------------------------------------------------------------------------------------

TqmtDataSet::TqmtDataSet() : FStore(std::make_shared<TqmtTableStore>()) {}

TqmtDataSet::TqmtDataSet(std::shared_ptr<TqmtTableStore> aStore) : FStore(std::move(aStore)) {}

TqmtDataSet::~TqmtDataSet() {
  for (int lId : FObserverIds) RemoveObserver(lId);
}

void TqmtDataSet::AddField(const std::string& aName, TFieldType aType, int aSize) {
  std::lock_guard lGuard(FStore->Lock);
  if (FStore->Created) throw EDatabaseError("Cannot add field '" + aName + "' to an open dataset");
  for (const auto& f : FStore->Fields)
    if (SameFieldName(f.Name, aName)) throw EDatabaseError("Duplicate field name '" + aName + "'");
  FStore->Fields.push_back({aName, aType, aSize});
}

void TqmtDataSet::SetKeyField(const std::string& aName, bool aUnique) {
  std::lock_guard lGuard(FStore->Lock);
  for (std::size_t i = 0; i < FStore->Fields.size(); ++i) {
    if (SameFieldName(FStore->Fields[i].Name, aName)) {
      FStore->KeyField = static_cast<int>(i);
      FStore->Unique = aUnique;
      return;
    }
  }
  FieldNotFound(aName);
}

void TqmtDataSet::CreateDataSet() {
  std::lock_guard lGuard(FStore->Lock);
  if (FStore->KeyField < 0) throw EDatabaseError("A table needs a key field");
  FStore->Created = true;
}

const std::vector<TqmtFieldDef>& TqmtDataSet::FieldDefs() const { return FStore->Fields; }

std::string TqmtDataSet::KeyFieldName() const {
  return FStore->KeyField >= 0 ? FStore->Fields[FStore->KeyField].Name : std::string();
}

std::unique_ptr<TqmtDataSet> TqmtDataSet::CloneCursor() const {
  std::unique_ptr<TqmtDataSet> lClone(new TqmtDataSet(FStore));
  lClone->FFilterText = FFilterText;
  lClone->FFilter = FFilter;
  lClone->FFiltered = FFiltered;
  lClone->FDisplayFormats = FDisplayFormats;
  lClone->First();
  return lClone;
}

bool SameFieldName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

int TqmtDataSet::FindFieldIndex(std::string_view aName) const {
  // Field names compare without regard to case, as grids and filters write them either way.
  const auto& lFields = FStore->Fields;
  for (std::size_t i = 0; i < lFields.size(); ++i)
    if (SameFieldName(lFields[i].Name, aName)) return static_cast<int>(i);
  return -1;
}

TqmtField TqmtDataSet::FieldByName(std::string_view aName) {
  const int lIndex = FindFieldIndex(aName);
  if (lIndex < 0) FieldNotFound(aName);
  return TqmtField(this, lIndex);
}

const TqmtValue& TqmtDataSet::CurrentValue(int aIndex) const {
  static const TqmtValue kNull;
  if (aIndex < 0 || aIndex >= FieldCount()) throw EDatabaseError("Field index out of range");
  if (FState != TDataSetState::dsBrowse) return FBuffer[aIndex];
  if (!FRow || static_cast<std::size_t>(aIndex) >= FRow->size()) return kNull;
  return (*FRow)[aIndex];
}

void TqmtDataSet::SetBufferValue(int aIndex, TqmtValue aValue) {
  if (FState == TDataSetState::dsBrowse) throw EDatabaseError("Dataset not in edit or insert mode");
  const auto& lDef = FStore->Fields[aIndex];
  FBuffer[aIndex] = Coerce(aValue, lDef.DataType, lDef.Size);
}

void TqmtDataSet::CheckBrowse(const char* aOperation) const {
  if (FState != TDataSetState::dsBrowse)
    throw EDatabaseError(std::string("Cannot ") + aOperation + " while a row is being edited or inserted");
}

bool TqmtDataSet::Accepts(const std::vector<TqmtValue>& aRow) const {
  return !FFiltered || !FFilter || FFilter->Evaluate(aRow);
}

void TqmtDataSet::SeekFrom(std::size_t aIndex) {
  for (;;) {
    std::shared_ptr<Slot> lSlot;
    std::shared_ptr<const std::vector<TqmtValue>> lRow;
    {
      std::lock_guard lGuard(FStore->Lock);
      if (aIndex >= FStore->Rows.size()) {
        FSlot.reset();
        FRow.reset();
        FEof = true;
        return;
      }
      lSlot = FStore->Rows[aIndex];
      lRow = lSlot->Row;
      FIndex = aIndex;
      FIndexStructure = FStore->Structure;
    }
    // The filter runs without the lock, so a writer never waits for it.
    if (Accepts(*lRow)) {
      FSlot = std::move(lSlot);
      FRow = std::move(lRow);
      FEof = false;
      return;
    }
    // Continue after the rejected row, wherever it is now.
    std::lock_guard lGuard(FStore->Lock);
    if (FIndexStructure != FStore->Structure) {
      auto lIt = std::upper_bound(FStore->Rows.begin(), FStore->Rows.end(), lSlot->Key,
                                  [](const TqmtValue& k, const auto& s) { return CompareValues(k, s->Key) < 0; });
      // Non-unique keys: step over equal keys up to and including the rejected slot.
      auto lSame = std::find(FStore->Rows.begin(), FStore->Rows.end(), lSlot);
      aIndex = lSame != FStore->Rows.end() ? static_cast<std::size_t>(lSame - FStore->Rows.begin()) + 1
                                           : static_cast<std::size_t>(lIt - FStore->Rows.begin());
    } else {
      aIndex = FIndex + 1;
    }
  }
}

std::size_t TqmtDataSet::Locate(bool& aFound) const {
  // Callers hold the store lock.
  auto& lRows = FStore->Rows;
  if (FIndexStructure == FStore->Structure && FIndex < lRows.size() && lRows[FIndex] == FSlot) {
    aFound = true;
    return FIndex;
  }
  auto lFirst = std::lower_bound(lRows.begin(), lRows.end(), FSlot->Key,
                                 [](const auto& s, const TqmtValue& k) { return CompareValues(s->Key, k) < 0; });
  for (auto lIt = lFirst; lIt != lRows.end() && CompareValues((*lIt)->Key, FSlot->Key) == 0; ++lIt) {
    if (*lIt == FSlot) {
      aFound = true;
      FIndex = static_cast<std::size_t>(lIt - lRows.begin());
      FIndexStructure = FStore->Structure;
      return FIndex;
    }
  }
  aFound = false;  // deleted meanwhile: the rows after it start at lFirst
  return static_cast<std::size_t>(lFirst - lRows.begin());
}

void TqmtDataSet::First() {
  CheckBrowse("move");
  SeekFrom(0);
}

void TqmtDataSet::Next() {
  CheckBrowse("move");
  if (FEof) return;
  std::size_t lIndex;
  {
    std::lock_guard lGuard(FStore->Lock);
    bool lFound;
    lIndex = Locate(lFound);
    if (lFound) ++lIndex;
  }
  SeekFrom(lIndex);
}

void TqmtDataSet::Refresh() {
  if (!FSlot) return;
  std::lock_guard lGuard(FStore->Lock);
  FRow = FSlot->Row;
}

bool TqmtDataSet::IsEmpty() const {
  std::lock_guard lGuard(FStore->Lock);
  return FStore->Rows.empty();
}

int TqmtDataSet::RecordCount() const {
  std::vector<std::shared_ptr<const std::vector<TqmtValue>>> lRows;
  {
    std::lock_guard lGuard(FStore->Lock);
    if (!FFiltered || !FFilter) return static_cast<int>(FStore->Rows.size());
    lRows.reserve(FStore->Rows.size());
    for (const auto& s : FStore->Rows) lRows.push_back(s->Row);
  }
  int lCount = 0;
  for (const auto& r : lRows) lCount += Accepts(*r) ? 1 : 0;
  return lCount;
}

bool TqmtDataSet::FindKey(const TqmtValue& aKey) {
  CheckBrowse("find");
  const auto& lKeyDef = FStore->Fields.at(FStore->KeyField);
  const TqmtValue lKey = Coerce(aKey, lKeyDef.DataType, 0);
  std::shared_ptr<Slot> lSlot;
  std::shared_ptr<const std::vector<TqmtValue>> lRow;
  {
    std::lock_guard lGuard(FStore->Lock);
    auto& lRows = FStore->Rows;
    if (FStore->Indexed() && std::holds_alternative<std::string>(lKey)) {
      // Hash lookup: the cost does not grow with the table. The position is found later, when
      // Next needs it.
      auto lHit = FStore->TextIndex.find(std::get<std::string>(lKey));
      if (lHit == FStore->TextIndex.end()) return false;
      lSlot = lHit->second;
      FIndexStructure = ~0ull;
    } else {
      auto lIt = std::lower_bound(lRows.begin(), lRows.end(), lKey,
                                  [](const auto& s, const TqmtValue& k) { return CompareValues(s->Key, k) < 0; });
      if (lIt == lRows.end() || CompareValues((*lIt)->Key, lKey) != 0) return false;
      FIndex = static_cast<std::size_t>(lIt - lRows.begin());
      FIndexStructure = FStore->Structure;
      lSlot = *lIt;
    }
    lRow = lSlot->Row;
  }
  if (!Accepts(*lRow)) return false;
  FSlot = std::move(lSlot);
  FRow = std::move(lRow);
  FEof = false;
  return true;
}

void TqmtDataSet::Insert() {
  CheckBrowse("insert");
  if (!FStore->Created) throw EDatabaseError("Dataset not open");
  FBuffer.assign(FStore->Fields.size(), TqmtValue());
  FState = TDataSetState::dsInsert;
}

void TqmtDataSet::Edit() {
  if (FState != TDataSetState::dsBrowse) return;
  if (FEof || !FRow) throw EDatabaseError("Cannot edit: no current row");
  Refresh();
  FBuffer = *FRow;
  FBuffer.resize(FStore->Fields.size());
  FState = TDataSetState::dsEdit;
}

void TqmtDataSet::Cancel() {
  FState = TDataSetState::dsBrowse;
  FBuffer.clear();
}

void TqmtDataSet::Post() {
  if (FState == TDataSetState::dsBrowse) return;
  auto lRow = std::make_shared<const std::vector<TqmtValue>>(std::move(FBuffer));
  FBuffer.clear();
  const TqmtValue& lKey = (*lRow)[FStore->KeyField];
  try {
    std::lock_guard lGuard(FStore->Lock);
    auto& lRows = FStore->Rows;
    auto lLower = [](const auto& s, const TqmtValue& k) { return CompareValues(s->Key, k) < 0; };
    auto lUpper = [](const TqmtValue& k, const auto& s) { return CompareValues(k, s->Key) < 0; };
    const bool lKeyChanged = FState == TDataSetState::dsInsert || CompareValues(FSlot->Key, lKey) != 0;
    if (lKeyChanged && FStore->Unique) {
      auto lIt = std::lower_bound(lRows.begin(), lRows.end(), lKey, lLower);
      if (lIt != lRows.end() && CompareValues((*lIt)->Key, lKey) == 0) throw EDatabaseError("Key violation.");
    }
    if (!lKeyChanged) {
      FSlot->Row = lRow;  // readers holding the old row keep it
    } else {
      if (FState == TDataSetState::dsEdit) {
        bool lFound;
        const std::size_t lOld = Locate(lFound);
        if (lFound) lRows.erase(lRows.begin() + static_cast<std::ptrdiff_t>(lOld));
        if (FStore->Indexed() && std::holds_alternative<std::string>(FSlot->Key))
          FStore->TextIndex.erase(std::get<std::string>(FSlot->Key));
      }
      auto lSlot = std::make_shared<Slot>(Slot{lKey, lRow});
      auto lIt = std::upper_bound(lRows.begin(), lRows.end(), lKey, lUpper);
      lIt = lRows.insert(lIt, lSlot);
      if (FStore->Indexed() && std::holds_alternative<std::string>(lKey))
        FStore->TextIndex[std::get<std::string>(lKey)] = lSlot;
      ++FStore->Structure;
      FIndex = static_cast<std::size_t>(lIt - lRows.begin());
      FIndexStructure = FStore->Structure;
      FSlot = std::move(lSlot);
    }
  } catch (...) {
    // The row stays in the buffer, as before the post.
    FBuffer = *lRow;
    throw;
  }
  FRow = std::move(lRow);
  FEof = false;
  FState = TDataSetState::dsBrowse;
  FStore->Changed();
}

void TqmtDataSet::Delete() {
  CheckBrowse("delete");
  if (FEof || !FSlot) throw EDatabaseError("Cannot delete: no current row");
  std::size_t lIndex;
  {
    std::lock_guard lGuard(FStore->Lock);
    bool lFound;
    lIndex = Locate(lFound);
    if (lFound) {
      FStore->Rows.erase(FStore->Rows.begin() + static_cast<std::ptrdiff_t>(lIndex));
      if (FStore->Indexed() && std::holds_alternative<std::string>(FSlot->Key))
        FStore->TextIndex.erase(std::get<std::string>(FSlot->Key));
      ++FStore->Structure;
    }
  }
  SeekFrom(lIndex);  // onto the row after the deleted one
  FStore->Changed();
}

void TqmtDataSet::SetFilter(const std::string& aExpression) {
  std::shared_ptr<const TqmtFilterExpression> lFilter;
  if (!aExpression.empty()) lFilter = TqmtFilterExpression::Parse(aExpression, FStore->Fields);
  FFilter = std::move(lFilter);
  FFilterText = aExpression;
  if (FFiltered && FState == TDataSetState::dsBrowse) First();
}

void TqmtDataSet::SetFiltered(bool aValue) {
  FFiltered = aValue;
  if (FState == TDataSetState::dsBrowse) First();
}

void TqmtDataSet::SetDisplayFormat(const std::string& aFieldName, const std::string& aFormat) {
  if (FindFieldIndex(aFieldName) < 0) FieldNotFound(aFieldName);
  if (aFormat.empty())
    FDisplayFormats.erase(aFieldName);
  else
    FDisplayFormats[aFieldName] = aFormat;
}

std::string TqmtDataSet::DisplayFormat(const std::string& aFieldName) const {
  auto lIt = FDisplayFormats.find(aFieldName);
  return lIt == FDisplayFormats.end() ? std::string() : lIt->second;
}

std::vector<TqmtRowRef> TqmtDataSet::Rows() const {
  std::vector<TqmtRowRef> lRows;
  {
    std::lock_guard lGuard(FStore->Lock);
    lRows.reserve(FStore->Rows.size());
    for (const auto& s : FStore->Rows) lRows.push_back({s, s->Row});
  }
  if (FFiltered && FFilter) std::erase_if(lRows, [this](const TqmtRowRef& r) { return !Accepts(*r.Values); });
  return lRows;
}

bool TqmtDataSet::GotoRow(const TqmtRowRef& aRow) {
  CheckBrowse("move");
  auto lSlot = std::static_pointer_cast<Slot>(std::const_pointer_cast<void>(aRow.Id));
  if (!lSlot) return false;
  std::shared_ptr<const std::vector<TqmtValue>> lRow;
  auto lSaved = FSlot;
  const std::size_t lSavedIndex = FIndex;
  const std::uint64_t lSavedStructure = FIndexStructure;
  {
    std::lock_guard lGuard(FStore->Lock);
    FSlot = lSlot;
    FIndexStructure = ~0ull;
    bool lFound = false;
    Locate(lFound);
    if (lFound) lRow = lSlot->Row;
  }
  if (!lRow || !Accepts(*lRow)) {
    FSlot = std::move(lSaved);
    FIndex = lSavedIndex;
    FIndexStructure = lSavedStructure;
    return false;
  }
  FRow = std::move(lRow);
  FEof = false;
  return true;
}

std::string TqmtDataSet::DisplayValue(int aIndex, const TqmtValue& aValue) const {
  if (std::holds_alternative<std::monostate>(aValue)) return std::string();
  const std::string lFormat = DisplayFormat(FStore->Fields.at(static_cast<std::size_t>(aIndex)).Name);
  if (lFormat.empty() || std::holds_alternative<std::string>(aValue)) return TqmtField::ValueToText(aValue);
  return FormatFloat(lFormat, TqmtField::ValueToExtended(aValue));
}

void TqmtDataSet::DisableControls() { FStore->Disabled.fetch_add(1); }

void TqmtDataSet::EnableControls() {
  if (FStore->Disabled.fetch_sub(1) == 1 && FStore->Pending.exchange(false)) FStore->Notify();
}

int TqmtDataSet::AddObserver(TqmtDataChangeEvent aEvent) {
  std::lock_guard lGuard(FStore->ObserverLock);
  const int lId = FStore->NextObserverId++;
  FStore->Observers.emplace_back(lId, std::move(aEvent));
  FStore->ObserverCount.store(static_cast<int>(FStore->Observers.size()), std::memory_order_release);
  FObserverIds.push_back(lId);
  return lId;
}

void TqmtDataSet::RemoveObserver(int aId) {
  std::lock_guard lGuard(FStore->ObserverLock);
  auto& lObservers = FStore->Observers;
  lObservers.erase(std::remove_if(lObservers.begin(), lObservers.end(), [aId](const auto& o) { return o.first == aId; }),
                   lObservers.end());
  FStore->ObserverCount.store(static_cast<int>(lObservers.size()), std::memory_order_release);
}

std::uint64_t TqmtDataSet::ChangeCount() const { return FStore->Changes.load(std::memory_order_relaxed); }

// ---- files --------------------------------------------------------------------------------------

namespace {

const char* TypeName(TFieldType aType) {
  switch (aType) {
    case TFieldType::ftString: return "string";
    case TFieldType::ftExtended: return "extended";
    case TFieldType::ftCurrency: return "currency";
    case TFieldType::ftDateTime: return "datetime";
    case TFieldType::ftTime: return "time";
    case TFieldType::ftInteger: return "integer";
    case TFieldType::ftMemo: return "memo";
  }
  return "string";
}

bool TypeFromName(std::string_view aName, TFieldType& aType) {
  static const std::pair<const char*, TFieldType> kTypes[] = {
      {"string", TFieldType::ftString},     {"extended", TFieldType::ftExtended}, {"currency", TFieldType::ftCurrency},
      {"datetime", TFieldType::ftDateTime}, {"time", TFieldType::ftTime},         {"integer", TFieldType::ftInteger},
      {"memo", TFieldType::ftMemo}};
  for (const auto& t : kTypes)
    if (aName == t.first) {
      aType = t.second;
      return true;
    }
  return false;
}

struct SqliteCloser {
  void operator()(sqlite3* aDb) const { sqlite3_close(aDb); }
};
struct StatementCloser {
  void operator()(sqlite3_stmt* aStatement) const { sqlite3_finalize(aStatement); }
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

[[noreturn]] void SqlFail(sqlite3* aDb, const std::string& aWhat) {
  throw EDatabaseError(aWhat + ": " + (aDb ? sqlite3_errmsg(aDb) : "out of memory"));
}

void Exec(sqlite3* aDb, const std::string& aSql, const std::string& aPath) {
  char* lError = nullptr;
  if (sqlite3_exec(aDb, aSql.c_str(), nullptr, nullptr, &lError) != SQLITE_OK) {
    std::string lText = lError ? lError : "unknown error";
    sqlite3_free(lError);
    throw EDatabaseError("Cannot write table file '" + aPath + "': " + lText);
  }
}

SqliteStatement Prepare(sqlite3* aDb, const std::string& aSql, const std::string& aWhat) {
  sqlite3_stmt* lStatement = nullptr;
  if (sqlite3_prepare_v2(aDb, aSql.c_str(), -1, &lStatement, nullptr) != SQLITE_OK) SqlFail(aDb, aWhat);
  return SqliteStatement(lStatement);
}

std::string Quoted(const std::string& aName) {
  std::string lText = "\"";
  for (char c : aName) lText += c == '"' ? std::string("\"\"") : std::string(1, c);
  return lText + "\"";
}

void BindValue(sqlite3_stmt* aStatement, int aColumn, const TqmtValue& aValue) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          sqlite3_bind_null(aStatement, aColumn);
        } else if constexpr (std::is_same_v<T, std::string>) {
          sqlite3_bind_text(aStatement, aColumn, x.data(), static_cast<int>(x.size()), SQLITE_TRANSIENT);
        } else if constexpr (std::is_same_v<T, long double>) {
          // Extended values as their shortest exact text: the 80-bit value comes back to the last bit.
          const std::string lText = TqmtField::ValueToText(x);
          sqlite3_bind_text(aStatement, aColumn, lText.data(), static_cast<int>(lText.size()), SQLITE_TRANSIENT);
        } else if constexpr (std::is_same_v<T, TqmtCurrency>) {
          sqlite3_bind_int64(aStatement, aColumn, x.Raw);
        } else if constexpr (std::is_same_v<T, double>) {
          sqlite3_bind_double(aStatement, aColumn, x);
        } else {
          sqlite3_bind_int(aStatement, aColumn, x);
        }
      },
      aValue);
}

TqmtValue ColumnValue(sqlite3_stmt* aStatement, int aColumn, TFieldType aType) {
  if (sqlite3_column_type(aStatement, aColumn) == SQLITE_NULL) return std::monostate{};
  switch (aType) {
    case TFieldType::ftString:
    case TFieldType::ftMemo: {
      const auto* lText = reinterpret_cast<const char*>(sqlite3_column_text(aStatement, aColumn));
      return std::string(lText ? lText : "", static_cast<std::size_t>(sqlite3_column_bytes(aStatement, aColumn)));
    }
    case TFieldType::ftExtended: {
      const auto* lText = reinterpret_cast<const char*>(sqlite3_column_text(aStatement, aColumn));
      return TqmtField::ValueToExtended(std::string(lText ? lText : ""));
    }
    case TFieldType::ftCurrency:
      return TqmtCurrency{sqlite3_column_int64(aStatement, aColumn)};
    case TFieldType::ftDateTime:
    case TFieldType::ftTime:
      return sqlite3_column_double(aStatement, aColumn);
    case TFieldType::ftInteger:
      return static_cast<std::int32_t>(sqlite3_column_int(aStatement, aColumn));
  }
  return std::monostate{};
}

}  // namespace

void TqmtDataSet::SaveToFile(const std::string& aPath) const {
  // A consistent copy of definitions and rows, taken in one short step.
  std::vector<TqmtFieldDef> lFields;
  std::vector<std::shared_ptr<const std::vector<TqmtValue>>> lRows;
  int lKey;
  bool lUnique;
  {
    std::lock_guard lGuard(FStore->Lock);
    lFields = FStore->Fields;
    lKey = FStore->KeyField;
    lUnique = FStore->Unique;
    lRows.reserve(FStore->Rows.size());
    for (const auto& s : FStore->Rows) lRows.push_back(s->Row);
  }

  const std::string lTemp = aPath + ".tmp" + std::to_string(::getpid());
  std::filesystem::remove(lTemp);
  try {
    sqlite3* lRaw = nullptr;
    if (sqlite3_open_v2(lTemp.c_str(), &lRaw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      SqliteDb lFailed(lRaw);
      SqlFail(lRaw, "Cannot create table file '" + aPath + "'");
    }
    SqliteDb lDb(lRaw);
    Exec(lDb.get(), "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL; BEGIN", aPath);
    Exec(lDb.get(),
         "CREATE TABLE qmt_columns(position INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL, "
         "size INTEGER NOT NULL, is_key INTEGER NOT NULL, is_unique INTEGER NOT NULL)",
         aPath);
    std::string lCreate = "CREATE TABLE qmt_rows(", lInsert = "INSERT INTO qmt_rows VALUES(";
    for (std::size_t i = 0; i < lFields.size(); ++i) {
      lCreate += (i ? ", " : "") + Quoted(lFields[i].Name);
      lInsert += i ? ", ?" : "?";
    }
    Exec(lDb.get(), lCreate + ")", aPath);
    {
      auto lColumn = Prepare(lDb.get(), "INSERT INTO qmt_columns VALUES(?, ?, ?, ?, ?, ?)", "Cannot write '" + aPath + "'");
      for (std::size_t i = 0; i < lFields.size(); ++i) {
        sqlite3_bind_int(lColumn.get(), 1, static_cast<int>(i));
        sqlite3_bind_text(lColumn.get(), 2, lFields[i].Name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(lColumn.get(), 3, TypeName(lFields[i].DataType), -1, SQLITE_STATIC);
        sqlite3_bind_int(lColumn.get(), 4, lFields[i].Size);
        sqlite3_bind_int(lColumn.get(), 5, static_cast<int>(i) == lKey ? 1 : 0);
        sqlite3_bind_int(lColumn.get(), 6, lUnique ? 1 : 0);
        if (sqlite3_step(lColumn.get()) != SQLITE_DONE) SqlFail(lDb.get(), "Cannot write '" + aPath + "'");
        sqlite3_reset(lColumn.get());
      }
    }
    {
      auto lRow = Prepare(lDb.get(), lInsert + ")", "Cannot write '" + aPath + "'");
      for (const auto& r : lRows) {
        for (std::size_t i = 0; i < lFields.size(); ++i)
          BindValue(lRow.get(), static_cast<int>(i) + 1, i < r->size() ? (*r)[i] : TqmtValue());
        if (sqlite3_step(lRow.get()) != SQLITE_DONE) SqlFail(lDb.get(), "Cannot write '" + aPath + "'");
        sqlite3_reset(lRow.get());
      }
    }
    Exec(lDb.get(), "COMMIT", aPath);
  } catch (...) {
    std::filesystem::remove(lTemp);
    throw;
  }
  // The finished file replaces the old one in a single step.
  std::error_code lError;
  std::filesystem::rename(lTemp, aPath, lError);
  if (lError) {
    std::filesystem::remove(lTemp);
    throw EDatabaseError("Cannot replace table file '" + aPath + "': " + lError.message());
  }
}

void TqmtDataSet::LoadFromFile(const std::string& aPath) {
  sqlite3* lRaw = nullptr;
  if (sqlite3_open_v2(aPath.c_str(), &lRaw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    SqliteDb lFailed(lRaw);
    SqlFail(lRaw, "Cannot open table file '" + aPath + "'");
  }
  SqliteDb lDb(lRaw);
  const std::string lWhat = "Cannot read table file '" + aPath + "'";
  std::vector<TqmtFieldDef> lFields;
  int lKey = -1;
  bool lUnique = true;
  {
    auto lColumns = Prepare(lDb.get(), "SELECT name, type, size, is_key, is_unique FROM qmt_columns ORDER BY position", lWhat);
    int lStep;
    while ((lStep = sqlite3_step(lColumns.get())) == SQLITE_ROW) {
      TqmtFieldDef lDef;
      lDef.Name = reinterpret_cast<const char*>(sqlite3_column_text(lColumns.get(), 0));
      const auto* lType = reinterpret_cast<const char*>(sqlite3_column_text(lColumns.get(), 1));
      if (!lType || !TypeFromName(lType, lDef.DataType)) throw EDatabaseError(lWhat + ": unknown column type");
      lDef.Size = sqlite3_column_int(lColumns.get(), 2);
      if (sqlite3_column_int(lColumns.get(), 3)) {
        lKey = static_cast<int>(lFields.size());
        lUnique = sqlite3_column_int(lColumns.get(), 4) != 0;
      }
      lFields.push_back(lDef);
    }
    if (lStep != SQLITE_DONE) SqlFail(lDb.get(), lWhat);
  }
  if (lKey < 0) throw EDatabaseError(lWhat + ": no key column");

  std::vector<std::shared_ptr<Slot>> lRows;
  {
    auto lSelect = Prepare(lDb.get(), "SELECT * FROM qmt_rows ORDER BY rowid", lWhat);
    if (sqlite3_column_count(lSelect.get()) != static_cast<int>(lFields.size()))
      throw EDatabaseError(lWhat + ": columns do not match their definitions");
    int lStep;
    while ((lStep = sqlite3_step(lSelect.get())) == SQLITE_ROW) {
      std::vector<TqmtValue> lRow;
      lRow.reserve(lFields.size());
      for (std::size_t i = 0; i < lFields.size(); ++i)
        lRow.push_back(ColumnValue(lSelect.get(), static_cast<int>(i), lFields[i].DataType));
      TqmtValue lKeyValue = lRow[lKey];
      lRows.push_back(std::make_shared<Slot>(Slot{std::move(lKeyValue), std::make_shared<const std::vector<TqmtValue>>(std::move(lRow))}));
    }
    if (lStep != SQLITE_DONE) SqlFail(lDb.get(), lWhat);
  }
  std::stable_sort(lRows.begin(), lRows.end(),
                   [](const auto& a, const auto& b) { return CompareValues(a->Key, b->Key) < 0; });

  {
    std::lock_guard lGuard(FStore->Lock);
    FStore->Fields = std::move(lFields);
    FStore->KeyField = lKey;
    FStore->Unique = lUnique;
    FStore->Rows = std::move(lRows);
    FStore->TextIndex.clear();
    if (FStore->Indexed())
      for (const auto& s : FStore->Rows)
        if (std::holds_alternative<std::string>(s->Key)) FStore->TextIndex[std::get<std::string>(s->Key)] = s;
    FStore->Created = true;
    ++FStore->Structure;
  }
  FState = TDataSetState::dsBrowse;
  First();
  FStore->Changed();
}

// ---- display formats ----------------------------------------------------------------------------

std::string FormatFloat(const std::string& aFormat, long double aValue) {
  // The integer part: "0"s give the minimum digits, "," asks for thousands groups. The fraction:
  // "0"s are always written, "#"s only when not zero.
  const auto lPoint = aFormat.find('.');
  const std::string lIntPart = aFormat.substr(0, lPoint);
  const std::string lFracPart = lPoint == std::string::npos ? std::string() : aFormat.substr(lPoint + 1);
  const int lMinInt = static_cast<int>(std::count(lIntPart.begin(), lIntPart.end(), '0'));
  const bool lGroups = lIntPart.find(',') != std::string::npos;
  const int lFixed = static_cast<int>(std::count(lFracPart.begin(), lFracPart.end(), '0'));
  const int lOptional = static_cast<int>(std::count(lFracPart.begin(), lFracPart.end(), '#'));
  const int lDecimals = lFixed + lOptional;

  char lBuffer[128];
  const auto r = std::to_chars(lBuffer, lBuffer + sizeof lBuffer, std::fabs(aValue), std::chars_format::fixed, lDecimals);
  std::string lDigits(lBuffer, r.ptr);
  std::string lInt = lDigits.substr(0, lDigits.find('.'));
  std::string lFrac = lDecimals > 0 ? lDigits.substr(lDigits.find('.') + 1) : std::string();
  while (static_cast<int>(lFrac.size()) > lFixed && lFrac.back() == '0') lFrac.pop_back();
  if (lInt == "0" && lMinInt == 0) lInt.clear();
  while (static_cast<int>(lInt.size()) < lMinInt) lInt.insert(lInt.begin(), '0');
  if (lGroups)
    for (int i = static_cast<int>(lInt.size()) - 3; i > 0; i -= 3) lInt.insert(static_cast<std::size_t>(i), ",");
  std::string lText = lInt;
  if (!lFrac.empty()) lText += "." + lFrac;
  if (lText.empty()) lText = "0";
  const bool lZero = std::all_of(lText.begin(), lText.end(), [](char c) { return c == '0' || c == '.' || c == ','; });
  if (aValue < 0 && !lZero) lText.insert(lText.begin(), '-');
  return lText;
}
