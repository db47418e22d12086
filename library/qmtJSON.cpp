#include "qmtJSON.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Deeper nesting fails the parse there (what was read stays), so hostile input cannot exhaust the
// stack of the reading thread.
constexpr int kMaxDepth = 512;
constexpr std::size_t kAlign = alignof(std::max_align_t) < 8 ? 8 : 8;
constexpr std::size_t kFirstBlock = 4096;

std::string_view FormatDouble(double aValue, char (&aBuffer)[40]) {
  // The general form with up to 15 significant digits, like printf's "%.15g": "1.5", "0.1",
  // "1e+20". std::to_chars never consults the locale, so the separator is always ".".
  const auto lResult = std::to_chars(aBuffer, aBuffer + sizeof aBuffer, aValue, std::chars_format::general, 15);
  return std::string_view(aBuffer, static_cast<std::size_t>(lResult.ptr - aBuffer));
}

bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

// ---- values -------------------------------------------------------------------------------------

TqmtJSONValue TqmtJSONValue::Text(std::string_view aText) {
  TqmtJSONValue v;
  v.FKind = Kind::vkText;
  v.FText = aText.data();
  v.FLength = aText.size();
  return v;
}

TqmtJSONValue TqmtJSONValue::Int32(std::int32_t aValue) {
  TqmtJSONValue v;
  v.FKind = Kind::vkInt32;
  v.FInt32 = aValue;
  return v;
}

TqmtJSONValue TqmtJSONValue::Int64(std::int64_t aValue) {
  TqmtJSONValue v;
  v.FKind = Kind::vkInt64;
  v.FInt64 = aValue;
  return v;
}

TqmtJSONValue TqmtJSONValue::Double(double aValue) {
  TqmtJSONValue v;
  v.FKind = Kind::vkDouble;
  v.FDouble = aValue;
  return v;
}

TqmtJSONValue TqmtJSONValue::Boolean(bool aValue) {
  TqmtJSONValue v;
  v.FKind = Kind::vkBoolean;
  v.FBoolean = aValue;
  return v;
}

void TqmtJSONValue::AppendTo(std::string& aOut) const {
  switch (FKind) {
    case Kind::vkEmpty:
      break;
    case Kind::vkText:
      aOut.append(FText, FLength);
      break;
    case Kind::vkInt32:
    case Kind::vkInt64: {
      char lBuffer[24];
      const auto lResult = std::to_chars(lBuffer, lBuffer + sizeof lBuffer, FKind == Kind::vkInt32 ? FInt32 : FInt64);
      aOut.append(lBuffer, lResult.ptr);
      break;
    }
    case Kind::vkDouble: {
      char lBuffer[40];
      aOut += FormatDouble(FDouble, lBuffer);
      break;
    }
    case Kind::vkBoolean:
      aOut += FBoolean ? "True" : "False";
      break;
  }
}

std::string TqmtJSONValue::AsString() const {
  std::string lText;
  AppendTo(lText);
  return lText;
}

// ---- counted references and the arena -----------------------------------------------------------

int TInterfacedComponent::_Release() {
  if (--FRefCount == 0 && FDestroyObject) delete this;
  return -1;
}

TqmtJSONArena::~TqmtJSONArena() {
  for (auto& lBlock : FBlocks) std::free(lBlock.Data);
}

void TqmtJSONArena::NewBlock(std::size_t aMinimum) {
  std::size_t lSize = FBlocks.empty() ? kFirstBlock : FBlocks.back().Size * 2;
  lSize = std::max(lSize, aMinimum);
  char* lData = static_cast<char*>(std::malloc(lSize));
  if (!lData) throw std::bad_alloc();
  FBlocks.push_back({lData, lSize});
  FPos = lData;
  FEnd = lData + lSize;
}

void* TqmtJSONArena::Allocate(std::size_t aSize) {
  aSize = (aSize + kAlign - 1) & ~(kAlign - 1);
  if (static_cast<std::size_t>(FEnd - FPos) < aSize) NewBlock(aSize);
  void* lResult = FPos;
  FPos += aSize;
  return lResult;
}

std::string_view TqmtJSONArena::CopyText(std::string_view aText) {
  if (aText.empty()) return std::string_view();
  char* lCopy = static_cast<char*>(Allocate(aText.size()));
  std::memcpy(lCopy, aText.data(), aText.size());
  return std::string_view(lCopy, aText.size());
}

void TqmtJSONArena::Reset(std::size_t aHint) {
  FKeepDocuments.clear();
  FKeepMembers.clear();
  if (FBlocks.empty()) {
    NewBlock(aHint);
    return;
  }
  auto lLargest = std::max_element(FBlocks.begin(), FBlocks.end(),
                                   [](const Block& a, const Block& b) { return a.Size < b.Size; });
  Block lKeep = *lLargest;
  for (auto& lBlock : FBlocks)
    if (lBlock.Data != lKeep.Data) std::free(lBlock.Data);
  FBlocks.clear();
  if (lKeep.Size < aHint) {
    std::free(lKeep.Data);
    FPos = FEnd = nullptr;
    NewBlock(aHint);
    return;
  }
  FBlocks.push_back(lKeep);
  FPos = lKeep.Data;
  FEnd = lKeep.Data + lKeep.Size;
}

bool TqmtJSONArena::Contains(const void* aPointer) const {
  const char* p = static_cast<const char*>(aPointer);
  for (const auto& lBlock : FBlocks)
    if (p >= lBlock.Data && p < lBlock.Data + lBlock.Size) return true;
  return false;
}

// ---- the parser ---------------------------------------------------------------------------------

class TqmtJSONParser {
public:
  TqmtJSONParser(TqmtJSONArena* aArena, std::string_view aText)
      : FArena(aArena), FStack(Stack()), FPos(aText.data()), FEnd(aText.data() + aText.size()) {}

  void ParseInto(TqmtJSON& aDocument, bool aArray) {
    if (aArray)
      ParseContainer(aDocument, '[', ']');
    else
      ParseContainer(aDocument, '{', '}');
  }

private:
  // Members read but not yet handed to their document; each container takes its own range at its
  // end, so a document's member array is allocated once at its final size.
  static std::vector<TqmtObjectJSON*>& Stack() {
    thread_local std::vector<TqmtObjectJSON*> tStack;
    return tStack;
  }

  void Skip() {
    while (FPos < FEnd) {
      const char c = *FPos;
      if (IsBlank(c)) {
        ++FPos;
      } else if (c == '#') {
        const void* lFeed = std::memchr(FPos, '\n', static_cast<std::size_t>(FEnd - FPos));
        FPos = lFeed ? static_cast<const char*>(lFeed) + 1 : FEnd;
      } else {
        return;
      }
    }
  }

  // The raw text between the quotes. A quote right after a backslash can only follow an escaped
  // backslash; it closes the string only before "}", "]" or ",".
  bool ScanString(std::string_view& aText) {
    if (FPos >= FEnd || *FPos != '"') return false;
    const char* lStart = ++FPos;
    while (FPos < FEnd) {
      const char c = *FPos;
      if (c == '"') {
        if (FPos[-1] != '\\') {
          aText = std::string_view(lStart, static_cast<std::size_t>(FPos - lStart));
          ++FPos;
          return true;
        }
        if (FPos + 1 < FEnd && (FPos[1] == '}' || FPos[1] == ']' || FPos[1] == ',')) {
          aText = std::string_view(lStart, static_cast<std::size_t>(FPos - lStart));
          ++FPos;
          return true;
        }
        ++FPos;  // the quote is content
        if (FPos >= FEnd) return false;
        if (*FPos == '\\') {
          if (!ScanEscape()) return false;
        } else {
          ++FPos;  // consumed without being tested as a closing quote
        }
      } else if (c == '\\') {
        if (!ScanEscape()) return false;
      } else {
        ++FPos;
      }
    }
    return false;
  }

  bool ScanEscape() {
    if (FPos + 1 >= FEnd) return false;
    if (FPos[1] == 'u') {
      if (FEnd - FPos < 6) return false;
      FPos += 6;
    } else {
      FPos += 2;
    }
    return true;
  }

  bool ScanDigits() {
    const char* lStart = FPos;
    while (FPos < FEnd && *FPos >= '0' && *FPos <= '9') ++FPos;
    return FPos > lStart;
  }

  bool ScanNumber(std::string_view& aText) {
    const char* lStart = FPos;
    if (*FPos == '+' || *FPos == '-') ++FPos;
    if (!ScanDigits()) return false;
    if (FPos < FEnd && *FPos == '.') {
      ++FPos;
      if (!ScanDigits()) return false;
    }
    if (FPos < FEnd && (*FPos == 'e' || *FPos == 'E')) {
      ++FPos;
      if (FPos < FEnd && (*FPos == '+' || *FPos == '-')) ++FPos;
      if (!ScanDigits()) return false;
    }
    aText = std::string_view(lStart, static_cast<std::size_t>(FPos - lStart));
    return true;
  }

  bool ScanLiteral(const char* aWord, std::size_t aLength) {
    if (static_cast<std::size_t>(FEnd - FPos) < aLength) return false;
    for (std::size_t i = 0; i < aLength; ++i)
      if (Lower(FPos[i]) != aWord[i]) return false;
    FPos += aLength;
    return true;
  }

  TqmtObjectJSON* NewMember(std::string_view aName, TqmtJSONtype aType) {
    auto* lMember = new (FArena->Allocate(sizeof(TqmtObjectJSON))) TqmtObjectJSON(FArena);
    lMember->FName = aName.data();
    lMember->FNameLength = static_cast<std::uint32_t>(aName.size());
    lMember->FJSONType = aType;
    return lMember;
  }

  void PushScalar(std::string_view aName, TqmtJSONtype aType, std::string_view aValue) {
    TqmtObjectJSON* lMember = NewMember(aName, aType);
    lMember->FValue = TqmtJSONValue::Text(aValue);
    FStack.push_back(lMember);
  }

  // One value after a name (or as an array element); scalars and containers both end up on the stack.
  bool ReadValue(std::string_view aName) {
    Skip();
    if (FPos >= FEnd) return false;
    std::string_view lText;
    switch (*FPos) {
      case '"':
        if (!ScanString(lText)) return false;
        PushScalar(aName, TqmtJSONtype::qmtJSONString, lText);
        return true;
      case '+': case '-': case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        if (!ScanNumber(lText)) return false;
        PushScalar(aName, TqmtJSONtype::qmtJSONNumber, lText);
        return true;
      case 'f': case 'F':
        if (!ScanLiteral("false", 5)) return false;
        PushScalar(aName, TqmtJSONtype::qmtJSONBoolean, "false");
        return true;
      case 't': case 'T':
        if (!ScanLiteral("true", 4)) return false;
        PushScalar(aName, TqmtJSONtype::qmtJSONBoolean, "true");
        return true;
      case 'n': case 'N':
        if (!ScanLiteral("null", 4)) return false;
        PushScalar(aName, TqmtJSONtype::qmtJSONNull, "null");
        return true;
      case '[':
        return ReadContainer(aName, TqmtJSONtype::qmtJSONList, '[', ']');
      case '{':
        return ReadContainer(aName, TqmtJSONtype::qmtJSONObject, '{', '}');
      default:
        return false;
    }
  }

  // The member is appended after its nested parse whether that parse succeeded or not.
  bool ReadContainer(std::string_view aName, TqmtJSONtype aType, char aOpen, char aClose) {
    if (FDepth >= kMaxDepth) return false;
    TqmtObjectJSON* lMember = NewMember(aName, aType);
    TqmtJSON& lNested = lMember->EnsureNested();
    ++FDepth;
    const bool lOk = ParseContainer(lNested, aOpen, aClose);
    --FDepth;
    FStack.push_back(lMember);
    return lOk;
  }

  bool ParseContainer(TqmtJSON& aDocument, char aOpen, char aClose) {
    const char* lAttempt = FPos;
    const bool lArray = aOpen == '[';
    Skip();
    if (FPos >= FEnd || *FPos != aOpen) {
      FPos = lAttempt;
      return false;
    }
    ++FPos;
    const std::size_t lBase = FStack.size();
    bool lOk = false;
    for (;;) {
      if (FPos >= FEnd) break;
      Skip();
      if (FPos < FEnd && *FPos == aClose) {
        ++FPos;
        lOk = true;
        break;
      }
      std::string_view lName;
      if (!lArray) {
        if (!ScanString(lName)) break;
        Skip();
        if (FPos >= FEnd || *FPos != ':') break;
        ++FPos;
        Skip();
      }
      if (!ReadValue(lName)) break;
      Skip();
      if (FPos < FEnd && *FPos == ',') ++FPos;
    }
    Flush(aDocument, lBase);
    if (!lOk) FPos = lAttempt;
    return lOk;
  }

  void Flush(TqmtJSON& aDocument, std::size_t aBase) {
    auto& lStack = FStack;
    const std::size_t lCount = lStack.size() - aBase;
    if (lCount > 0) {
      auto** lData = static_cast<TqmtObjectJSON**>(FArena->Allocate(lCount * sizeof(TqmtObjectJSON*)));
      std::memcpy(lData, lStack.data() + aBase, lCount * sizeof(TqmtObjectJSON*));
      aDocument.FData = lData;
      aDocument.FCount = aDocument.FCapacity = static_cast<std::uint32_t>(lCount);
    }
    lStack.resize(aBase);
  }

  TqmtJSONArena* FArena;
  std::vector<TqmtObjectJSON*>& FStack;
  const char* FPos;
  const char* FEnd;
  int FDepth = 0;
};

// ---- members ------------------------------------------------------------------------------------

void TqmtObjectJSON::SetName(std::string_view aName) {
  const auto lCopy = FArena->CopyText(aName);
  FName = lCopy.data();
  FNameLength = static_cast<std::uint32_t>(lCopy.size());
}

void TqmtObjectJSON::SetValue(const TqmtJSONValue& aValue) {
  FValue = aValue;
  if (aValue.FKind == TqmtJSONValue::Kind::vkText) {
    const auto lCopy = FArena->CopyText(aValue.AsView());
    FValue.FText = lCopy.data();
    FValue.FLength = lCopy.size();
  }
}

TqmtJSONValue TqmtObjectJSON::Value() {
  if (FJSONType == TqmtJSONtype::qmtJSONObject || FJSONType == TqmtJSONtype::qmtJSONList) {
    if (FJSONType == TqmtJSONtype::qmtJSONList) EnsureNested().SetIsArray(true);
    const std::string lText = FJSONObject ? FJSONObject->Text() : std::string();
    return TqmtJSONValue::Text(FArena->CopyText(lText));
  }
  return FValue;
}

TqmtJSON& TqmtObjectJSON::EnsureNested() {
  if (!FJSONObject) {
    FJSONObject = new (FArena->Allocate(sizeof(TqmtJSON))) TqmtJSON(TqmtJSON::NestedTag{}, FArena);
    if (FJSONType != TqmtJSONtype::qmtJSONList) FJSONType = TqmtJSONtype::qmtJSONObject;
  }
  return *FJSONObject;
}

IqmtJSON TqmtObjectJSON::JSONObject() { return IqmtJSON(&EnsureNested()); }

void TqmtObjectJSON::SetJSONObject(const IqmtJSON& aDocument) {
  // A document of another tree is kept alive by this member's tree.
  if (aDocument && (aDocument->IsRoot() || aDocument->Arena() != FArena)) FArena->KeepAlive(aDocument);
  FJSONObject = aDocument.Get();
}

int TqmtObjectJSON::Count() const { return FJSONObject ? FJSONObject->Count() : 0; }

IqmtObjectJSON TqmtObjectJSON::Node(std::string_view aName) { return EnsureNested().Node(aName); }
IqmtObjectJSON TqmtObjectJSON::Item(int aIndex) { return EnsureNested().Item(aIndex); }
void TqmtObjectJSON::SetNode(std::string_view aName, const IqmtObjectJSON& aMember) {
  EnsureNested().SetNode(aName, aMember);
}
void TqmtObjectJSON::SetItem(int aIndex, const IqmtObjectJSON& aMember) { EnsureNested().SetItem(aIndex, aMember); }

TqmtObjectJSON* TqmtObjectJSON::Find(std::string_view aName) const {
  return FJSONObject ? FJSONObject->Find(aName) : nullptr;
}

TqmtObjectJSON* TqmtObjectJSON::At(int aIndex) const { return FJSONObject ? FJSONObject->At(aIndex) : nullptr; }

// ---- documents ----------------------------------------------------------------------------------

TqmtJSON::TqmtJSON() : FArena(new TqmtJSONArena()), FRoot(true) { FArena->_AddRef(); }

TqmtJSON::TqmtJSON(NestedTag, TqmtJSONArena* aArena) : FArena(aArena), FRoot(false) {}

TqmtJSON::~TqmtJSON() {
  if (FRoot) FArena->_Release();
}

IqmtJSON TqmtJSON::Create() {
  auto* lDocument = new TqmtJSON();
  lDocument->FDestroyObject = true;
  return IqmtJSON(lDocument);
}

void TqmtJSON::PrepareForRead() {
  FData = nullptr;
  FCount = FCapacity = 0;
}

void TqmtJSON::Clear() {
  if (FRoot && FArena->RefCount() == 1) {
    FArena->Reset(0);
  } else if (FRoot) {
    // Someone still holds a member of the old content: leave it to them and start a new tree.
    FArena->_Release();
    FArena = new TqmtJSONArena();
    FArena->_AddRef();
  }
  PrepareForRead();
}

void TqmtJSON::Read(std::string_view aText) {
  TqmtJSONArena* lOld = nullptr;
  if (FRoot) {
    // The old content may be referenced, or the text may even lie inside it: then it moves out of
    // the way instead of being overwritten.
    const std::size_t lHint = aText.size() * 5 + 256;
    if (FArena->RefCount() == 1 && !FArena->Contains(aText.data())) {
      FArena->Reset(lHint);
    } else {
      lOld = FArena;  // released once the text is copied out of it
      FArena = new TqmtJSONArena();
      FArena->_AddRef();
      FArena->Reset(lHint);
    }
  }
  PrepareForRead();
  FIsArray = false;
  const std::string_view lText = FArena->CopyText(aText);
  if (lOld) lOld->_Release();
  TqmtJSONParser lParser(FArena, lText);
  if (!lText.empty() && lText.front() == '[') {
    FIsArray = true;
    lParser.ParseInto(*this, true);
  } else {
    lParser.ParseInto(*this, false);
  }
}

TqmtObjectJSON* TqmtJSON::Find(std::string_view aName) const {
  // Exchange messages have short names, mostly one or two characters: test length and first
  // character before calling memcmp.
  const std::size_t lLength = aName.size();
  for (std::uint32_t i = 0; i < FCount; ++i) {
    const TqmtObjectJSON* lMember = FData[i];
    if (lMember->FNameLength != lLength) continue;
    if (lLength == 0 || (lMember->FName[0] == aName[0] && std::memcmp(lMember->FName, aName.data(), lLength) == 0))
      return FData[i];
  }
  return nullptr;
}

TqmtObjectJSON* TqmtJSON::At(int aIndex) const {
  if (aIndex < 0) throw EListError("List index out of bounds (" + std::to_string(aIndex) + ")");
  return static_cast<std::uint32_t>(aIndex) < FCount ? FData[aIndex] : nullptr;
}

void TqmtJSON::SetNode(std::string_view aName, const IqmtObjectJSON& aMember) {
  for (std::uint32_t i = 0; i < FCount; ++i) {
    if (FData[i]->Name() == aName) {
      if (aMember && aMember->Arena() != FArena) FArena->KeepAlive(aMember);
      FData[i] = aMember.Get();
      return;
    }
  }
}

void TqmtJSON::SetItem(int aIndex, const IqmtObjectJSON& aMember) {
  if (aIndex < 0) throw EListError("List index out of bounds (" + std::to_string(aIndex) + ")");
  if (static_cast<std::uint32_t>(aIndex) >= FCount) return;
  if (aMember && aMember->Arena() != FArena) FArena->KeepAlive(aMember);
  FData[aIndex] = aMember.Get();
}

void TqmtJSON::Append(TqmtObjectJSON* aMember) {
  if (FCount == FCapacity) {
    const std::uint32_t lCapacity = FCapacity ? FCapacity * 2 : 8;
    auto** lData = static_cast<TqmtObjectJSON**>(FArena->Allocate(lCapacity * sizeof(TqmtObjectJSON*)));
    if (FCount) std::memcpy(lData, FData, FCount * sizeof(TqmtObjectJSON*));
    FData = lData;
    FCapacity = lCapacity;
  }
  FData[FCount++] = aMember;
}

std::string_view TqmtJSON::Escaped(std::string_view aText) {
  if (!FEscapeStrings) return aText;
  return FArena->CopyText(EscapeJSONText(aText));
}

IqmtObjectJSON TqmtJSON::AddMember(std::string_view aName, TqmtJSONtype aType, const TqmtJSONValue& aValue) {
  const bool lContainer = aType == TqmtJSONtype::qmtJSONObject || aType == TqmtJSONtype::qmtJSONList;
  // The value as a new member stores it: escaped text, lower-case boolean text, empty null.
  TqmtJSONValue lStored = aValue;
  if (aType == TqmtJSONtype::qmtJSONString) lStored = TqmtJSONValue::Text(Escaped(aValue.AsView()));
  if (aType == TqmtJSONtype::qmtJSONBoolean) lStored = TqmtJSONValue::Text(aValue.AsBoolean() ? "true" : "false");
  if (aType == TqmtJSONtype::qmtJSONNull) lStored = TqmtJSONValue::Text("");

  if (TqmtObjectJSON* lExisting = Find(aName)) {
    // Kind, quoting and nested document stay; the value gets the same treatment as a new one, so a
    // replaced boolean is still written as JSON, and replaced container text is parsed again.
    if (lContainer && lExisting->FJSONObject)
      lExisting->FJSONObject->Read(aValue.AsView());
    else
      lExisting->SetValue(lStored);
    return IqmtObjectJSON(lExisting);
  }

  auto* lMember = new (FArena->Allocate(sizeof(TqmtObjectJSON))) TqmtObjectJSON(FArena);
  lMember->SetName(Escaped(aName));
  lMember->FJSONType = aType;
  if (lContainer) {
    lMember->EnsureNested().Read(aValue.AsView());
  } else {
    lMember->SetValue(lStored);
  }
  if (aType == TqmtJSONtype::qmtJSONString) {
    const auto lText = lMember->FValue.AsView();
    if (!lText.empty() && (lText.front() == '{' || lText.front() == '[')) lMember->FQuoted = false;
  }
  Append(lMember);
  return IqmtObjectJSON(lMember);
}

IqmtObjectJSON TqmtJSON::AddPair(std::string_view aName, std::string_view aText) {
  return AddMember(aName, TqmtJSONtype::qmtJSONString, TqmtJSONValue::Text(aText));
}
IqmtObjectJSON TqmtJSON::AddPair(std::string_view aName, std::int32_t aValue) {
  return AddMember(aName, TqmtJSONtype::qmtJSONNumber, TqmtJSONValue::Int32(aValue));
}
IqmtObjectJSON TqmtJSON::AddPair(std::string_view aName, std::int64_t aValue) {
  return AddMember(aName, TqmtJSONtype::qmtJSONNumber, TqmtJSONValue::Int64(aValue));
}
IqmtObjectJSON TqmtJSON::AddPair(std::string_view aName, double aValue) {
  return AddMember(aName, TqmtJSONtype::qmtJSONNumber, TqmtJSONValue::Double(aValue));
}
IqmtObjectJSON TqmtJSON::AddPair(std::string_view aName, bool aValue) {
  return AddMember(aName, TqmtJSONtype::qmtJSONBoolean, TqmtJSONValue::Boolean(aValue));
}
IqmtObjectJSON TqmtJSON::AddPair(std::string_view aName) {
  return AddMember(aName, TqmtJSONtype::qmtJSONNull, TqmtJSONValue());
}
IqmtObjectJSON TqmtJSON::AddObject(std::string_view aName, std::string_view aText) {
  return AddMember(aName, TqmtJSONtype::qmtJSONObject, TqmtJSONValue::Text(aText));
}
IqmtObjectJSON TqmtJSON::AddArray(std::string_view aName, std::string_view aText) {
  return AddMember(aName, TqmtJSONtype::qmtJSONList, TqmtJSONValue::Text(aText));
}

// ---- writing ------------------------------------------------------------------------------------

std::string TqmtJSON::Text() const {
  std::string lText;
  AppendText(lText);
  return lText;
}

void TqmtJSON::AppendText(std::string& aOut) const {
  if (FCount == 0) {
    aOut += FIsArray ? "[]" : "{}";
    return;
  }
  aOut += FIsArray ? '[' : '{';
  WriteMembers(aOut, FIsArray);
  aOut += FIsArray ? ']' : '}';
}

void TqmtJSON::WriteMembers(std::string& aOut, bool aInArray) const {
  for (std::uint32_t i = 0; i < FCount; ++i) {
    WriteMember(aOut, *FData[i], aInArray);
    // A member that wrote nothing leaves no doubled comma behind.
    if (i + 1 < FCount && (aOut.empty() || aOut.back() != ',')) aOut += ',';
  }
}

void TqmtJSON::WriteMember(std::string& aOut, const TqmtObjectJSON& aMember, bool aInArray) const {
  auto lPrefix = [&] {
    aOut += '"';
    aOut += aMember.Name();
    aOut += "\":";
  };
  switch (aMember.FJSONType) {
    case TqmtJSONtype::qmtJSONUndefined:
      break;
    case TqmtJSONtype::qmtJSONObject: {
      const std::size_t lStart = aOut.size();
      if (!aInArray) lPrefix();
      const std::size_t lBody = aOut.size();
      if (aMember.FJSONObject) aMember.FJSONObject->AppendText(aOut);
      if (aOut.size() == lBody) {  // the nested text is empty
        aOut.resize(lStart);
        if (!aInArray) {
          lPrefix();
          aOut += "\"\"";
        }
      }
      break;
    }
    case TqmtJSONtype::qmtJSONList:
      // A named list gets its prefix even inside an array; in an object an empty name ("") gets it too,
      // or the written text would not be JSON.
      if (!aMember.Name().empty() || !aInArray) lPrefix();
      aOut += '[';
      if (aMember.FJSONObject) aMember.FJSONObject->WriteMembers(aOut, true);
      aOut += ']';
      break;
    case TqmtJSONtype::qmtJSONString: {
      if (!aInArray) lPrefix();
      const std::size_t lStart = aOut.size();
      aMember.FValue.AppendTo(aOut);
      if (aMember.FQuoted && (aOut.size() == lStart || aOut[lStart] != '"')) {
        aOut.insert(aOut.begin() + static_cast<std::ptrdiff_t>(lStart), '"');
        aOut += '"';
      }
      break;
    }
    case TqmtJSONtype::qmtJSONNumber: {
      if (!aInArray) lPrefix();
      const std::size_t lStart = aOut.size();
      aMember.FValue.AppendTo(aOut);
      std::replace(aOut.begin() + static_cast<std::ptrdiff_t>(lStart), aOut.end(), ',', '.');
      break;
    }
    case TqmtJSONtype::qmtJSONBoolean:
      if (!aInArray) lPrefix();
      aMember.FValue.AppendTo(aOut);
      break;
    case TqmtJSONtype::qmtJSONNull:
      if (aInArray) {
        // A built null holds empty text; it is still written as a JSON null.
        const std::size_t lStart = aOut.size();
        aMember.FValue.AppendTo(aOut);
        if (aOut.size() == lStart) aOut += "null";
      } else {
        lPrefix();
        aOut += "null";
      }
      break;
  }
}

// ---- escaping -----------------------------------------------------------------------------------

namespace {

void AppendUnit(std::string& aOut, unsigned aUnit) {
  static const char kHex[] = "0123456789ABCDEF";
  aOut += "\\u";
  aOut += kHex[(aUnit >> 12) & 0xF];
  aOut += kHex[(aUnit >> 8) & 0xF];
  aOut += kHex[(aUnit >> 4) & 0xF];
  aOut += kHex[aUnit & 0xF];
}

// Decodes one UTF-8 sequence at aText[i]; an invalid byte stands for itself (as Latin-1).
unsigned DecodeUTF8(std::string_view aText, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(aText[i]);
  auto lCont = [&](std::size_t k) {
    return i + k < aText.size() && (static_cast<unsigned char>(aText[i + k]) & 0xC0) == 0x80;
  };
  auto lByte = [&](std::size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(aText[i + k]) & 0x3F); };
  unsigned lCode = b0;
  std::size_t lLength = 1;
  if (b0 >= 0xC2 && b0 <= 0xDF && lCont(1)) {
    lCode = ((b0 & 0x1Fu) << 6) | lByte(1);
    lLength = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF && lCont(1) && lCont(2)) {
    lCode = ((b0 & 0x0Fu) << 12) | (lByte(1) << 6) | lByte(2);
    lLength = lCode >= 0x800 ? 3 : 1;
    if (lLength == 1) lCode = b0;
  } else if (b0 >= 0xF0 && b0 <= 0xF4 && lCont(1) && lCont(2) && lCont(3)) {
    lCode = ((b0 & 0x07u) << 18) | (lByte(1) << 12) | (lByte(2) << 6) | lByte(3);
    lLength = (lCode >= 0x10000 && lCode <= 0x10FFFF) ? 4 : 1;
    if (lLength == 1) lCode = b0;
  }
  i += lLength;
  return lCode;
}

}  // namespace

std::string EscapeJSONText(std::string_view aText) {
  std::string lOut;
  lOut.reserve(aText.size() + 8);
  for (std::size_t i = 0; i < aText.size();) {
    const auto c = static_cast<unsigned char>(aText[i]);
    if (c < 128) {
      ++i;
      switch (c) {
        case 8: lOut += "\\b"; break;
        case 9: lOut += "\\t"; break;
        case 10: lOut += "\\n"; break;
        case 12: lOut += "\\f"; break;
        case 13: lOut += "\\r"; break;
        case '"': lOut += "\\\""; break;
        case '/': lOut += "\\/"; break;
        case '\\': lOut += "\\\\"; break;
        default:
          if (c < 32)
            AppendUnit(lOut, c);
          else
            lOut += static_cast<char>(c);
      }
      continue;
    }
    const unsigned lCode = DecodeUTF8(aText, i);
    if (lCode >= 0x10000) {
      AppendUnit(lOut, 0xD800 + ((lCode - 0x10000) >> 10));
      AppendUnit(lOut, 0xDC00 + ((lCode - 0x10000) & 0x3FF));
    } else {
      AppendUnit(lOut, lCode);
    }
  }
  return lOut;
}

// ---- the process-wide factory -------------------------------------------------------------------

TqmtJSONClass JSONDocumentClass = &TqmtJSON::Create;

namespace {

// Holds one document for NewJSONDocument calls without an owner.
struct TqmtOwnerComponent {
  IqmtJSON FInstance;
};

struct OwnerList {
  std::mutex Lock;
  std::vector<TqmtOwnerComponent> Owners;
};

OwnerList& Owners() {
  static OwnerList sList;  // freed at shutdown
  return sList;
}

}  // namespace

IqmtJSON NewJSONDocument(TObject* aOwner) {
  if (!JSONDocumentClass) return nullptr;
  IqmtJSON lDocument = JSONDocumentClass();
  if (!aOwner) {
    auto& lList = Owners();
    std::lock_guard lLock(lList.Lock);
    lList.Owners.push_back({lDocument});
  }
  return lDocument;
}

void DisposeJSONDocument(const IqmtJSON& aDocument) {
  auto& lList = Owners();
  std::lock_guard lLock(lList.Lock);
  auto lIt = std::find_if(lList.Owners.begin(), lList.Owners.end(),
                          [&](const TqmtOwnerComponent& o) { return o.FInstance == aDocument; });
  // Freeing the owner drops its reference; the document goes with the last reference.
  if (lIt != lList.Owners.end()) lList.Owners.erase(lIt);
}
