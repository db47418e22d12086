// A WebSocket connection over memory: bytes fed in play the server, bytes written are kept. Drives the
// frame codec with byte vectors (tests, fuzzing, benchmarks).
#pragma once

#include <string>

#include "qmtWebSocket_Classes.h"

class TqmtWSConnectionMemory : public TqmtWSConnection {
public:
  TqmtWSConnectionMemory() {
    FEnabled = true;  // as after a completed handshake
    FCleanDisconnect = true;
  }
  // Adds bytes to the input and runs the reader over what is buffered.
  void Feed(std::string_view aBytes) {
    Input.append(aBytes);
    DoRead(false);
  }
  void SetEnabled(bool aValue) { FEnabled = aValue; }
  void Reset() {
    Input.clear();
    FStart = 0;
  }

  std::string Input;
  std::size_t FStart = 0;
  std::string Output;
  bool SocketClosed = false;

protected:
  bool HasTCPConnection() const override { return !SocketClosed; }
  std::size_t DoGetInputSize() override { return Input.size() - FStart; }
  char* DoInputData() override { return Input.data() + FStart; }
  void DoConsumeInput(std::size_t n) override {
    FStart += n;
    if (FStart == Input.size()) Reset();
  }
  void DoWaitForData(int) override {}
  void DoWriteBytes(std::string_view aData) override { Output.append(aData); }
  void DoClearInput() override { Reset(); }
  void DoCloseSocket() override { SocketClosed = true; }
};
