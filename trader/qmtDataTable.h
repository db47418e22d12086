// The in-memory table facility under the trading core's data tables: named typed columns, one key
// index that keeps rows in ascending key order with exact find, cursors with insert/edit/post/
// cancel/delete, clone cursors that share the rows but keep their own position, filter and display
// formats, suspendable change notification, and save/load of the whole table to an SQLite file.
//
// Threads. The rows of a table and all its clones live in one shared store guarded by one mutex,
// held only for short steps (positioning a cursor, publishing a posted row), never across a
// caller's code or a file write. Rows are immutable once published: posting an edit builds a new
// row and swaps it in, so a cursor on another thread always reads a whole row as it was when the
// cursor moved onto it (Refresh re-reads it). A writer on the stream thread therefore waits at most
// for one such step of a reader, never for a reader's whole walk. Each cursor itself (position,
// edit buffer, filter) belongs to one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "qmtSystem.h"

enum class TFieldType : std::uint8_t { ftString, ftExtended, ftCurrency, ftDateTime, ftTime, ftInteger, ftMemo };

struct TqmtFieldDef {
  std::string Name;
  TFieldType DataType = TFieldType::ftString;
  int Size = 0;  // characters, for ftString
};

// A field value: null, text, extended, currency, date-time or time (days), 32-bit integer.
using TqmtValue = std::variant<std::monostate, std::string, long double, TqmtCurrency, double, std::int32_t>;

// Raised for misuse of a table: unknown field, key violation, a filter that does not parse, a file
// that cannot be written or read.
class EDatabaseError : public Exception {
public:
  using Exception::Exception;
};

enum class TDataSetState : std::uint8_t { dsBrowse, dsEdit, dsInsert };

class TqmtDataSet;
class TqmtFilterExpression;
struct TqmtTableStore;

// A view of one field of a cursor's current row (or its edit buffer while editing).
class TqmtField {
public:
  TqmtField(TqmtDataSet* aDataSet, int aIndex) : FDataSet(aDataSet), FIndex(aIndex) {}

  const std::string& FieldName() const;
  TFieldType DataType() const;
  int Index() const { return FIndex; }

  const TqmtValue& Value() const;
  bool IsNull() const { return std::holds_alternative<std::monostate>(Value()); }
  std::string AsString() const;
  long double AsExtended() const;
  TqmtCurrency AsCurrency() const;
  TDateTime AsDateTime() const;
  std::int32_t AsInteger() const;
  // The value through the cursor's display format for this field (if any).
  std::string DisplayText() const;

  // Only while the cursor edits or inserts; raises EDatabaseError otherwise. Text longer than a
  // text field's size is cut to the size.
  void SetValue(const TqmtValue& aValue);
  void SetAsString(const std::string& aValue);
  void SetAsExtended(long double aValue) { SetValue(aValue); }
  void SetAsCurrency(TqmtCurrency aValue) { SetValue(aValue); }
  void SetAsDateTime(TDateTime aValue) { SetValue(aValue); }
  void SetAsInteger(std::int32_t aValue) { SetValue(aValue); }
  void Clear() { SetValue(std::monostate{}); }

  // Conversions used by fields, filters and files. Text of numbers is shortest round-trip with ".";
  // ValueToExtended raises EDatabaseError for text that is not a number.
  static std::string ValueToText(const TqmtValue& aValue);
  static long double ValueToExtended(const TqmtValue& aValue);

private:
  TqmtDataSet* FDataSet;
  int FIndex;
};

// Change notification of a cursor's attached views. Called on the thread that changed the table,
// after the change, with no lock held: keep it short and never block (record and queue a refresh).
using TqmtDataChangeEvent = std::function<void()>;

// One row as a view keeps it: the row's identity (the same for the row's whole life, edits
// included) and its values as posted. Rows are never changed in place: a post publishes new values,
// so a view finds what changed by comparing the Values pointers.
struct TqmtRowRef {
  std::shared_ptr<const void> Id;
  std::shared_ptr<const std::vector<TqmtValue>> Values;
};

class TqmtDataSet {
public:
  // A new, empty table with a store of its own; define fields and the key, then CreateDataSet.
  TqmtDataSet();
  ~TqmtDataSet();
  TqmtDataSet(const TqmtDataSet&) = delete;
  TqmtDataSet& operator=(const TqmtDataSet&) = delete;

  // ---- definition
  void AddField(const std::string& aName, TFieldType aType, int aSize = 0);
  // The key column; rows stay in ascending order of it. A unique key refuses a second row with the
  // same value ("Key violation.").
  void SetKeyField(const std::string& aName, bool aUnique = true);
  void CreateDataSet();
  const std::vector<TqmtFieldDef>& FieldDefs() const;
  int FieldCount() const { return static_cast<int>(FieldDefs().size()); }
  std::string KeyFieldName() const;

  // A cursor over the same rows with its own position, starting with this cursor's filter and
  // display formats.
  std::unique_ptr<TqmtDataSet> CloneCursor() const;

  // ---- navigation
  void First();
  void Next();
  bool Eof() const { return FEof; }
  bool IsEmpty() const;
  // Rows that pass this cursor's filter.
  int RecordCount() const;
  // Exact find on the key; positions the cursor on the first such row. Rows hidden by this
  // cursor's filter are not found.
  bool FindKey(const TqmtValue& aKey);
  // Re-reads the current row as it is now.
  void Refresh();

  // ---- editing
  void Insert();
  void Append() { Insert(); }
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  TDataSetState State() const { return FState; }

  // ---- fields
  TqmtField FieldByName(std::string_view aName);  // raises EDatabaseError "Field 'X' not found"
  int FindFieldIndex(std::string_view aName) const;  // -1 when absent
  TqmtField Fields(int aIndex) { return TqmtField(this, aIndex); }

  // ---- filter and display formats
  // Parses first: a malformed expression raises EDatabaseError and leaves the previous filter.
  void SetFilter(const std::string& aExpression);
  const std::string& Filter() const { return FFilterText; }
  void SetFiltered(bool aValue);
  bool Filtered() const { return FFiltered; }
  // A format such as "0.0000" or "#,##0.00" for a numeric field; empty removes it.
  void SetDisplayFormat(const std::string& aFieldName, const std::string& aFormat);
  std::string DisplayFormat(const std::string& aFieldName) const;

  // ---- views
  // Every row that passes this cursor's filter, as it is now, in order: one short step under the
  // store's lock, the filter outside it. The cursor does not move.
  std::vector<TqmtRowRef> Rows() const;
  // Positions the cursor on that row; false (the cursor stays) when it has left the table or this
  // cursor's filter hides it.
  bool GotoRow(const TqmtRowRef& aRow);
  // A value of field aIndex as DisplayText shows it (through this cursor's display format).
  std::string DisplayValue(int aIndex, const TqmtValue& aValue) const;

  // ---- notification
  // Suspends change notification for every view of the table until the matching EnableControls;
  // a change made meanwhile is announced once at the end.
  void DisableControls();
  void EnableControls();
  // Views attach to a cursor; returns an id for RemoveObserver.
  int AddObserver(TqmtDataChangeEvent aEvent);
  void RemoveObserver(int aId);

  // ---- files
  // Writes the definitions and all rows in one transaction to a new file, then puts it in place of
  // aPath in one rename: a crash never leaves a broken or half-written file at aPath.
  void SaveToFile(const std::string& aPath) const;
  // Replaces definitions and rows with the file's.
  void LoadFromFile(const std::string& aPath);

  // Changes since creation (any post, delete or load); views compare it to skip needless refreshes.
  std::uint64_t ChangeCount() const;

private:
  friend class TqmtField;
  friend struct TqmtTableStore;
  struct Slot;
  explicit TqmtDataSet(std::shared_ptr<TqmtTableStore> aStore);

  const TqmtValue& CurrentValue(int aIndex) const;
  void SetBufferValue(int aIndex, TqmtValue aValue);
  void CheckBrowse(const char* aOperation) const;
  // Moves onto the first row at or after position aIndex that passes the filter.
  void SeekFrom(std::size_t aIndex);
  // Index of the current slot in the store, or where it was if it has been deleted.
  std::size_t Locate(bool& aFound) const;
  bool Accepts(const std::vector<TqmtValue>& aRow) const;

  std::shared_ptr<TqmtTableStore> FStore;
  std::shared_ptr<Slot> FSlot;                         // current row's slot, null at Eof
  std::shared_ptr<const std::vector<TqmtValue>> FRow;  // current row as read
  mutable std::size_t FIndex = 0;                      // cached position of FSlot
  mutable std::uint64_t FIndexStructure = ~0ull;       // store structure version FIndex belongs to
  bool FEof = true;
  TDataSetState FState = TDataSetState::dsBrowse;
  std::vector<TqmtValue> FBuffer;
  std::string FFilterText;
  bool FFiltered = false;
  std::shared_ptr<const TqmtFilterExpression> FFilter;
  std::unordered_map<std::string, std::string> FDisplayFormats;
  std::vector<int> FObserverIds;
};

// Field names compare without regard to (ASCII) case.
bool SameFieldName(std::string_view a, std::string_view b);

// Formats a number with a display format such as "0.0000", "#,##0.00" or "0"; "." is always the
// decimal separator.
std::string FormatFloat(const std::string& aFormat, long double aValue);
