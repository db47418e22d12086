#include "qmtWebSocket_Extensions.h"

#include <zlib.h>

#include <algorithm>

#include "qmtBase_Helpers.h"

namespace {

constexpr std::string_view kSyncTrailer("\x00\x00\xFF\xFF", 4);

std::string Trim(std::string_view aText) {
  const auto lBegin = aText.find_first_not_of(" \t");
  if (lBegin == std::string_view::npos) return std::string();
  const auto lEnd = aText.find_last_not_of(" \t");
  return std::string(aText.substr(lBegin, lEnd - lBegin + 1));
}

// A parameter value as a decimal integer (a quoted value is allowed, RFC 7692 permits it).
int ParameterValue(std::string aValue) {
  if (aValue.size() >= 2 && aValue.front() == '"' && aValue.back() == '"') aValue = aValue.substr(1, aValue.size() - 2);
  if (aValue.empty() || aValue.size() > 9 ||
      !std::all_of(aValue.begin(), aValue.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw Exception("'" + aValue + "' is not a valid integer value");
  return std::stoi(aValue);
}

void Check(int aResult, const z_stream& aStream) {
  if (aResult < 0 && aResult != Z_BUF_ERROR) throw EZLibError(aResult, aStream.msg);
}

}  // namespace

EZLibError::EZLibError(int aCode, const char* aText)
    : Exception("ZLib Error (" + std::to_string(aCode) + ")" + (aText ? std::string(": ") + aText : std::string())),
      FCode(aCode) {}

// ---- deflater -----------------------------------------------------------------------------------

TqmtDeflater::TqmtDeflater(int aLevel, int aWindowBits, int aMemLevel) : FStream(std::make_unique<z_stream>()) {
  const int r = deflateInit2(FStream.get(), aLevel, Z_DEFLATED, -aWindowBits, aMemLevel, Z_DEFAULT_STRATEGY);
  if (r != Z_OK) {
    const char* lText = FStream->msg;
    FStream.reset();
    throw EZLibError(r, lText);
  }
}

TqmtDeflater::~TqmtDeflater() {
  if (FStream) deflateEnd(FStream.get());
}

void TqmtDeflater::Compress(std::string_view aData, std::string& aOut) {
  z_stream& z = *FStream;
  // zlib counts in 32 bits: a larger message goes in slices, flushed after the last one.
  constexpr std::size_t kSlice = std::size_t{1} << 30;
  do {
    const std::string_view lSlice = aData.substr(0, kSlice);
    aData.remove_prefix(lSlice.size());
    const int lFlush = aData.empty() ? Z_SYNC_FLUSH : Z_NO_FLUSH;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(lSlice.data()));
    z.avail_in = static_cast<uInt>(lSlice.size());
    // Room for the worst case at once (incompressible data grows by a few bytes per 16 KiB block),
    // so one call usually does it.
    std::size_t lRoom = deflateBound(&z, static_cast<uLong>(lSlice.size())) + 16;
    for (;;) {
      const std::size_t lOld = aOut.size();
      aOut.resize(lOld + lRoom);
      z.next_out = reinterpret_cast<Bytef*>(aOut.data() + lOld);
      z.avail_out = static_cast<uInt>(lRoom);
      const int r = deflate(&z, lFlush);
      aOut.resize(lOld + lRoom - z.avail_out);
      Check(r, z);
      // Done when all input is taken and the flush fitted (output space left over).
      if (z.avail_in == 0 && z.avail_out != 0) break;
      lRoom = std::max<std::size_t>(lRoom, 65536);
    }
  } while (!aData.empty());
}

void TqmtDeflater::Reset() {
  const int r = deflateReset(FStream.get());
  Check(r, *FStream);
}

// ---- inflater -----------------------------------------------------------------------------------

TqmtInflater::TqmtInflater() : FStream(std::make_unique<z_stream>()) {
  const int r = inflateInit2(FStream.get(), -MAX_WBITS);
  if (r != Z_OK) {
    const char* lText = FStream->msg;
    FStream.reset();
    throw EZLibError(r, lText);
  }
}

TqmtInflater::~TqmtInflater() {
  if (FStream) inflateEnd(FStream.get());
}

bool TqmtInflater::Inflate(std::string_view aData, std::string& aOut, std::size_t aLimit) {
  // After a final block the rest of the message is not deflate data (RFC 7692 7.2.3.4).
  if (FEnded) return true;
  if (aOut.size() > aLimit) return false;
  // One frame's payload at a time, which the reader keeps under 2 GiB (zlib counts in 32 bits).
  if (aData.size() > (std::size_t{1} << 31)) throw EZLibError(Z_BUF_ERROR, "input of 2 GiB or more");
  z_stream& z = *FStream;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aData.data()));
  z.avail_in = static_cast<uInt>(aData.size());
  // Output grows in steps: a guess from the input, doubled while more comes. The room never goes
  // more than one byte past the limit, so a bomb is stopped after at most that much work.
  std::size_t lStep = std::clamp<std::size_t>(aData.size() * 4, 1024, 1u << 20);
  for (;;) {
    const std::size_t lOld = aOut.size();
    const std::size_t lRoom = std::min(lStep, aLimit - lOld + 1);
    aOut.resize(lOld + lRoom);
    z.next_out = reinterpret_cast<Bytef*>(aOut.data() + lOld);
    z.avail_out = static_cast<uInt>(lRoom);
    const int r = inflate(&z, Z_SYNC_FLUSH);
    aOut.resize(lOld + lRoom - z.avail_out);
    Check(r, z);
    if (aOut.size() > aLimit) {
      aOut.resize(aLimit);
      return false;
    }
    if (r == Z_STREAM_END) {
      FEnded = true;
      return true;
    }
    // Room left over: the input is used up (a buffer error says the same when nothing moved).
    if (z.avail_out != 0) return true;
    lStep = std::min<std::size_t>(lStep * 2, 16u << 20);
  }
}

bool TqmtInflater::AtBlockBoundary() const { return FEnded || (FStream->data_type & 128) != 0; }

void TqmtInflater::NextMessage(bool aKeepHistory) {
  if (!FEnded) {
    if (!aKeepHistory) Check(inflateReset(FStream.get()), *FStream);
    return;
  }
  // The sender closed its deflate stream with a final block; its next message is a new stream that
  // may still refer to the window.
  FEnded = false;
  Bytef lWindow[1u << MAX_WBITS];
  uInt lLength = 0;
  if (aKeepHistory) Check(inflateGetDictionary(FStream.get(), lWindow, &lLength), *FStream);
  Check(inflateReset(FStream.get()), *FStream);
  if (lLength > 0) Check(inflateSetDictionary(FStream.get(), lWindow, lLength), *FStream);
}

// ---- base ---------------------------------------------------------------------------------------

void TqmtWSExtension_Base::Assign(const TqmtWSExtension_Base& aSource) {
  FEnabled = aSource.FEnabled;
  FMode = aSource.FMode;
}

void TqmtWSExtension_Base::CheckWindowBits(int aValue) {
  if (aValue < 8 || aValue > 15) throw Exception("Invalid Value for WindowBits " + std::to_string(aValue));
}

// ---- permessage-deflate -------------------------------------------------------------------------

TqmtWSExtension_PerMessage_Deflate::TqmtWSExtension_PerMessage_Deflate() = default;
TqmtWSExtension_PerMessage_Deflate::~TqmtWSExtension_PerMessage_Deflate() = default;

void TqmtWSExtension_PerMessage_Deflate::Assign(const TqmtWSExtension_Base& aSource) {
  TqmtWSExtension_Base::Assign(aSource);
  if (const auto* s = dynamic_cast<const TqmtWSExtension_PerMessage_Deflate*>(&aSource)) {
    FServerMaxWindowBits = s->FServerMaxWindowBits;
    FServerNoContextTakeOver = s->FServerNoContextTakeOver;
    FClientMaxWindowBits = s->FClientMaxWindowBits;
    FClientNoContextTakeOver = s->FClientNoContextTakeOver;
    FMemLevel = s->FMemLevel;
  }
}

void TqmtWSExtension_PerMessage_Deflate::SetClientMaxWindowBits(int aValue) {
  CheckWindowBits(aValue);
  FClientMaxWindowBits = aValue;
}

void TqmtWSExtension_PerMessage_Deflate::SetServerMaxWindowBits(int aValue) {
  CheckWindowBits(aValue);
  FServerMaxWindowBits = aValue;
}

void TqmtWSExtension_PerMessage_Deflate::SetMemLevel(int aValue) {
  if (aValue < 1 || aValue > 9) throw Exception("Invalid Value for MemLevel " + std::to_string(aValue));
  FMemLevel = aValue;
}

std::string TqmtWSExtension_PerMessage_Deflate::OfferExtension() const {
  // client_max_window_bits once: bare (the server may choose our window) or with our limit.
  std::string lText = "permessage-deflate; client_max_window_bits";
  if (FClientMaxWindowBits != 15) lText.append("=").append(std::to_string(FClientMaxWindowBits));
  if (FClientNoContextTakeOver) lText += ";client_no_context_takeover";
  if (FServerMaxWindowBits != 15) lText.append(";server_max_window_bits=").append(std::to_string(FServerMaxWindowBits));
  if (FServerNoContextTakeOver) lText += ";server_no_context_takeover";
  return lText;
}

bool TqmtWSExtension_PerMessage_Deflate::DecodeExtension(const std::string& aEntry) {
  if (!ContainsText(aEntry, "permessage-deflate")) return false;
  std::string lHeader;
  std::size_t lStart = 0;
  for (;;) {
    const auto lSemicolon = aEntry.find(';', lStart);
    const std::string lPart = Trim(std::string_view(aEntry).substr(lStart, lSemicolon == std::string::npos ? std::string::npos : lSemicolon - lStart));
    const auto lEqual = lPart.find('=');
    const std::string lName = Trim(std::string_view(lPart).substr(0, lEqual));
    const std::string lValue = lEqual == std::string::npos ? std::string() : Trim(std::string_view(lPart).substr(lEqual + 1));
    const bool lHasValue = lEqual != std::string::npos;
    if (lName == "client_max_window_bits") {
      if (lHasValue) SetClientMaxWindowBits(ParameterValue(lValue));
    } else if (lName == "client_no_context_takeover") {
      FClientNoContextTakeOver = true;
    } else if (lName == "serv_max_window_bits" || lName == "server_max_window_bits") {
      // The RFC's name, and the shorter one some servers use.
      if (lHasValue) SetServerMaxWindowBits(ParameterValue(lValue));
    } else if (lName == "server_no_context_takeover") {
      FServerNoContextTakeOver = true;
    }
    if (!lPart.empty()) lHeader += (lHeader.empty() ? "" : "; ") + lPart;
    if (lSemicolon == std::string::npos) break;
    lStart = lSemicolon + 1;
  }
  // zlib cannot produce raw deflate with a 256-byte window, and a larger one could refer further
  // back than the peer keeps: refuse the answer rather than send what the peer cannot read.
  const int lOwnBits = Client() ? FClientMaxWindowBits : FServerMaxWindowBits;
  if (lOwnBits == 8)
    throw Exception("permessage-deflate: cannot compress with a window of 8 bits (zlib needs 9 to 15)");
  FHeaderExtension = lHeader;
  return true;
}

void TqmtWSExtension_PerMessage_Deflate::DeflateFrame(std::string_view aData, bool aFinal, std::string& aOut) {
  aOut.clear();
  const bool lClient = Client();
  if (!FDefStream)
    FDefStream = std::make_unique<TqmtDeflater>(1, lClient ? FClientMaxWindowBits : FServerMaxWindowBits, FMemLevel);
  FDefStream->Compress(aData, aOut);
  if (!aFinal) return;
  // The message ends at the sync flush; its empty stored block is implied (RFC 7692 7.2.1).
  if (aOut.size() >= kSyncTrailer.size() && std::string_view(aOut).substr(aOut.size() - 4) == kSyncTrailer)
    aOut.resize(aOut.size() - 4);
  if (lClient ? FClientNoContextTakeOver : FServerNoContextTakeOver) FDefStream->Reset();
}

bool TqmtWSExtension_PerMessage_Deflate::InflateFrame(std::string_view aData, bool aFinal, std::string& aOut,
                                                      std::size_t aLimit) {
  if (!FInfStream) FInfStream = std::make_unique<TqmtInflater>();
  if (!aData.empty()) {
    FInflating = true;
    if (!FInfStream->Inflate(aData, aOut, aLimit)) return false;
  }
  if (!aFinal) return true;
  // A compressed message with no payload at all is empty (an encoder sends 00 for it).
  if (!FInflating) return true;
  FInflating = false;
  if (!FInfStream->Inflate(kSyncTrailer, aOut, aLimit)) return false;
  if (!FInfStream->AtBlockBoundary()) throw Exception("compressed message ends inside a deflate block");
  FInfStream->NextMessage(!(Client() ? FServerNoContextTakeOver : FClientNoContextTakeOver));
  return true;
}

// ---- deflate-frame ------------------------------------------------------------------------------

TqmtWSExtension_DeflateFrame::TqmtWSExtension_DeflateFrame() = default;
TqmtWSExtension_DeflateFrame::~TqmtWSExtension_DeflateFrame() = default;

void TqmtWSExtension_DeflateFrame::Assign(const TqmtWSExtension_Base& aSource) {
  TqmtWSExtension_Base::Assign(aSource);
  if (const auto* s = dynamic_cast<const TqmtWSExtension_DeflateFrame*>(&aSource)) FWindowBits = s->FWindowBits;
}

void TqmtWSExtension_DeflateFrame::SetWindowBits(int aValue) {
  CheckWindowBits(aValue);
  FWindowBits = aValue;
}

bool TqmtWSExtension_DeflateFrame::DecodeExtension(const std::string& aEntry) {
  if (!ContainsText(aEntry, "x-webkit-deflate-frame")) return false;
  if (FWindowBits == 8)
    throw Exception("x-webkit-deflate-frame: cannot compress with a window of 8 bits (zlib needs 9 to 15)");
  FHeaderExtension = Trim(aEntry);
  return true;
}

void TqmtWSExtension_DeflateFrame::DeflateFrame(std::string_view aData, bool, std::string& aOut) {
  // Every frame ends its own piece of the stream; the history carries on.
  aOut.clear();
  if (!FDefStream) FDefStream = std::make_unique<TqmtDeflater>(Z_DEFAULT_COMPRESSION, FWindowBits, 1);
  FDefStream->Compress(aData, aOut);
  if (aOut.size() >= 4 && std::string_view(aOut).substr(aOut.size() - 4) == kSyncTrailer) aOut.resize(aOut.size() - 4);
}

bool TqmtWSExtension_DeflateFrame::InflateFrame(std::string_view aData, bool, std::string& aOut, std::size_t aLimit) {
  if (aData.empty()) return true;
  if (!FInfStream) FInfStream = std::make_unique<TqmtInflater>();
  if (!FInfStream->Inflate(aData, aOut, aLimit) || !FInfStream->Inflate(kSyncTrailer, aOut, aLimit)) return false;
  if (!FInfStream->AtBlockBoundary()) throw Exception("compressed frame ends inside a deflate block");
  FInfStream->NextMessage(true);
  return true;
}

// ---- the list -----------------------------------------------------------------------------------

TqmtWSExtensions::TqmtWSExtensions() = default;
TqmtWSExtensions::~TqmtWSExtensions() = default;

void TqmtWSExtensions::SetMode(TwsApplicationMode aValue) {
  FMode = aValue;
  FDeflateFrame.SetMode(aValue);
  FPerMessage_Deflate.SetMode(aValue);
}

std::unique_ptr<TqmtWSExtensions> TqmtWSExtensions::Clone() const {
  auto lCopy = std::make_unique<TqmtWSExtensions>();
  lCopy->SetMode(FMode);
  lCopy->FDeflateFrame.Assign(FDeflateFrame);
  lCopy->FPerMessage_Deflate.Assign(FPerMessage_Deflate);
  return lCopy;
}

void TqmtWSExtensions::WriteHeader(std::vector<std::string>& aLines) const {
  const std::string lPrefix = "Sec-WebSocket-Extensions: ";
  if (FMode == TwsApplicationMode::appClient) {
    if (FPerMessage_Deflate.Enabled()) aLines.push_back(lPrefix + FPerMessage_Deflate.OfferExtension());
    if (FDeflateFrame.Enabled()) aLines.push_back(lPrefix + FDeflateFrame.GetName());
    return;
  }
  if (FPerMessage_Deflate.Active()) aLines.push_back(lPrefix + FPerMessage_Deflate.GetHeaderExtension());
  if (FDeflateFrame.Active()) aLines.push_back(lPrefix + FDeflateFrame.GetHeaderExtension());
}

void TqmtWSExtensions::DecodeExtensions(const std::string& aAnswer) {
  std::size_t lStart = 0;
  for (;;) {
    const auto lComma = aAnswer.find(',', lStart);
    const std::string lEntry = aAnswer.substr(lStart, lComma == std::string::npos ? std::string::npos : lComma - lStart);
    if (FPerMessage_Deflate.Enabled() && !FPerMessage_Deflate.Active() && FPerMessage_Deflate.DecodeExtension(lEntry))
      FPerMessage_Deflate.SetActive(true);
    if (FDeflateFrame.Enabled() && !FPerMessage_Deflate.Active() && !FDeflateFrame.Active() &&
        FDeflateFrame.DecodeExtension(lEntry))
      FDeflateFrame.SetActive(true);
    if (lComma == std::string::npos) break;
    lStart = lComma + 1;
  }
  // An answer naming both (in either order) gets permessage-deflate only: two compressors on one
  // connection would have to agree on RSV1, and they cannot.
  if (FPerMessage_Deflate.Active()) FDeflateFrame.SetActive(false);
  FExtensionNegotiated = GetCompression();
}

std::vector<std::string> TqmtWSExtensions::List() const {
  std::vector<std::string> lList;
  if (FPerMessage_Deflate.Active()) lList.push_back(FPerMessage_Deflate.GetName());
  if (FDeflateFrame.Active()) lList.push_back(FDeflateFrame.GetName());
  return lList;
}

TqmtWSExtension_Base* TqmtWSExtensions::Current() {
  if (FPerMessage_Deflate.Active()) return &FPerMessage_Deflate;
  if (FDeflateFrame.Active()) return &FDeflateFrame;
  return nullptr;
}

void TqmtWSExtensions::EncodeHeader(std::uint8_t& aByte) {
  if (auto* e = Current()) e->EncodeHeader(aByte);
}

void TqmtWSExtensions::DecodeHeader(std::uint8_t aByte) {
  if (auto* e = Current()) e->DecodeHeader(aByte);
}

bool TqmtWSExtensions::ReadCompressed() const {
  const auto* e = Current();
  return e && e->MessageCompressed();
}

void TqmtWSExtensions::WriteStream(std::string_view aData, bool aFinal, std::string& aOut) {
  if (auto* e = Current()) {
    e->DeflateFrame(aData, aFinal, aOut);
    return;
  }
  aOut.assign(aData);
}

bool TqmtWSExtensions::ReadStream(std::string_view aData, bool aFinal, std::string& aOut, std::size_t aLimit) {
  if (auto* e = Current()) return e->InflateFrame(aData, aFinal, aOut, aLimit);
  if (aOut.size() + aData.size() > aLimit) return false;
  aOut.append(aData);
  return true;
}
