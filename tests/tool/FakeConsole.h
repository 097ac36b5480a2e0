// A console for the key reader tests: either a terminal with a queue of keys, or a stream of
// bytes that may end. Counts the switches into and out of single-key mode.
#pragma once

#include <deque>

#include "QXConsoleKeys.h"

namespace fbtest {

class FakeConsole final : public plendrik::QXConsoleInputPort {
 public:
  bool terminal = false;
  std::deque<int> bytes;    // keys (terminal) or stream bytes waiting to be read
  bool endOfInput = false;  // stream: nothing follows the queued bytes
  int keyInputDepth = 0;
  int keyInputBegins = 0;
  int streamReads = 0;
  int linesRead = 0;
  int terminalDiscards = 0;
  bool lineOpen = false;

  bool IsTerminal() override { return terminal; }
  void BeginKeyInput() override {
    ++keyInputDepth;
    ++keyInputBegins;
  }
  void EndKeyInput() override { --keyInputDepth; }
  int ReadTerminalKey() override { return Take(); }
  bool IsTerminalKeyWaiting() override { return !bytes.empty(); }
  void ReadTerminalLine() override { ++linesRead; }
  void DiscardTerminalInput() override {
    ++terminalDiscards;
    bytes.clear();
  }
  void SetLineOpen(bool open) override { lineOpen = open; }
  int ReadStreamByte() override {
    ++streamReads;
    return Take();
  }
  bool IsStreamReadable() override { return !bytes.empty() || endOfInput; }

 private:
  int Take() {
    if (bytes.empty()) {
      return -1;
    }
    const int b = bytes.front();
    bytes.pop_front();
    return b;
  }
};

}  // namespace fbtest
