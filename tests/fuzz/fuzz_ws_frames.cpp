// Bytes after a completed handshake, fed to the frame reader in pieces of varying size. Nothing may
// crash, hang or leak; protocol errors are expected and caught.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../ws_memory_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  if (aSize < 1) return 0;
  TqmtWSConnectionMemory lConnection;
  // The first byte picks the options and the piece size.
  lConnection.FValidateUTF8 = aData[0] & 1;
  lConnection.FCleanDisconnect = aData[0] & 2;
  lConnection.FFragmentedMessages = static_cast<TwsFragmentedMessages>((aData[0] >> 2) % 3);
  lConnection.FMaxPayloadLength = 1 << 20;
  const std::size_t lPiece = 1 + (aData[0] >> 4) * 7;
  std::size_t lMessages = 0;
  lConnection.FOnMessage = [&](TqmtWSConnection*, std::string_view t) { lMessages += t.size(); };
  lConnection.FOnBinary = [&](TqmtWSConnection*, std::string_view d) { lMessages += d.size(); };
  const std::string_view lBytes(reinterpret_cast<const char*>(aData + 1), aSize - 1);
  try {
    for (std::size_t i = 0; i < lBytes.size() && !lConnection.Disconnected(); i += lPiece)
      lConnection.Feed(lBytes.substr(i, lPiece));
  } catch (const TqmtWSException&) {
  }
  return 0;
}
