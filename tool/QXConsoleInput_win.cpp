// The windows console: _getch/_kbhit for a console; for redirected input (a pipe or a file)
// ReadFile on the standard input handle, with PeekNamedPipe telling whether a byte waits.
// Ctrl+C and Ctrl+Break end an open progress line before the default handler ends the program.
#include <conio.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "QXConsoleKeys.h"

namespace plendrik {

namespace {

volatile LONG gLineOpen = 0;

BOOL WINAPI EndOpenLineOnCtrl(DWORD event) {
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) &&
      InterlockedExchange(&gLineOpen, 0) != 0) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "\r\n", 2, &written, nullptr);
  }
  return FALSE;  // the next handler (the default one) ends the program
}

// Drops the keys the console holds and those _getch has taken from it but not handed out.
void DiscardConsoleKeys() {
  FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
  while (_kbhit() != 0) {
    _getch();
  }
}

class WinConsoleInputPort final : public QXConsoleInputPort {
 public:
  bool IsTerminal() override { return _isatty(_fileno(stdin)) != 0; }

  // _getch already reads without echo and without waiting for a line.
  void BeginKeyInput() override { ++mDepth; }
  void EndKeyInput() override {
    if (mDepth > 0 && --mDepth == 0) {
      // Keys not read (pressed as the tool ends) would otherwise reach the command prompt.
      DiscardConsoleKeys();
    }
  }

  // An arrow or function key comes from _getch as two codes, 0 or 0xE0 and then the key's.
  int ReadTerminalKey() override {
    const int key = _getch();
    if (key == 0 || key == 0xE0) {
      _getch();
    }
    return key;
  }

  void DiscardTerminalInput() override { DiscardConsoleKeys(); }
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

  void SetLineOpen(bool open) override {
    if (open && !mCtrlHandlerInstalled) {
      mCtrlHandlerInstalled = SetConsoleCtrlHandler(EndOpenLineOnCtrl, TRUE) != FALSE;
    }
    InterlockedExchange(&gLineOpen, open ? 1 : 0);
  }

 private:
  int mDepth = 0;
  bool mCtrlHandlerInstalled = false;
};

}  // namespace

QXConsoleInputPort& QXGetPlatformConsoleInputPort() {
  static WinConsoleInputPort port;
  return port;
}

}  // namespace plendrik
