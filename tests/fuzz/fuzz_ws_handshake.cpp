// Any handshake answer: split into lines as the reader does, parsed and checked. Only the
// documented exceptions may come out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qmtWebSocket_Classes_Indy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string lText(reinterpret_cast<const char*>(aData), aSize);
  std::vector<std::string> lLines;
  std::size_t lStart = 0;
  while (lStart <= lText.size()) {
    auto lEnd = lText.find('\n', lStart);
    std::string lLine = lText.substr(lStart, lEnd == std::string::npos ? std::string::npos : lEnd - lStart);
    if (!lLine.empty() && lLine.back() == '\r') lLine.pop_back();
    if (lLine.empty()) break;
    lLines.push_back(lLine);
    if (lEnd == std::string::npos) break;
    lStart = lEnd + 1;
  }
  TqmtWSConnectionClient lConnection;
  lConnection.FKey = "dGhlIHNhbXBsZSBub25jZQ==";
  lConnection.FProtocolList = aSize % 2 ? "chat,superchat" : "";
  lConnection.FOnRedirect = [](TqmtWSConnection*, const std::string&) {};
  try {
    lConnection.DoHandshakeResponse(TqmtWSConnectionClient::ParseResponse(lLines));
  } catch (const Exception&) {
  }
  return 0;
}
