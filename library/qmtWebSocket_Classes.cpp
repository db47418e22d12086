#include "qmtWebSocket_Classes.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "qmtBase_Helpers.h"
#include "qmtTCP_Client.h"

std::uint8_t OpcodeWireValue(TOpcode aOpcode) {
  switch (aOpcode) {
    case TOpcode::opContinuation: return 0x0;
    case TOpcode::opText: return 0x1;
    case TOpcode::opBinary: return 0x2;
    case TOpcode::opClose: return 0x8;
    case TOpcode::opPing: return 0x9;
    case TOpcode::opPong: return 0xA;
    case TOpcode::opNone: break;
  }
  return 0x0;
}

namespace {

bool IsControl(TOpcode aOpcode) {
  return aOpcode == TOpcode::opClose || aOpcode == TOpcode::opPing || aOpcode == TOpcode::opPong;
}

// A small generator reseeded from the clock for every key, as the keys must not be predictable
// from one another; 255 is never drawn.
std::uint64_t NextRandom() {
  thread_local std::uint64_t tState = std::random_device{}() ^ (static_cast<std::uint64_t>(std::random_device{}()) << 32);
  tState ^= static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  // splitmix64
  std::uint64_t z = (tState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

std::string EncodePayloadLength(std::uint64_t aLength) {
  std::string lBytes;
  if (aLength < 126) {
    lBytes += static_cast<char>(aLength);
  } else if (aLength <= 0xFFFF) {
    lBytes += static_cast<char>(126);
    lBytes += static_cast<char>(aLength >> 8);
    lBytes += static_cast<char>(aLength & 0xFF);
  } else {
    lBytes += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) lBytes += static_cast<char>((aLength >> (8 * i)) & 0xFF);
  }
  return lBytes;
}

void NewMaskKey(std::uint8_t aKey[4]) {
  const std::uint64_t r = NextRandom();
  for (int i = 0; i < 4; ++i) {
    // 16 random bits scaled to 0..254.
    const std::uint32_t lBits = static_cast<std::uint32_t>((r >> (16 * i)) & 0xFFFF);
    aKey[i] = static_cast<std::uint8_t>((lBits * 255u) >> 16);
  }
}

void MaskPayload(char* aData, std::size_t aLength, const std::uint8_t aKey[4], std::size_t aOffset) {
  std::uint8_t lKey[4];
  for (int i = 0; i < 4; ++i) lKey[i] = aKey[(aOffset + i) % 4];
  std::uint64_t lWord;
  std::uint8_t lPattern[8] = {lKey[0], lKey[1], lKey[2], lKey[3], lKey[0], lKey[1], lKey[2], lKey[3]};
  std::memcpy(&lWord, lPattern, 8);
  std::size_t i = 0;
  for (; i + 8 <= aLength; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, aData + i, 8);
    v ^= lWord;
    std::memcpy(aData + i, &v, 8);
  }
  for (; i < aLength; ++i) aData[i] = static_cast<char>(aData[i] ^ lKey[i % 4]);
}

void MaskCopy(char* aTarget, const char* aSource, std::size_t aLength, const std::uint8_t aKey[4]) {
  std::uint64_t lWord;
  const std::uint8_t lPattern[8] = {aKey[0], aKey[1], aKey[2], aKey[3], aKey[0], aKey[1], aKey[2], aKey[3]};
  std::memcpy(&lWord, lPattern, 8);
  std::size_t i = 0;
  for (; i + 8 <= aLength; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, aSource + i, 8);
    v ^= lWord;
    std::memcpy(aTarget + i, &v, 8);
  }
  for (; i < aLength; ++i) aTarget[i] = static_cast<char>(aSource[i] ^ aKey[i % 4]);
}

bool IsValidUTF8(std::string_view aData) {
  const auto* p = reinterpret_cast<const unsigned char*>(aData.data());
  const std::size_t n = aData.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t lLength;
    unsigned char lLow = 0x80, lHigh = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      lLength = 2;
    } else if (c == 0xE0) {
      lLength = 3, lLow = 0xA0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
      lLength = 3;
    } else if (c == 0xED) {
      lLength = 3, lHigh = 0x9F;
    } else if (c == 0xF0) {
      lLength = 4, lLow = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
      lLength = 4;
    } else if (c == 0xF4) {
      if (i + 1 == n) return true;  // a lone 0xF4 as the very last byte
      lLength = 4, lHigh = 0x8F;
    } else {
      return false;
    }
    if (i + lLength > n) return false;
    if (p[i + 1] < lLow || p[i + 1] > lHigh) return false;
    for (std::size_t k = 2; k < lLength; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    i += lLength;
  }
  return true;
}

void TqmtWSMsg::Clear() {
  FContinuation = FFragmented = FReadMasked = false;
  FMaskIndex = FPLState = FState = 0;
  FOpCode = TOpcode::opNone;
  FPayLoad = TPayload::pa7bits;
  FPayLoadLength = 0;
  FReadBuffer.clear();
  FStream.clear();
  std::memset(Mask, 0, sizeof Mask);
}

// ---- connection ---------------------------------------------------------------------------------

TqmtWSConnection::TqmtWSConnection() : FExtensions(std::make_unique<TqmtWSExtensions>()) {
  FTransport = TwsTransport::trpRFC6455;
}

TqmtWSConnection::~TqmtWSConnection() = default;

std::string TqmtWSConnection::CloseReason() const {
  std::lock_guard g(FStateLock);
  return FCloseReason;
}

std::string TqmtWSConnection::LastMessage() {
  std::lock_guard g(FStateLock);
  return FMsgReceived;
}

void TqmtWSConnection::QueueWrite(TwsQueueMsgLevels aLevel, TqmtQueueObject aObject) {
  std::lock_guard g(FQueueLock);
  FQueues[static_cast<int>(aLevel) - 1].push_back(std::move(aObject));
}

void TqmtWSConnection::FreeQueues() {
  std::lock_guard g(FQueueLock);
  for (auto& q : FQueues) q.clear();
}

void TqmtWSConnection::FlushQueues() {
  for (auto& lQueue : FQueues) {
    std::vector<TqmtQueueObject> lItems;
    {
      std::lock_guard g(FQueueLock);
      if (lQueue.empty() || !FEnabled) continue;
      lItems.swap(lQueue);
    }
    for (const auto& o : lItems) {
      if (o.FOpCode == TOpcode::opText)
        DoWriteText(o.FText, o.FSize, o.FStreaming);
      else if (o.FOpCode == TOpcode::opBinary)
        DoWriteStream(o.FText, o.FSize, o.FStreaming);
      else
        DoWritePing(o.FText);
    }
  }
}

void TqmtWSConnection::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  if (FQueueOptions.Text.Level != TwsQueueMsgLevels::qmNone) {
    QueueWrite(FQueueOptions.Text.Level, {aSize, aStreaming, aText, TOpcode::opText});
    return;
  }
  DoWriteText(aText, aSize, aStreaming);
}

void TqmtWSConnection::WriteBinary(const std::string& aData, int aSize, TwsStreaming aStreaming) {
  if (FQueueOptions.Binary.Level != TwsQueueMsgLevels::qmNone) {
    QueueWrite(FQueueOptions.Binary.Level, {aSize, aStreaming, aData, TOpcode::opBinary});
    return;
  }
  DoWriteStream(aData, aSize, aStreaming);
}

std::string TqmtWSConnection::WriteAndWaitData(const std::string& aText, int aTimeOut) {
  {
    std::lock_guard g(FStateLock);
    FMsgReceived.clear();
  }
  WriteData(aText, 0, TwsStreaming::stmNone);
  if (aTimeOut <= 0) return std::string();
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeOut);
  while (std::chrono::steady_clock::now() < lEnd) {
    {
      std::lock_guard g(FStateLock);
      if (!FMsgReceived.empty()) return FMsgReceived;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::string();
}

void TqmtWSConnection::Ping(const std::string& aText) {
  if (FQueueOptions.Ping.Level != TwsQueueMsgLevels::qmNone) {
    QueueWrite(FQueueOptions.Ping.Level, {0, TwsStreaming::stmNone, aText, TOpcode::opPing});
    return;
  }
  DoWritePing(aText);
}

bool TqmtWSConnection::Ping(const std::string& aText, int aTimeOut) {
  Ping(aText);
  if (aTimeOut <= 0) return false;
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeOut);
  while (std::chrono::steady_clock::now() < lEnd) {
    {
      std::lock_guard g(FStateLock);
      if (FPong == aText) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void TqmtWSConnection::Close(int aCloseCode) {
  SetDisconnected(true);
  DoWriteClose(aCloseCode);
}

void TqmtWSConnection::Disconnect(int aCloseCode) {
  SetDisconnected(true);
  DoDisconnect(std::string(), aCloseCode);
}

void TqmtWSConnection::SetDisconnected(bool aValue) {
  if (!FDisconnected.load()) FreeQueues();
  FDisconnected = aValue;
}

void TqmtWSConnection::WaitForBudget() {
  // Called under the write lock, so the frames leave in the order of their turns. The span is taken
  // a little longer than a second: the server's clock and ours do not cut seconds alike.
  constexpr std::uint64_t kSpanMs = 1050;
  if (FFramesPerSecond <= 0) return;
  while (FSent.size() >= static_cast<std::size_t>(FFramesPerSecond)) {
    const std::uint64_t lNow = GetTicks(), lFree = FSent.front() + kSpanMs;
    if (lNow >= lFree) break;
    // A closing connection sends its close frame without waiting.
    if (FDisconnected.load()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::uint64_t>(lFree - lNow, 20)));
  }
}

std::uint64_t TqmtWSConnection::OldestUnansweredPingTicks() {
  std::lock_guard g(FPingLock);
  return FQueuePingList.empty() ? 0 : FQueuePingList.front().FTicks;
}

void TqmtWSConnection::DoWriteClose(int aCloseCode) {
  SetDisconnected(true);
  DoClearInput();
  const char lPayload[2] = {static_cast<char>((aCloseCode >> 8) & 0xFF), static_cast<char>(aCloseCode & 0xFF)};
  DoWriteFrame(std::string_view(lPayload, 2), TOpcode::opClose, false);
}

void TqmtWSConnection::DoWritePing(const std::string& aText) {
  const TDateTime lNow = NowLocal();
  const std::uint64_t lTicks = GetTicks();
  if (FFirstPing.load() == 0) FFirstPing = lNow;
  FLastPing = lNow;
  {
    std::lock_guard g(FPingLock);
    FQueuePingList.push_back({lNow, aText, lTicks});
  }
  DoWriteFrame(aText, TOpcode::opPing, false);
}

void TqmtWSConnection::DoWriteText(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  if (!FEnabled) return;
  // Sizes count UTF-16 code units of the text; for the split itself the UTF-8 bytes are cut.
  std::size_t lUnits = 0;
  for (unsigned char c : aText) lUnits += (c & 0xC0) != 0x80 ? ((c >= 0xF0) ? 2 : 1) : 0;
  DoWriteStreamed(aText, TOpcode::opText, aSize > 0 && static_cast<std::size_t>(aSize) < lUnits, aSize, aStreaming);
}

void TqmtWSConnection::DoWriteStream(const std::string& aData, int aSize, TwsStreaming aStreaming) {
  if (!FEnabled) return;
  DoWriteStreamed(aData, TOpcode::opBinary, aSize > 0 && static_cast<std::size_t>(aSize) < aData.size(), aSize,
                  aStreaming);
}

void TqmtWSConnection::DoWriteStreamed(std::string_view aData, TOpcode aOpCode, bool aCut, int aSize,
                                       TwsStreaming aStreaming) {
  if (FExtensions->GetCompression()) return DoWriteCompressed(aData, aOpCode, aSize, aStreaming);
  switch (aStreaming) {
    case TwsStreaming::stmNone:
      if (aCut)
        DoWriteFragmented(aData, aOpCode, false, aSize);
      else
        DoWriteFrame(aData, aOpCode, false);
      break;
    case TwsStreaming::stmFirst: DoWriteFrame(aData, aOpCode, true); break;
    case TwsStreaming::stmContinue: DoWriteFrame(aData, TOpcode::opContinuation, true); break;
    case TwsStreaming::stmLast: DoWriteFrame(aData, TOpcode::opContinuation, false); break;
    case TwsStreaming::stmContinueAndLast:
      if (aCut)
        DoWriteFragmented(aData, aOpCode, true, aSize);
      else
        DoWriteFrame(aData, TOpcode::opContinuation, false);
      break;
  }
}

void TqmtWSConnection::DoWriteFragmented(std::string_view aData, TOpcode aOpCode, bool aContinued, int aSize) {
  const std::size_t lPiece = static_cast<std::size_t>(aSize);
  for (std::size_t lOffset = 0; lOffset < aData.size(); lOffset += lPiece) {
    const std::string_view lChunk = aData.substr(lOffset, lPiece);
    const bool lFirst = lOffset == 0;
    const bool lMore = lOffset + lChunk.size() < aData.size();
    DoWriteFrame(lChunk, lFirst && !aContinued ? aOpCode : TOpcode::opContinuation, lMore);
  }
}

void TqmtWSConnection::DoWriteCompressed(std::string_view aData, TOpcode aOpCode, int aSize,
                                         TwsStreaming aStreaming) {
  const bool lOpens = aStreaming == TwsStreaming::stmNone || aStreaming == TwsStreaming::stmFirst;
  const bool lEnds = aStreaming == TwsStreaming::stmNone || aStreaming == TwsStreaming::stmLast ||
                     aStreaming == TwsStreaming::stmContinueAndLast;
  const bool lMayCut = aSize > 0 && (aStreaming == TwsStreaming::stmNone || aStreaming == TwsStreaming::stmContinueAndLast);
  const std::size_t lPiece = aSize > 0 ? static_cast<std::size_t>(aSize) : 0;
  const TOpcode lOpCode = lOpens ? aOpCode : TOpcode::opContinuation;
  std::string lFailure;
  {
    // The peer's inflater follows the wire: pieces are compressed in the order their frames leave,
    // so the lock is held from compressing to the last frame written.
    std::lock_guard g(FLocks.Main());
    try {
      if (FExtensions->PerFrame()) {
        // deflate-frame: every frame is a compressed piece of its own.
        const bool lCut = lMayCut && aData.size() > lPiece;
        std::size_t lOffset = 0;
        do {
          const bool lFirst = lOffset == 0;
          const std::string_view lChunk = lCut ? aData.substr(lOffset, lPiece) : aData;
          lOffset += lChunk.size();
          const bool lMore = lCut && lOffset < aData.size();
          if (!lChunk.empty()) FExtensions->WriteStream(lChunk, true, FCompressScratch);
          DoWriteFrame(lChunk.empty() ? lChunk : std::string_view(FCompressScratch),
                       lFirst ? lOpCode : TOpcode::opContinuation, lMore || !lEnds, !lChunk.empty(), &lChunk);
        } while (lOffset < aData.size());
      } else if (aStreaming == TwsStreaming::stmNone && aData.empty()) {
        // An empty message goes uncompressed (RSV1 clear), which RFC 7692 allows.
        DoWriteFrame(aData, aOpCode, false);
      } else {
        // permessage-deflate: the message's pieces are one deflate stream, compressed once and then
        // cut; RSV1 marks the message's first frame only.
        FExtensions->WriteStream(aData, lEnds, FCompressScratch);
        const std::string_view lCompressed = FCompressScratch;
        if (lMayCut && lCompressed.size() > lPiece) {
          for (std::size_t lOffset = 0; lOffset < lCompressed.size(); lOffset += lPiece) {
            const std::string_view lChunk = lCompressed.substr(lOffset, lPiece);
            const bool lFirst = lOffset == 0;
            const bool lMore = lOffset + lChunk.size() < lCompressed.size();
            const std::string_view lLogged = lFirst ? aData : std::string_view();
            DoWriteFrame(lChunk, lFirst ? lOpCode : TOpcode::opContinuation, lMore || !lEnds, lFirst && lOpens, &lLogged);
          }
        } else {
          DoWriteFrame(lCompressed, lOpCode, !lEnds, lOpens, &aData);
        }
      }
    } catch (const EZLibError& e) {
      // Only compressing raises this; a failed write goes on as a failed write.
      lFailure = std::string("Error Inflating Frame: ") + e.what();
    }
    if (FCompressScratch.capacity() > (1u << 20)) std::string().swap(FCompressScratch);
  }
  if (lFailure.empty()) return;
  // The compressor's state went with the failed call: nothing the peer could read can follow.
  try {
    DoDisconnect(lFailure, 1011);
  } catch (const std::exception&) {
  }
  throw TqmtWSException(lFailure);
}

void TqmtWSConnection::DoWriteFrame(std::string_view aPayload, TOpcode aOpCode, bool aNotFinal, bool aRSV1,
                                    const std::string_view* aLogged) {
  if (FTransport != TwsTransport::trpRFC6455 && FTransport != TwsTransport::trpFlash &&
      FTransport != TwsTransport::trpRFC8441)
    return;
  std::lock_guard g(FLocks.Main());
  WaitForBudget();
  // Header and payload in one buffer, written at once.
  std::uint8_t lFirst = OpcodeWireValue(aOpCode);
  if (!aNotFinal) lFirst |= 0x80;
  if (aRSV1) FExtensions->EncodeHeader(lFirst);
  std::string& lFrame = FWriteScratch;
  lFrame.clear();
  lFrame.reserve(aPayload.size() + 14);
  lFrame += static_cast<char>(lFirst);
  std::string lLength = EncodePayloadLength(aPayload.size());
  if (FMasked) lLength[0] = static_cast<char>(lLength[0] | 0x80);
  lFrame += lLength;
  if (FMasked) {
    std::uint8_t lKey[4];
    NewMaskKey(lKey);
    lFrame.append(reinterpret_cast<const char*>(lKey), 4);
    const std::size_t lStart = lFrame.size();
    lFrame.resize(lStart + aPayload.size());
    MaskCopy(lFrame.data() + lStart, aPayload.data(), aPayload.size(), lKey);
  } else {
    lFrame.append(aPayload);
  }
  DoWriteBytes(lFrame);
  if (FFramesPerSecond > 0) {
    FSent.push_back(GetTicks());
    while (FSent.size() > static_cast<std::size_t>(FFramesPerSecond)) FSent.pop_front();
  }
  AddSendBytes(lFrame.size());
  DoFrameSent(aOpCode, aLogged ? *aLogged : aPayload);
  if (lFrame.capacity() > (1u << 20)) std::string().swap(lFrame);  // do not keep a huge buffer
}

// ---- reading ------------------------------------------------------------------------------------

void TqmtWSConnection::DoRead(bool aMustBeMasked) {
  if (!FEnabled) {
    DoReadHandshake();
    return;
  }
  while (HasTCPConnection() && DoGetInputSize() > 0 && !FDisconnected && !FMustDisconnect) {
    DoReadFrame(aMustBeMasked);
    if (HasTCPConnection() && !FDisconnected && !FMustDisconnect && DoGetInputSize() == 0) DoWaitForData(FReadTimeOut);
  }
}

void TqmtWSConnection::DoReadFrame(bool aMustBeMasked) {
  if (!FWSMSG) FWSMSG = &FWSMessage;
  TqmtWSMsg* m = FWSMSG;
  if (m->FState < 4) {
    const auto b = static_cast<std::uint8_t>(*DoInputData());
    DoConsumeInput(1);
    AddRecBytes(1);
    switch (m->FState) {
      case 0: {
        FCloseCode = 0;
        {
          std::lock_guard g(FStateLock);
          FCloseReason.clear();
        }
        m->FContinuation = false;
        const std::uint8_t lOp = b & 0x0F;
        if (lOp == 0x0) {
          m = FWSMSG = &FWSMessage;
          m->FContinuation = true;
          if (FWSMessage.FOpCode == TOpcode::opNone)
            return Fail("Unfragmented message after continuation frame with FIN", 1002);
        } else if (lOp == 0x1 || lOp == 0x2) {
          if (FMessageUnfinished)
            return Fail(lOp == 0x1 ? "OpCode error, received opText after Continuation not finished"
                                   : "OpCode error, received opBinary after Continuation not finished",
                        1002);
          FWSMessage.FOpCode = lOp == 0x1 ? TOpcode::opText : TOpcode::opBinary;
          m = FWSMSG = &FWSMessage;
        } else if (lOp == 0x8 || lOp == 0x9 || lOp == 0xA) {
          FWSControlCode.FOpCode = lOp == 0x8 ? TOpcode::opClose : (lOp == 0x9 ? TOpcode::opPing : TOpcode::opPong);
          m = FWSMSG = &FWSControlCode;
        } else {
          return Fail("Invalid Control OptCode", 1002);
        }
        m->FFragmented = (b & 0x80) == 0;
        if (const std::uint8_t lRSV = b & 0x70; lRSV != 0) {
          if (!FExtensions->ExtensionNegotiated())
            return Fail("Invalid value of RSV while no Extension Negotiated", 1002);
          // The compression extensions use RSV1 alone, and only on data frames; permessage-deflate
          // only on a message's first frame.
          if (lRSV != 0x40) return Fail("Invalid value of RSV2 or RSV3", 1002);
          if (IsControl(m->FOpCode)) return Fail("Invalid value of RSV1 on a control frame", 1002);
          if (m->FContinuation && !FExtensions->PerFrame())
            return Fail("Invalid value of RSV1 on a continuation frame", 1002);
        }
        if (lOp == 0x1 || lOp == 0x2 || (lOp == 0x0 && FExtensions->PerFrame())) FExtensions->DecodeHeader(b);
        if (IsControl(m->FOpCode) && m->FFragmented) return Fail("Control Message must not be fragmented", 1002);
        if (!IsControl(m->FOpCode)) FMessageUnfinished = m->FFragmented;
        m->FState = 1;
        return;
      }
      case 1: {
        m->FReadMasked = (b & 0x80) != 0;
        if (!m->FReadMasked && aMustBeMasked) return Fail("Message is not masked", 1002);
        m->FMaskIndex = 0;
        const std::uint8_t L = b & 0x7F;
        m->FPayLoadLength = L;
        m->FPLState = 0;
        if (L <= 125) {
          m->FPayLoad = TPayload::pa7bits;
          if (m->FReadMasked) {
            m->FState = 3;
          } else if (L > 0) {
            m->FState = 4;
          } else {
            m->FState = 4;
            DoFrameComplete(std::string_view());
          }
        } else {
          if (IsControl(m->FOpCode))
            return Fail("Control frames are only allowed to have payload up to and including 125 octets", 1002);
          m->FPayLoad = L == 126 ? TPayload::pa16bits : TPayload::pa64bits;
          m->FPayLoadLength = 0;
          m->FState = 2;
        }
        return;
      }
      case 2: {
        m->FPayLoadLength = (m->FPayLoadLength << 8) | b;
        ++m->FPLState;
        const int lNeeded = m->FPayLoad == TPayload::pa16bits ? 2 : 8;
        if (m->FPLState < lNeeded) return;
        // A length past the configured maximum (or past 2^31) is refused instead of being cut.
        if (m->FPayLoadLength >= (1ull << 31) || m->FPayLoadLength > FMaxPayloadLength)
          return Fail(("Frame payload of " + std::to_string(m->FPayLoadLength) +
                       " bytes exceeds the maximum message size").c_str(),
                      1009);
        m->FState = m->FReadMasked ? 3 : 4;
        if (!m->FReadMasked && m->FPayLoadLength == 0) DoFrameComplete(std::string_view());
        return;
      }
      case 3: {
        m->Mask[m->FMaskIndex++] = b;
        if (m->FMaskIndex < 4) return;
        m->FState = 4;
        if (m->FPayLoadLength == 0) {
          if (m->FOpCode == TOpcode::opClose) {
            DoDisconnect(std::string(), 1000);
            return;
          }
          DoFrameComplete(std::string_view());
        }
        return;
      }
    }
    return;
  }

  // State 4: payload. Only what is buffered is taken; nothing blocks here.
  const std::size_t lAvailable = DoGetInputSize();
  if (lAvailable == 0) {
    SetDisconnected(true);
    return;
  }
  const std::size_t lRemaining = static_cast<std::size_t>(m->FPayLoadLength);
  if (m->FReadBuffer.empty() && lAvailable >= lRemaining) {
    // The whole payload is buffered: unmask in place and hand it on without a copy.
    char* lData = DoInputData();
    if (m->FReadMasked) MaskPayload(lData, lRemaining, m->Mask);
    m->FPayLoadLength = 0;
    AddRecBytes(lRemaining);
    DoFrameComplete(std::string_view(lData, lRemaining));
    // The events ran on the bytes in place; they leave the buffer only now.
    if (HasTCPConnection() && DoGetInputSize() >= lRemaining) DoConsumeInput(lRemaining);
    return;
  }
  const std::size_t lTake = std::min({FReadBufferSize, lRemaining - m->FReadBuffer.size(), lAvailable});
  m->FReadBuffer.append(DoInputData(), lTake);
  DoConsumeInput(lTake);
  AddRecBytes(lTake);
  if (m->FReadBuffer.size() < lRemaining) return;
  if (m->FReadMasked) MaskPayload(m->FReadBuffer.data(), m->FReadBuffer.size(), m->Mask);
  std::string lPayload;
  lPayload.swap(m->FReadBuffer);
  m->FPayLoadLength = 0;
  DoFrameComplete(lPayload);
}

bool TqmtWSConnection::AppendPayload(std::string_view aPayload) {
  // A message collected from fragments obeys the same limit as one frame: the peer cannot make us
  // buffer without bound.
  const std::uint64_t lSize = FWSMSG->FStream.size() + aPayload.size();
  if (lSize > FMaxPayloadLength) {
    FWSMSG->Clear();
    FMessageUnfinished = false;
    Fail(("Message of " + std::to_string(lSize) + " bytes exceeds the maximum message size").c_str(), 1009);
    return false;
  }
  FWSMSG->FStream.append(aPayload);
  return true;
}

bool TqmtWSConnection::InflatePayload(std::string_view aPayload, bool aFinal) {
  // The reading thread owns the inflater; no lock is needed for it.
  bool lFits = false;
  std::string lError;
  try {
    lFits = FExtensions->ReadStream(aPayload, aFinal, FWSMSG->FStream, FMaxPayloadLength);
  } catch (const std::exception& e) {
    lError = std::string("Error Deflating Frame: ") + e.what();
  }
  if (lFits) return true;
  FWSMSG->Clear();
  FMessageUnfinished = false;
  if (!lError.empty()) {
    Fail(lError.c_str(), 1007);
  } else {
    // A few KiB may inflate to gigabytes: the limit holds for what comes out.
    Fail(("Message of more than " + std::to_string(FMaxPayloadLength) +
          " bytes after decompression exceeds the maximum message size").c_str(),
         1009);
  }
  return false;
}

void TqmtWSConnection::DoFrameComplete(std::string_view aPayload) {
  TqmtWSMsg* m = FWSMSG;
  if (m->FOpCode == TOpcode::opClose) {
    if (aPayload.size() == 1) return Fail("Invalid Payload length for close code", 1002);
    if (aPayload.size() >= 2) {
      const int lCode = (static_cast<std::uint8_t>(aPayload[0]) << 8) | static_cast<std::uint8_t>(aPayload[1]);
      FCloseCode = lCode;
      if (aPayload.size() == 2) {
        const bool lValid = (lCode >= 1000 && lCode <= 1003) || (lCode >= 1007 && lCode <= 1011) ||
                            (lCode >= 3000 && lCode <= 4999);
        if (!lValid) return Fail("Invalid close code", 1002);
        DoDisconnect(std::string(), 1000);
        return;
      }
      // The reason is text: with ValidateUTF8 an invalid one fails the connection like a message.
      const std::string_view lReason = DoDecodeText(aPayload.substr(2));
      if (FDisconnected && FValidateUTF8 && lReason.empty()) return;
      std::lock_guard g(FStateLock);
      FCloseReason.assign(lReason);
    }
    DoMessageComplete(std::string_view());
    return;
  }
  const bool lData = m->FOpCode == TOpcode::opText || m->FOpCode == TOpcode::opBinary;
  const bool lInflate = lData && FExtensions->ExtensionNegotiated() && FExtensions->ReadCompressed();
  if (lData && (lInflate || m->FFragmented || FFragmentedMessages != TwsFragmentedMessages::frgOnlyBuffer ||
                !m->FStream.empty())) {
    // Collected across frames: the payload (inflated, when compressed) joins the message's stream.
    if (lInflate ? !InflatePayload(aPayload, !m->FFragmented) : !AppendPayload(aPayload)) return;
    if (FFragmentedMessages == TwsFragmentedMessages::frgOnlyBuffer) {
      if (m->FFragmented) {
        m->FState = m->FPLState = 0;
        return;
      }
      std::string lMessage;
      lMessage.swap(m->FStream);
      DoMessageComplete(lMessage);
      return;
    }
    DoFragmentReceived();
    if (FFragmentedMessages == TwsFragmentedMessages::frgAll && !m->FFragmented) {
      std::string lMessage;
      lMessage.swap(m->FStream);
      DoMessageComplete(lMessage);
    }
    return;
  }
  DoMessageComplete(aPayload);
}

void TqmtWSConnection::DoFragmentReceived() {
  TqmtWSMsg* m = FWSMSG;
  if (FOnFragmented) FOnFragmented(this, m->FStream, m->FOpCode, m->FFragmented);
  m->FState = m->FPLState = 0;
  if (FFragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented) m->FStream.clear();
  if (!m->FFragmented && FFragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented) {
    m->FOpCode = TOpcode::opNone;
  }
}

std::string_view TqmtWSConnection::DoDecodeText(std::string_view aData) {
  if (FValidateUTF8 && !aData.empty() && !IsValidUTF8(aData)) {
    Fail("Invalid UTF8 message", 1007);
    return std::string_view();
  }
  return aData;
}

void TqmtWSConnection::DoMessageComplete(std::string_view aPayload) {
  TqmtWSMsg* m = FWSMSG;
  const TOpcode lOpCode = m->FOpCode;
  // The message is finished as far as the reader is concerned before any event runs, so an event
  // that fails leaves no half state behind.
  m->FState = m->FPLState = 0;
  m->FOpCode = TOpcode::opNone;
  m->FReadBuffer.clear();
  m->FStream.clear();
  if (m == &FWSMessage) FMessageUnfinished = false;
  switch (lOpCode) {
    case TOpcode::opText: {
      const std::string_view lText = DoDecodeText(aPayload);
      if (FDisconnected && FValidateUTF8 && lText.empty() && !aPayload.empty()) return;
      {
        std::lock_guard g(FStateLock);
        FMsgReceived.assign(lText);
      }
      if (FOnMessage) FOnMessage(this, lText);
      break;
    }
    case TOpcode::opBinary:
      if (FOnBinary) FOnBinary(this, aPayload);
      break;
    case TOpcode::opClose:
      DoDisconnect(std::string(), 1000);
      break;
    case TOpcode::opPing:
      DoWriteFrame(aPayload, TOpcode::opPong, false);
      break;
    case TOpcode::opPong: {
      FLastPong = NowLocal();
      bool lMismatch = false;
      {
        std::lock_guard g(FPingLock);
        if (!FQueuePingList.empty()) {
          const bool lFound = std::any_of(FQueuePingList.begin(), FQueuePingList.end(),
                                          [&](const TqmtPing& p) { return p.FText == aPayload; });
          if (lFound) {
            FQueuePingList.erase(FQueuePingList.begin());  // the oldest goes, matching or not
            std::lock_guard s(FStateLock);
            FPong.assign(aPayload);
          } else {
            lMismatch = true;
          }
        }
      }
      if (lMismatch) Fail("Received Pong is different from Sent Ping", 1000);
      break;
    }
    default:
      break;
  }
}

// ---- disconnecting ------------------------------------------------------------------------------

void TqmtWSConnection::DoDisconnect(const std::string& aMsg, int aCloseCode) {
  if (FDoDisconnect.load() || (!FDisconnected.load() && !HasTCPConnection())) return;
  FDoDisconnect = true;
  SetDisconnected(true);
  if (FCleanDisconnect) {
    try {
      DoWriteClose(aCloseCode);
    } catch (const std::exception&) {
      // The peer is gone or stuck: the close frame cannot leave, and the socket closes anyway.
    }
  }
  DisconnectPeer(false);
  if (!aMsg.empty() && FRaiseDisconnectExceptions) throw TqmtWSException(aMsg);
}

void TqmtWSConnection::DisconnectPeer(bool aCallOnDisconnectIfClosed) {
  if (!HasTCPConnection()) return;
  SetDisconnected(true);
  FreeQueues();
  DoDiscardOutput();
  DoClearInput();
  try {
    if (!(aCallOnDisconnectIfClosed && DoSocketClosed())) DoCloseSocket();
  } catch (const EIdConnClosedGracefully&) {
    if (FRaiseDisconnectExceptions) throw;
  }
}

void TqmtWSConnection::DoDropConnection() {
  if (FDoDisconnect.load() || FDisconnected.load()) {
    SetDisconnected(true);
    return;
  }
  FDoDisconnect = true;
  SetDisconnected(true);
  DisconnectPeer(true);
}

// ---- the TCP-bound connection -------------------------------------------------------------------

std::size_t TqmtWSConnection_Indy::DoGetInputSize() { return FTCPConnection->InputBufferSize(); }
char* TqmtWSConnection_Indy::DoInputData() { return FTCPConnection->InputData(); }
void TqmtWSConnection_Indy::DoConsumeInput(std::size_t n) { FTCPConnection->Consume(n); }
void TqmtWSConnection_Indy::DoWaitForData(int aTimeoutMs) { FTCPConnection->CheckForDataOnSource(aTimeoutMs); }
void TqmtWSConnection_Indy::DoWriteBytes(std::string_view aData) { FTCPConnection->Write(aData); }
void TqmtWSConnection_Indy::DoClearInput() {
  // Input belongs to the reading thread; other threads leave it to that thread.
  auto* lReader = FTCPConnection->ReadThread();
  if (!lReader->Started() || lReader->IsCurrentThread()) FTCPConnection->InputBufferClear();
}
void TqmtWSConnection_Indy::DoCloseSocket() {
  // With a clean disconnect the close frame was written: an orderly close lets it arrive (a reset
  // could discard it).
  FTCPConnection->Disconnect(FCleanDisconnect);
  if (FOnSocketClosed) FOnSocketClosed();
}
bool TqmtWSConnection_Indy::DoSocketClosed() { return !FTCPConnection->Connected(); }
