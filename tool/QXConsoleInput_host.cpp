// The host's console: termios without ICANON and ECHO for single keys, poll() for "a key is
// waiting". The saved terminal settings are restored when key input ends, at exit, and from
// the handlers of the signals that end the program (Ctrl+C among them), which then re-raise.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "QXConsoleKeys.h"

namespace plendrik {

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct termios gSavedTerminal;
volatile sig_atomic_t gTerminalChanged = 0;
struct sigaction gPreviousActions[sizeof(kEndingSignals) / sizeof(kEndingSignals[0])];

void RestoreTerminal() {
  if (gTerminalChanged != 0) {
    tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
    gTerminalChanged = 0;
  }
}

extern "C" void RestoreTerminalOnSignal(int signalNumber) {
  const int savedErrno = errno;
  RestoreTerminal();
  // Let the signal do what it would have done: default action, re-raised.
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
  errno = savedErrno;
}

extern "C" void RestoreTerminalAtExit() { RestoreTerminal(); }

int ReadOneByte() {
  unsigned char byte = 0;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n == 1) {
      return byte;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return -1;
  }
}

bool CanReadNow() {
  struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
  for (;;) {
    const int n = poll(&fd, 1, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    // POLLHUP/POLLERR: a read answers the end of input at once.
    return n > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
}

class HostConsoleInputPort final : public QXConsoleInputPort {
 public:
  bool IsTerminal() override { return isatty(STDIN_FILENO) == 1; }

  void BeginKeyInput() override {
    if (mDepth++ > 0) {
      return;
    }
    struct termios current;
    if (tcgetattr(STDIN_FILENO, &current) != 0) {
      return;
    }
    gSavedTerminal = current;
    if (!mExitHandlerInstalled) {
      atexit(RestoreTerminalAtExit);
      mExitHandlerInstalled = true;
    }
    struct sigaction action = {};
    action.sa_handler = RestoreTerminalOnSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof(kEndingSignals) / sizeof(kEndingSignals[0]); ++i) {
      sigaction(kEndingSignals[i], &action, &gPreviousActions[i]);
    }
    struct termios raw = current;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    gTerminalChanged = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
      gTerminalChanged = 0;
    }
    mSignalsInstalled = true;
  }

  void EndKeyInput() override {
    if (mDepth == 0 || --mDepth > 0) {
      return;
    }
    RestoreTerminal();
    if (mSignalsInstalled) {
      for (size_t i = 0; i < sizeof(kEndingSignals) / sizeof(kEndingSignals[0]); ++i) {
        sigaction(kEndingSignals[i], &gPreviousActions[i], nullptr);
      }
      mSignalsInstalled = false;
    }
  }

  int ReadTerminalKey() override { return ReadOneByte(); }
  bool IsTerminalKeyWaiting() override { return CanReadNow(); }

  void ReadTerminalLine() override {
    for (;;) {
      const int byte = ReadOneByte();
      if (byte < 0 || byte == '\n') {
        return;
      }
    }
  }

  int ReadStreamByte() override { return ReadOneByte(); }
  bool IsStreamReadable() override { return CanReadNow(); }

 private:
  int mDepth = 0;
  bool mExitHandlerInstalled = false;
  bool mSignalsInstalled = false;
};

}  // namespace

QXConsoleInputPort& QXGetPlatformConsoleInputPort() {
  static HostConsoleInputPort port;
  return port;
}

}  // namespace plendrik
