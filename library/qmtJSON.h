// The library's JSON document model: a document is an ordered list of named members; a member
// holding an object or an array carries a nested document. Parsed scalars keep their text exactly as
// written (escapes, number text, literals), the parser is lenient and never reports a failure, and
// the writer is compact.
//
// Memory: every document tree lives in one arena owned by its root document, together with a copy
// of the text it read, so parsing allocates a handful of blocks rather than one object per member,
// and names and values are views into that copy. A root that reads again reuses its arena when no
// reference into the old content is alive.
//
// References: IqmtJSON and IqmtObjectJSON are counted references. A member or nested document
// handed out stays valid while a reference to it lives, even after its root document was cleared,
// read again or destroyed. A document and its members are used by one thread at a time; only the
// owner list of NewJSONDocument/DisposeJSONDocument is guarded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qmtSystem.h"

enum class TqmtJSONtype : std::uint8_t {
  qmtJSONUndefined = 0,
  qmtJSONObject = 1,
  qmtJSONList = 2,
  qmtJSONString = 3,
  qmtJSONNumber = 4,
  qmtJSONBoolean = 5,
  qmtJSONNull = 6,
};

class TqmtJSON;
class TqmtObjectJSON;
class TqmtJSONArena;

// The tagged scalar value of a member: empty, text, 32-bit integer, 64-bit integer, double or
// boolean. A text value is a view: into the member's arena once stored in a member, or into the
// caller's memory when built by the caller (it is copied when stored).
class TqmtJSONValue {
public:
  enum class Kind : std::uint8_t { vkEmpty, vkText, vkInt32, vkInt64, vkDouble, vkBoolean };

  TqmtJSONValue() = default;
  static TqmtJSONValue Text(std::string_view aText);
  static TqmtJSONValue Int32(std::int32_t aValue);
  static TqmtJSONValue Int64(std::int64_t aValue);
  static TqmtJSONValue Double(double aValue);
  static TqmtJSONValue Boolean(bool aValue);

  Kind GetKind() const { return FKind; }
  bool IsEmpty() const { return FKind == Kind::vkEmpty; }
  // The text of a text value; empty for the other kinds.
  std::string_view AsView() const { return FKind == Kind::vkText ? std::string_view(FText, FLength) : std::string_view(); }
  // The text form: empty for empty, decimal digits for integers, a double with "." and up to 15
  // significant digits, "True"/"False" for a boolean, the text itself for text.
  std::string AsString() const;
  std::int32_t AsInt32() const { return FInt32; }
  std::int64_t AsInt64() const { return FInt64; }
  double AsDouble() const { return FDouble; }
  bool AsBoolean() const { return FBoolean; }

  bool operator==(std::string_view aText) const { return FKind == Kind::vkText && AsView() == aText; }

private:
  friend class TqmtObjectJSON;
  friend class TqmtJSON;
  void AppendTo(std::string& aOut) const;

  Kind FKind = Kind::vkEmpty;
  union {
    std::int32_t FInt32;
    std::int64_t FInt64 = 0;
    double FDouble;
    bool FBoolean;
  };
  const char* FText = nullptr;
  std::size_t FLength = 0;
};

// Counted references. The count lives in the root document for a root, and in the arena for
// anything inside it, so a reference to a member keeps the whole tree's memory alive.
class TInterfacedComponent {
public:
  TInterfacedComponent() = default;
  TInterfacedComponent(const TInterfacedComponent&) = delete;
  TInterfacedComponent& operator=(const TInterfacedComponent&) = delete;
  virtual ~TInterfacedComponent() = default;

  // Both return -1, not the count.
  int _AddRef() {
    ++FRefCount;
    return -1;
  }
  int _Release();
  int RefCount() const { return FRefCount; }

protected:
  // Set for objects that free themselves at the last release; objects with an owner (or on the
  // stack) leave it clear.
  bool FDestroyObject = false;

private:
  int FRefCount = 0;
};

template <typename T>
class TqmtJSONRef {
public:
  TqmtJSONRef() = default;
  TqmtJSONRef(std::nullptr_t) {}
  explicit TqmtJSONRef(T* aObject) : FObject(aObject) { Acquire(); }
  TqmtJSONRef(const TqmtJSONRef& aOther) : FObject(aOther.FObject) { Acquire(); }
  TqmtJSONRef(TqmtJSONRef&& aOther) noexcept : FObject(aOther.FObject) { aOther.FObject = nullptr; }
  TqmtJSONRef& operator=(TqmtJSONRef aOther) noexcept {
    std::swap(FObject, aOther.FObject);
    return *this;
  }
  ~TqmtJSONRef() { ReleaseRef(); }

  T* operator->() const { return FObject; }
  T& operator*() const { return *FObject; }
  T* Get() const { return FObject; }
  explicit operator bool() const { return FObject != nullptr; }
  bool operator==(const TqmtJSONRef& aOther) const { return FObject == aOther.FObject; }
  bool operator==(std::nullptr_t) const { return FObject == nullptr; }

private:
  void Acquire();
  void ReleaseRef();
  T* FObject = nullptr;
};

using IqmtJSON = TqmtJSONRef<TqmtJSON>;
using IqmtObjectJSON = TqmtJSONRef<TqmtObjectJSON>;
// Defined at the end of this header, where the counted objects are complete.
template <> inline void TqmtJSONRef<TqmtJSON>::Acquire();
template <> inline void TqmtJSONRef<TqmtJSON>::ReleaseRef();
template <> inline void TqmtJSONRef<TqmtObjectJSON>::Acquire();
template <> inline void TqmtJSONRef<TqmtObjectJSON>::ReleaseRef();

// One member of a document. Members live in their document's arena; reach them through
// IqmtObjectJSON or, within the handling of one message, through the plain pointers of Find/At.
class TqmtObjectJSON {
public:
  std::string_view Name() const { return std::string_view(FName, FNameLength); }
  void SetName(std::string_view aName);
  TqmtJSONtype JSONType() const { return FJSONType; }
  void SetJSONType(TqmtJSONtype aType) { FJSONType = aType; }
  bool Quoted() const { return FQuoted; }
  void SetQuoted(bool aValue) { FQuoted = aValue; }

  // Object kind: the nested document's text; List kind: marks the nested document as an array,
  // then its text; every other kind: the stored value.
  TqmtJSONValue Value();
  // The stored text value as a view (empty for other kinds): what the trading core reads.
  std::string_view ValueView() const { return FValue.AsView(); }
  void SetValue(const TqmtJSONValue& aValue);

  // The nested document, created on first use (the kind becomes Object unless it is List).
  IqmtJSON JSONObject();
  void SetJSONObject(const IqmtJSON& aDocument);
  // Members of the nested document; never creates it.
  int Count() const;
  // These act on the nested document, creating it first.
  IqmtObjectJSON Node(std::string_view aName);
  IqmtObjectJSON Item(int aIndex);
  void SetNode(std::string_view aName, const IqmtObjectJSON& aMember);
  void SetItem(int aIndex, const IqmtObjectJSON& aMember);
  // Drops the nested document; the next use creates a fresh one.
  void Clear() { FJSONObject = nullptr; }

  // Without counting: the nested document's member, or nullptr (never creates anything).
  TqmtObjectJSON* Find(std::string_view aName) const;
  TqmtObjectJSON* At(int aIndex) const;
  TqmtJSON* Nested() const { return FJSONObject; }

  TqmtJSONArena* Arena() const { return FArena; }

private:
  friend class TqmtJSON;
  friend class TqmtJSONParser;
  TqmtObjectJSON(TqmtJSONArena* aArena) : FArena(aArena) {}
  TqmtJSON& EnsureNested();

  TqmtJSONArena* FArena;
  TqmtJSON* FJSONObject = nullptr;
  const char* FName = nullptr;
  std::uint32_t FNameLength = 0;
  TqmtJSONtype FJSONType = TqmtJSONtype::qmtJSONUndefined;
  bool FQuoted = true;
  TqmtJSONValue FValue;
};

class TqmtJSON : public TInterfacedComponent {
public:
  // A root document with an arena of its own. On the stack or as a member it lives as long as its
  // owner; made by Create it frees itself at the last reference.
  TqmtJSON();
  ~TqmtJSON() override;
  static IqmtJSON Create();

  // Replaces the content with the parse of aText; malformed text leaves what was read before the fault.
  void Read(std::string_view aText);
  // Compact JSON text.
  std::string Text() const;
  void AppendText(std::string& aOut) const;

  int Count() const { return static_cast<int>(FCount); }
  // First member whose stored name equals aName exactly; empty if none.
  IqmtObjectJSON Node(std::string_view aName) const { return IqmtObjectJSON(Find(aName)); }
  IqmtObjectJSON GetNode(std::string_view aName) const { return Node(aName); }
  // Empty at or past Count; a negative index raises EListError "List index out of bounds (%d)".
  IqmtObjectJSON Item(int aIndex) const { return IqmtObjectJSON(At(aIndex)); }
  IqmtObjectJSON GetItem(int aIndex) const { return Item(aIndex); }
  void SetNode(std::string_view aName, const IqmtObjectJSON& aMember);
  void SetItem(int aIndex, const IqmtObjectJSON& aMember);
  // Without counting, for walks within the handling of one message.
  TqmtObjectJSON* Find(std::string_view aName) const;
  TqmtObjectJSON* At(int aIndex) const;

  bool IsArray() const { return FIsArray; }
  void SetIsArray(bool aValue) { FIsArray = aValue; }
  bool EscapeStrings() const { return FEscapeStrings; }
  void SetEscapeStrings(bool aValue) { FEscapeStrings = aValue; }

  IqmtObjectJSON AddPair(std::string_view aName, std::string_view aText);
  IqmtObjectJSON AddPair(std::string_view aName, const char* aText) { return AddPair(aName, std::string_view(aText)); }
  IqmtObjectJSON AddPair(std::string_view aName, const std::string& aText) { return AddPair(aName, std::string_view(aText)); }
  IqmtObjectJSON AddPair(std::string_view aName, std::int32_t aValue);
  IqmtObjectJSON AddPair(std::string_view aName, std::int64_t aValue);
  IqmtObjectJSON AddPair(std::string_view aName, double aValue);
  IqmtObjectJSON AddPair(std::string_view aName, bool aValue);
  IqmtObjectJSON AddPair(std::string_view aName);  // a Null member
  IqmtObjectJSON AddObject(std::string_view aName, std::string_view aText);
  IqmtObjectJSON AddArray(std::string_view aName, std::string_view aText);

  // Frees all members.
  void Clear();

  TqmtJSONArena* Arena() const { return FArena; }
  bool IsRoot() const { return FRoot; }

protected:
  // Appends the text of one member; called by the writer for every member.
  virtual void WriteMember(std::string& aOut, const TqmtObjectJSON& aMember, bool aInArray) const;

private:
  friend class TqmtObjectJSON;
  friend class TqmtJSONParser;
  friend class TqmtJSONArena;
  template <typename T>
  friend class TqmtJSONRef;
  struct NestedTag {};
  TqmtJSON(NestedTag, TqmtJSONArena* aArena);

  IqmtObjectJSON AddMember(std::string_view aName, TqmtJSONtype aType, const TqmtJSONValue& aValue);
  void Append(TqmtObjectJSON* aMember);
  void WriteMembers(std::string& aOut, bool aInArray) const;
  void PrepareForRead();
  std::string_view Escaped(std::string_view aText);

  TqmtJSONArena* FArena;
  TqmtObjectJSON** FData = nullptr;  // arena array of FCount members, room for FCapacity
  std::uint32_t FCount = 0;
  std::uint32_t FCapacity = 0;
  bool FIsArray = false;
  bool FEscapeStrings = false;
  bool FRoot;
};

// The process-wide document factory.
using TqmtJSONClass = IqmtJSON (*)();
extern TqmtJSONClass JSONDocumentClass;
// Without an owner, the new document is kept by a process-wide owner list until disposed.
IqmtJSON NewJSONDocument(TObject* aOwner = nullptr);
void DisposeJSONDocument(const IqmtJSON& aDocument);

// Escapes text as the writer of names and strings does with EscapeStrings set (UTF-16 code units,
// "\uXXXX" with upper-case digits above 127).
std::string EscapeJSONText(std::string_view aText);

// The memory of one document tree: bump-allocated blocks, the copies of the texts read into it,
// and references to documents or members of other trees that were linked into this one.
class TqmtJSONArena : public TInterfacedComponent {
public:
  TqmtJSONArena() { FDestroyObject = true; }
  ~TqmtJSONArena() override;

  void* Allocate(std::size_t aSize);
  std::string_view CopyText(std::string_view aText);
  // Forgets all content; keeps the largest block (at least aHint bytes) for the next content.
  void Reset(std::size_t aHint);
  bool Contains(const void* aPointer) const;
  void KeepAlive(const IqmtJSON& aDocument) { FKeepDocuments.push_back(aDocument); }
  void KeepAlive(const IqmtObjectJSON& aMember) { FKeepMembers.push_back(aMember); }

private:
  struct Block {
    char* Data;
    std::size_t Size;
  };
  void NewBlock(std::size_t aMinimum);

  std::vector<Block> FBlocks;
  char* FPos = nullptr;
  char* FEnd = nullptr;
  std::vector<IqmtJSON> FKeepDocuments;
  std::vector<IqmtObjectJSON> FKeepMembers;
};

template <>
inline void TqmtJSONRef<TqmtJSON>::Acquire() {
  if (!FObject) return;
  if (FObject->FRoot)
    FObject->_AddRef();
  else
    FObject->FArena->_AddRef();
}

template <>
inline void TqmtJSONRef<TqmtJSON>::ReleaseRef() {
  if (!FObject) return;
  if (FObject->FRoot)
    FObject->_Release();
  else
    FObject->FArena->_Release();
  FObject = nullptr;
}

template <>
inline void TqmtJSONRef<TqmtObjectJSON>::Acquire() {
  if (FObject) FObject->Arena()->_AddRef();
}

template <>
inline void TqmtJSONRef<TqmtObjectJSON>::ReleaseRef() {
  if (FObject) FObject->Arena()->_Release();
  FObject = nullptr;
}
