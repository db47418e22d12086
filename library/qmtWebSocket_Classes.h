// The WebSocket connection (client side of RFC 6455): the frame writer with masking and
// fragmentation, the incremental frame reader, control frames (close, ping, pong), the UTF-8 check,
// the close handshake, pending pings, the outgoing queues, and the connection's events.
//
// The framing works on an abstract byte transport (the Do... transport operations), so the codec can
// be driven by byte vectors in tests; TqmtWSConnection_Indy binds it to the TCP client, and
// TqmtWSConnectionClient adds the opening handshake.
//
// Threads: the reading thread runs DoRead and raises OnMessage/OnBinary/OnFragmented; writes may come
// from any thread and each frame is built and written under the connection lock. Text and binary
// payloads handed to the events are views valid during the call only.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "qmtSocket_Classes.h"
#include "qmtWebSocket_Classes_Queues.h"
#include "qmtWebSocket_Classes_SyncObjs.h"
#include "qmtWebSocket_Extensions.h"

class TqmtIdTCPClient;

enum class TOpcode : std::uint8_t { opContinuation, opText, opBinary, opClose, opPing, opPong, opNone };
enum class TPayload : std::uint8_t { pa7bits, pa16bits, pa64bits };
enum class TwsFragmentedMessages : std::uint8_t { frgOnlyBuffer, frgOnlyFragmented, frgAll };
enum class TwsStreaming : std::uint8_t { stmNone, stmFirst, stmContinue, stmLast, stmContinueAndLast };
enum class TwsQueueMsgLevels : std::uint8_t { qmNone, qmLevel0, qmLevel1, qmLevel2 };
enum class TwsSpecification : std::uint8_t { spRFC6455, spHixie76, spRFC8441 };

std::uint8_t OpcodeWireValue(TOpcode aOpcode);

class TqmtWSException : public Exception {
public:
  using Exception::Exception;
};

// ---- pure wire helpers ----------------------------------------------------------------------------

// The length bytes of a frame header (without the mask bit).
std::string EncodePayloadLength(std::uint64_t aLength);
// Four key bytes, each drawn uniformly from 0..254 (255 never occurs).
void NewMaskKey(std::uint8_t aKey[4]);
// XORs aData[i] with aKey[(aOffset + i) % 4], a machine word at a time.
void MaskPayload(char* aData, std::size_t aLength, const std::uint8_t aKey[4], std::size_t aOffset = 0);
// Masked copy of aSource into aTarget (the writer's single pass over the payload).
void MaskCopy(char* aTarget, const char* aSource, std::size_t aLength, const std::uint8_t aKey[4]);
// Strict UTF-8 as the reader checks it (a lone 0xF4 as the very last byte is accepted).
bool IsValidUTF8(std::string_view aData);

// ---- state records --------------------------------------------------------------------------------

// Read state of one incoming message.
struct TqmtWSMsg {
  void Clear();

  bool FContinuation = false;
  bool FFragmented = false;
  int FMaskIndex = 0;
  TOpcode FOpCode = TOpcode::opNone;
  TPayload FPayLoad = TPayload::pa7bits;
  std::uint64_t FPayLoadLength = 0;
  int FPLState = 0;
  std::string FReadBuffer;
  bool FReadMasked = false;
  int FState = 0;
  std::string FStream;  // the message collected so far
  std::uint8_t Mask[4] = {0, 0, 0, 0};
};

struct TqmtPing {
  TDateTime FDate = 0;
  std::string FText;
  std::uint64_t FTicks = 0;  // GetTicks when sent
};

struct TqmtQueueObject {
  int FSize = 0;
  TwsStreaming FStreaming = TwsStreaming::stmNone;
  std::string FText;  // text, or a copy of the binary data
  TOpcode FOpCode = TOpcode::opText;
};

struct TqmtWSQueueOptions {
  struct TqmtWSQueue {
    TwsQueueMsgLevels Level = TwsQueueMsgLevels::qmNone;
  };
  TqmtWSQueue Binary, Ping, Text;
};

// ---- the connection -------------------------------------------------------------------------------

class TqmtWSConnection;
using TqmtWSMessageEvent = std::function<void(TqmtWSConnection* Connection, std::string_view Text)>;
using TqmtWSBinaryEvent = std::function<void(TqmtWSConnection* Connection, std::string_view Data)>;
using TqmtWSFragmentedEvent =
    std::function<void(TqmtWSConnection* Connection, std::string_view Data, TOpcode OpCode, bool Continuation)>;
using TqmtWSHandshakeEvent = std::function<void(TqmtWSConnection* Connection, std::vector<std::string>& Headers)>;
using TqmtWSNotifyEvent = std::function<void(TqmtWSConnection* Sender)>;

class TqmtWSConnection : public TqmtTCPConnection {
public:
  TqmtWSConnection();
  ~TqmtWSConnection() override;

  // ---- public operations (any thread)
  void WriteData(const std::string& aText, int aSize = 0, TwsStreaming aStreaming = TwsStreaming::stmNone);
  void WriteBinary(const std::string& aData, int aSize = 0, TwsStreaming aStreaming = TwsStreaming::stmNone);
  // Sends aText and waits up to aTimeOut ms for the next text message; "" on time-out.
  std::string WriteAndWaitData(const std::string& aText, int aTimeOut);
  void Ping(const std::string& aText);
  // True when a pong with aText arrived within aTimeOut ms.
  bool Ping(const std::string& aText, int aTimeOut);
  void Close(int aCloseCode = 1000);
  void Disconnect(int aCloseCode = 1000);
  void DisconnectPeer(bool aCallOnDisconnectIfClosed);
  void SetDisconnected(bool aValue);
  // After an error was reported: drop the socket without a close frame.
  virtual void DoDropConnection();

  // ---- the read side (reading thread)
  void DoRead(bool aMustBeMasked = false);

  // ---- properties
  int CloseCode() const { return FCloseCode.load(); }
  std::string CloseReason() const;
  const std::string& Protocol() const { return FProtocol; }
  bool Enabled() const { return FEnabled.load(); }
  bool Disconnected() const { return FDisconnected.load(); }
  TDateTime LastPing() const { return FLastPing.load(); }
  TDateTime LastPong() const { return FLastPong.load(); }
  TDateTime FirstPing() const { return FFirstPing.load(); }
  void SetFirstPing(TDateTime aValue) { FFirstPing = aValue; }
  // When the oldest ping still waiting for its pong was sent (GetTicks, the monotonic clock: the
  // heart-beat time-out measures with it, so a step of the wall clock is not a dead connection);
  // 0 when none waits.
  std::uint64_t OldestUnansweredPingTicks();
  TqmtWSExtensions& Extensions() { return *FExtensions; }
  void SetExtensions(std::unique_ptr<TqmtWSExtensions> aExtensions) { FExtensions = std::move(aExtensions); }
  TqmtWSQueueOptions& QueueOptions() { return FQueueOptions; }
  std::string LastMessage();
  // Sends the queued messages: level 0, then 1, then 2 (the reading thread does it every turn).
  void FlushQueues();

  // ---- options (copied from the component)
  bool FMasked = true;
  bool FValidateUTF8 = false;
  bool FRaiseDisconnectExceptions = true;
  TwsFragmentedMessages FFragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
  bool FCleanDisconnect = true;
  std::string FURL;
  std::string FProtocol;
  TwsSpecification FSpecification = TwsSpecification::spRFC6455;
  // Largest payload accepted in one frame, and largest message collected from fragments; a larger
  // one fails the connection with 1009.
  std::uint64_t FMaxPayloadLength = 256ull << 20;
  bool FNotifyConnection = true, FNotifyDisconnection = true;
  // At most this many frames of any kind (data, ping, pong, close) leave in any one-second span;
  // a write waits for its turn. 0: no limit. The exchange drops a connection that sends more.
  int FFramesPerSecond = 0;
  std::atomic<bool> FMustDisconnect{false};

  // ---- events (the component wires them)
  TqmtWSMessageEvent FOnMessage;
  TqmtWSBinaryEvent FOnBinary;
  TqmtWSFragmentedEvent FOnFragmented;
  TqmtWSHandshakeEvent FOnHandshake;

protected:
  // ---- the byte transport
  virtual bool HasTCPConnection() const = 0;
  virtual std::size_t DoGetInputSize() = 0;
  virtual char* DoInputData() = 0;
  virtual void DoConsumeInput(std::size_t n) = 0;
  virtual void DoWaitForData(int aTimeoutMs) = 0;
  virtual void DoWriteBytes(std::string_view aData) = 0;
  virtual void DoClearInput() = 0;
  virtual void DoDiscardOutput() {}
  virtual void DoCloseSocket() = 0;
  virtual bool DoSocketClosed() { return false; }
  virtual void DoReadHandshake() {}
  virtual void DoFrameSent(TOpcode aOpCode, std::string_view aPayload) {}

  // ---- frames
  virtual void DoWriteClose(int aCloseCode);
  virtual void DoDisconnect(const std::string& aMsg, int aCloseCode);
  void DoWritePing(const std::string& aText);
  void DoWriteText(const std::string& aText, int aSize, TwsStreaming aStreaming);
  void DoWriteStream(const std::string& aData, int aSize, TwsStreaming aStreaming);
  // Writes text or binary data as the streaming mode asks; aCut splits it into pieces of aSize.
  void DoWriteStreamed(std::string_view aData, TOpcode aOpCode, bool aCut, int aSize, TwsStreaming aStreaming);
  // One frame. aRSV1 marks a compressed frame; aLogged is what the traffic log shows of it (the
  // payload itself when null).
  void DoWriteFrame(std::string_view aPayload, TOpcode aOpCode, bool aNotFinal, bool aRSV1 = false,
                    const std::string_view* aLogged = nullptr);
  // A message, or a piece of one, through the negotiated compression.
  void DoWriteCompressed(std::string_view aData, TOpcode aOpCode, int aSize, TwsStreaming aStreaming);
  void DoWriteFragmented(std::string_view aData, TOpcode aOpCode, bool aContinued, int aSize);
  void DoReadFrame(bool aMustBeMasked);
  void DoFrameComplete(std::string_view aPayload);
  void DoFragmentReceived();
  void DoMessageComplete(std::string_view aPayload);
  std::string_view DoDecodeText(std::string_view aData);

  std::atomic<bool> FEnabled{false};
  std::atomic<bool> FDisconnected{false};
  std::atomic<bool> FDoDisconnect{false};
  int FReadTimeOut = 10;
  static constexpr std::size_t FReadBufferSize = 16384;

private:
  void Fail(const char* aMessage, int aCloseCode) { DoDisconnect(aMessage, aCloseCode); }
  // False when the message grew past the limit (the connection then fails with 1009).
  bool AppendPayload(std::string_view aPayload);
  // The same for a compressed frame: inflated onto the message, under the same limit.
  bool InflatePayload(std::string_view aPayload, bool aFinal);
  void QueueWrite(TwsQueueMsgLevels aLevel, TqmtQueueObject aObject);
  void FreeQueues();

  std::unique_ptr<TqmtWSExtensions> FExtensions;
  TqmtWSQueueOptions FQueueOptions;
  std::mutex FQueueLock;
  std::vector<TqmtQueueObject> FQueues[3];
  std::atomic<int> FCloseCode{0};
  mutable std::mutex FStateLock;  // FCloseReason, FPong, FMsgReceived across threads
  std::string FCloseReason;
  std::string FPong;
  std::atomic<TDateTime> FLastPing{0}, FLastPong{0}, FFirstPing{0};
  TqmtWSMsg FWSMessage, FWSControlCode;
  TqmtWSMsg* FWSMSG = nullptr;
  bool FMessageUnfinished = false;  // the last data frame had FIN clear
  std::mutex FPingLock;
  std::vector<TqmtPing> FQueuePingList;
  std::string FWriteScratch;
  std::string FCompressScratch;  // under FLocks.Main()
  // Send times (GetTicks) of the last FFramesPerSecond frames, oldest first; under FLocks.Main().
  std::deque<std::uint64_t> FSent;
  void WaitForBudget();
};

// The connection over the TCP client of the transport.
class TqmtWSConnection_Indy : public TqmtWSConnection {
public:
  void Attach(TqmtIdTCPClient* aClient) { FTCPConnection = aClient; }
  TqmtIdTCPClient* TCPConnection() const { return FTCPConnection; }
  // Told after the connection dropped its socket (the component's disconnect processing).
  std::function<void()> FOnSocketClosed;
  // Told of every frame written, unmasked (the component's readable traffic log).
  std::function<void(TOpcode aOpCode, std::string_view aPayload)> FOnFrameSent;

protected:
  bool HasTCPConnection() const override { return FTCPConnection != nullptr; }
  std::size_t DoGetInputSize() override;
  char* DoInputData() override;
  void DoConsumeInput(std::size_t n) override;
  void DoWaitForData(int aTimeoutMs) override;
  void DoWriteBytes(std::string_view aData) override;
  void DoClearInput() override;
  void DoCloseSocket() override;
  bool DoSocketClosed() override;
  void DoFrameSent(TOpcode aOpCode, std::string_view aPayload) override {
    if (FOnFrameSent) FOnFrameSent(aOpCode, aPayload);
  }

  TqmtIdTCPClient* FTCPConnection = nullptr;
};
