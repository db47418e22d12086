// The WebSocket compression extensions: permessage-deflate (RFC 7692) and the older deflate-frame,
// offered as "x-webkit-deflate-frame", and the extension list a connection carries.
//
// Context takeover is carried by one raw-deflate stream per direction that lives as long as the
// connection: the peer's window is then exactly our compressor's history, a message costs no new
// stream and no dictionary, and a message written in pieces (the streaming modes) is one deflate
// stream across its frames. Without context takeover the stream is reset after each message.
//
// Threads: the list is configured before a connection starts; the handshake offers it (connecting
// thread) and reads the answer (reading thread) before the connection opens. Once open, the
// compressing half (WriteStream, EncodeHeader) runs only under the connection's write lock, in the
// order the frames leave; the inflating half (DecodeHeader, ReadCompressed, ReadStream) runs only on
// the reading thread. The two halves share no state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qmtSystem.h"

struct z_stream_s;

enum class TwsApplicationMode : std::uint8_t { appNone, appServer, appClient };

// A zlib failure: "ZLib Error (code)", with zlib's own text when it gives one.
class EZLibError : public Exception {
public:
  EZLibError(int aCode, const char* aText);
  int Code() const { return FCode; }

private:
  int FCode;
};

// ---- raw deflate streams ----------------------------------------------------------------------

// A raw deflate stream kept between messages.
class TqmtDeflater {
public:
  // Raises EZLibError when zlib refuses the parameters (window bits 8 among them).
  TqmtDeflater(int aLevel, int aWindowBits, int aMemLevel);
  ~TqmtDeflater();
  TqmtDeflater(const TqmtDeflater&) = delete;
  TqmtDeflater& operator=(const TqmtDeflater&) = delete;

  // Compresses aData and appends it to aOut, ending with a sync flush: the output ends at a byte
  // boundary with the empty stored block 00 00 FF FF, unless nothing at all was pending.
  void Compress(std::string_view aData, std::string& aOut);
  // Forgets the history (a new message starts a new stream).
  void Reset();

private:
  std::unique_ptr<z_stream_s> FStream;
};

// A raw inflate stream kept between messages. Inflates with the largest window, which decodes
// whatever a smaller window produced (zlib compresses with 9 bits when asked for 8).
class TqmtInflater {
public:
  TqmtInflater();
  ~TqmtInflater();
  TqmtInflater(const TqmtInflater&) = delete;
  TqmtInflater& operator=(const TqmtInflater&) = delete;

  // Inflates aData, appending to aOut. False as soon as aOut would grow past aLimit bytes (aOut
  // then holds aLimit bytes and the stream is unusable). Raises EZLibError on bad data. Input after
  // a final block is ignored up to the next message.
  bool Inflate(std::string_view aData, std::string& aOut, std::size_t aLimit);
  // True when the input so far ended exactly at a block boundary or with a final block (a message
  // must end so).
  bool AtBlockBoundary() const;
  // Between messages: keeps the history (context takeover) or forgets it.
  void NextMessage(bool aKeepHistory);

private:
  std::unique_ptr<z_stream_s> FStream;
  bool FEnded = false;  // a final block was read
};

// ---- the extensions ---------------------------------------------------------------------------

class TqmtWSExtension_Base {
public:
  virtual ~TqmtWSExtension_Base() = default;

  // Copies Enabled, Mode and the parameters (not Active: negotiation is per connection).
  virtual void Assign(const TqmtWSExtension_Base& aSource);
  // The negotiated entry, as a server would answer it.
  virtual std::string GetHeaderExtension() const { return FHeaderExtension; }
  // Reads one entry of the server's answer; true when it activates this extension. Raises on a
  // parameter value it cannot accept.
  virtual bool DecodeExtension(const std::string& aEntry) = 0;
  // Keeps RSV1 of a frame's first byte: whether the message (or frame) is compressed.
  virtual void DecodeHeader(std::uint8_t aByte) { FMessageCompressed = (aByte & 0x40) != 0; }
  // Sets RSV1 in a compressed frame's first byte.
  virtual void EncodeHeader(std::uint8_t& aByte) {
    if (FActive) aByte |= 0x40;
  }
  virtual std::string GetName() const = 0;
  // Compresses one piece of an outgoing message into aOut (replaced). aFinal: the piece ends the
  // message. Raises EZLibError; the stream is then unusable and the connection must go.
  virtual void DeflateFrame(std::string_view aData, bool aFinal, std::string& aOut) = 0;
  // Inflates one frame's payload of an incoming compressed message, appending to aOut; aFinal: the
  // frame ends the message. False when aOut would pass aLimit; raises on bad data.
  virtual bool InflateFrame(std::string_view aData, bool aFinal, std::string& aOut, std::size_t aLimit) = 0;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  bool Active() const { return FActive; }
  void SetActive(bool aValue) { FActive = aValue; }
  TwsApplicationMode Mode() const { return FMode; }
  void SetMode(TwsApplicationMode aValue) { FMode = aValue; }
  bool MessageCompressed() const { return FMessageCompressed; }

protected:
  static void CheckWindowBits(int aValue);

  bool FActive = false;
  bool FEnabled = false;
  TwsApplicationMode FMode = TwsApplicationMode::appNone;
  std::string FHeaderExtension;
  bool FMessageCompressed = false;
};

class TqmtWSExtension_PerMessage_Deflate : public TqmtWSExtension_Base {
public:
  TqmtWSExtension_PerMessage_Deflate();
  ~TqmtWSExtension_PerMessage_Deflate() override;

  void Assign(const TqmtWSExtension_Base& aSource) override;
  bool DecodeExtension(const std::string& aEntry) override;
  std::string GetName() const override { return "permessage-deflate"; }
  void DeflateFrame(std::string_view aData, bool aFinal, std::string& aOut) override;
  bool InflateFrame(std::string_view aData, bool aFinal, std::string& aOut, std::size_t aLimit) override;
  // The offer: "permessage-deflate; client_max_window_bits" and the parameters that differ from the
  // defaults, each named once.
  std::string OfferExtension() const;

  // Window bits 8..15, else "Invalid Value for WindowBits N".
  int ClientMaxWindowBits() const { return FClientMaxWindowBits; }
  void SetClientMaxWindowBits(int aValue);
  int ServerMaxWindowBits() const { return FServerMaxWindowBits; }
  void SetServerMaxWindowBits(int aValue);
  bool ClientNoContextTakeOver() const { return FClientNoContextTakeOver; }
  void SetClientNoContextTakeOver(bool aValue) { FClientNoContextTakeOver = aValue; }
  bool ServerNoContextTakeOver() const { return FServerNoContextTakeOver; }
  void SetServerNoContextTakeOver(bool aValue) { FServerNoContextTakeOver = aValue; }
  // zlib's memory level 1..9, else "Invalid Value for MemLevel N".
  int MemLevel() const { return FMemLevel; }
  void SetMemLevel(int aValue);

private:
  bool Client() const { return FMode == TwsApplicationMode::appClient; }

  std::unique_ptr<TqmtDeflater> FDefStream;  // our messages, made on first use
  std::unique_ptr<TqmtInflater> FInfStream;  // the peer's messages, made on first use
  bool FInflating = false;                   // the current incoming message had compressed bytes
  int FServerMaxWindowBits = 15;
  bool FServerNoContextTakeOver = false;
  int FClientMaxWindowBits = 15;
  bool FClientNoContextTakeOver = false;
  int FMemLevel = 9;
};

// deflate-frame: every frame compressed on its own (RSV1 per frame), the history always kept.
class TqmtWSExtension_DeflateFrame : public TqmtWSExtension_Base {
public:
  TqmtWSExtension_DeflateFrame();
  ~TqmtWSExtension_DeflateFrame() override;

  void Assign(const TqmtWSExtension_Base& aSource) override;
  bool DecodeExtension(const std::string& aEntry) override;
  std::string GetName() const override { return "x-webkit-deflate-frame"; }
  void DeflateFrame(std::string_view aData, bool aFinal, std::string& aOut) override;
  bool InflateFrame(std::string_view aData, bool aFinal, std::string& aOut, std::size_t aLimit) override;

  int WindowBits() const { return FWindowBits; }
  void SetWindowBits(int aValue);

private:
  std::unique_ptr<TqmtDeflater> FDefStream;
  std::unique_ptr<TqmtInflater> FInfStream;
  int FWindowBits = 15;
};

// ---- the list -----------------------------------------------------------------------------------

// The extension list of a connection: both extensions, disabled until enabled. The client component
// holds one as its setting and every connection works on a copy of it (Clone).
class TqmtWSExtensions {
public:
  TqmtWSExtensions();
  ~TqmtWSExtensions();

  TqmtWSExtension_DeflateFrame& DeflateFrame() { return FDeflateFrame; }
  TqmtWSExtension_PerMessage_Deflate& PerMessage_Deflate() { return FPerMessage_Deflate; }
  TwsApplicationMode Mode() const { return FMode; }
  void SetMode(TwsApplicationMode aValue);
  // Mode, Enabled flags and parameters; nothing negotiated.
  std::unique_ptr<TqmtWSExtensions> Clone() const;

  // ---- the handshake
  // Offer lines (client mode: one per enabled extension, permessage-deflate first).
  void WriteHeader(std::vector<std::string>& aLines) const;
  // The server's Sec-WebSocket-Extensions value (several answer lines joined with commas). Raises
  // when a parameter cannot be accepted, which fails the handshake.
  void DecodeExtensions(const std::string& aAnswer);
  bool ExtensionNegotiated() const { return FExtensionNegotiated; }
  // The names of the active extensions.
  std::vector<std::string> List() const;

  // ---- the frame codec
  bool GetCompression() const { return FPerMessage_Deflate.Active() || FDeflateFrame.Active(); }
  // deflate-frame: each frame is compressed on its own and RSV1 may mark continuation frames.
  bool PerFrame() const { return !FPerMessage_Deflate.Active() && FDeflateFrame.Active(); }
  void EncodeHeader(std::uint8_t& aByte);
  void DecodeHeader(std::uint8_t aByte);
  // RSV1 of the incoming message (permessage-deflate) or frame (deflate-frame).
  bool ReadCompressed() const;
  // Compresses a piece of an outgoing message into aOut.
  void WriteStream(std::string_view aData, bool aFinal, std::string& aOut);
  // Inflates a frame of an incoming compressed message onto aOut; false past aLimit.
  bool ReadStream(std::string_view aData, bool aFinal, std::string& aOut, std::size_t aLimit);

private:
  TqmtWSExtension_Base* Current();
  const TqmtWSExtension_Base* Current() const { return const_cast<TqmtWSExtensions*>(this)->Current(); }

  bool FExtensionNegotiated = false;
  TqmtWSExtension_DeflateFrame FDeflateFrame;
  TwsApplicationMode FMode = TwsApplicationMode::appNone;
  TqmtWSExtension_PerMessage_Deflate FPerMessage_Deflate;
};
