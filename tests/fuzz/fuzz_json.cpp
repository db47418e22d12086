// Any input: Read, then write, walk and read the written text again. Nothing may crash, hang or leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "qmtJSON.h"

namespace {

void Walk(TqmtJSON& aDocument, int aDepth) {
  for (int i = 0; i < aDocument.Count() && aDepth < 64; ++i) {
    TqmtObjectJSON* lMember = aDocument.At(i);
    (void)aDocument.Find(lMember->Name());
    if (lMember->Nested()) Walk(*lMember->Nested(), aDepth + 1);
    (void)lMember->Value().AsString();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string_view lText(reinterpret_cast<const char*>(aData), aSize);
  TqmtJSON lDocument;
  lDocument.Read(lText);
  const std::string lWritten = lDocument.Text();
  Walk(lDocument, 0);
  // What the writer gives back must read to the same text again.
  TqmtJSON lAgain;
  lAgain.Read(lWritten);
  if (lDocument.Count() > 0 && lAgain.Text() != lWritten) __builtin_trap();
  (void)EscapeJSONText(lText);
  return 0;
}
