// Bytes after a handshake that negotiated compression, fed to the frame reader in pieces; every
// message that arrives is written back, so the compressor runs on what the inflater produced.
// Nothing may crash, hang, leak or allocate past the message limit; protocol and zlib errors are
// expected and caught.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../ws_memory_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  if (aSize < 1) return 0;
  TqmtWSConnectionMemory lConnection;
  // The first byte picks the extension, its parameters, the fragment mode and the piece size.
  const std::uint8_t lOptions = aData[0];
  auto& lExtensions = lConnection.Extensions();
  lExtensions.SetMode(TwsApplicationMode::appClient);
  const bool lFrame = lOptions & 1;
  lExtensions.PerMessage_Deflate().SetEnabled(!lFrame);
  lExtensions.DeflateFrame().SetEnabled(lFrame);
  lExtensions.DecodeExtensions((lOptions & 2) ? "permessage-deflate; server_no_context_takeover; client_no_context_takeover"
                                              : "permessage-deflate, x-webkit-deflate-frame");
  lConnection.FFragmentedMessages = static_cast<TwsFragmentedMessages>((lOptions >> 2) % 3);
  lConnection.FMaxPayloadLength = 1 << 20;
  const std::size_t lPiece = 1 + (lOptions >> 4) * 7;
  lConnection.FOnMessage = [&](TqmtWSConnection* c, std::string_view t) { c->WriteData(std::string(t)); };
  lConnection.FOnBinary = [&](TqmtWSConnection* c, std::string_view d) { c->WriteBinary(std::string(d), 100); };
  const std::string_view lBytes(reinterpret_cast<const char*>(aData + 1), aSize - 1);
  try {
    for (std::size_t i = 0; i < lBytes.size() && !lConnection.Disconnected(); i += lPiece) {
      lConnection.Feed(lBytes.substr(i, lPiece));
      lConnection.Output.clear();
    }
  } catch (const TqmtWSException&) {
  }
  return 0;
}
