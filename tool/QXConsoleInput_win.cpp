// The windows console: _getch/_kbhit for a console; for redirected input (a pipe or a file)
// ReadFile on the standard input handle, with PeekNamedPipe telling whether a byte waits.
#include <conio.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "QXConsoleKeys.h"

namespace plendrik {

namespace {

class WinConsoleInputPort final : public QXConsoleInputPort {
 public:
  bool IsTerminal() override { return _isatty(_fileno(stdin)) != 0; }

  // _getch already reads without echo and without waiting for a line.
  void BeginKeyInput() override {}
  void EndKeyInput() override {}

  int ReadTerminalKey() override { return _getch(); }
  bool IsTerminalKeyWaiting() override { return _kbhit() != 0; }

  void ReadTerminalLine() override {
    for (;;) {
      const int c = getchar();
      if (c == EOF || c == '\n') {
        return;
      }
    }
  }

  int ReadStreamByte() override {
    unsigned char byte = 0;
    DWORD read = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) || read != 1) {
      return -1;
    }
    return byte;
  }

  bool IsStreamReadable() override {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
      return true;  // a read answers the end of input at once
    }
    if (GetFileType(input) != FILE_TYPE_PIPE) {
      return true;  // a file never makes a read wait
    }
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
      return true;  // broken pipe: the end of input
    }
    return available > 0;
  }
};

}  // namespace

QXConsoleInputPort& QXGetPlatformConsoleInputPort() {
  static WinConsoleInputPort port;
  return port;
}

}  // namespace plendrik
