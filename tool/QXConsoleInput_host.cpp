// The host's console: termios without ICANON and ECHO for single keys, poll() for "a key is
// waiting". The saved terminal settings are restored when key input ends, at exit, and from
// the handlers of the signals that end the program (Ctrl+C among them), which then re-raise.
// Ctrl+Z gives the shell its terminal back as it was; `fg` returns to single-key mode.
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
constexpr size_t kEndingSignalCount = sizeof(kEndingSignals) / sizeof(kEndingSignals[0]);
// The rest of a key's sequence (ESC [ A for an arrow) arrives together with its first byte;
// this bounds the wait for it, so that a lone Escape key still reads as one key.
constexpr int kSequenceGapMs = 30;

struct termios gSavedTerminal;
struct termios gKeyTerminal;
volatile sig_atomic_t gTerminalChanged = 0;  // the terminal is in single-key mode now
volatile sig_atomic_t gKeyInputActive = 0;   // single-key mode is wanted (kept over Ctrl+Z)
volatile sig_atomic_t gLineOpen = 0;
struct sigaction gPreviousActions[kEndingSignalCount];
struct sigaction gPreviousStop;
struct sigaction gPreviousContinue;

void RestoreTerminal() {
  if (gTerminalChanged != 0) {
    tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
    gTerminalChanged = 0;
  }
}

void EndOpenLine() {
  if (gLineOpen != 0) {
    gLineOpen = 0;
    const ssize_t ignored = write(STDOUT_FILENO, "\n", 1);
    (void)ignored;
  }
}

extern "C" void RestoreTerminalOnSignal(int signalNumber) {
  const int savedErrno = errno;
  RestoreTerminal();
  EndOpenLine();
  // Let the signal do what it would have done: default action, re-raised.
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
  errno = savedErrno;
}

void ReenterKeyMode() {
  if (gKeyInputActive != 0 && gTerminalChanged == 0) {
    if (tcsetattr(STDIN_FILENO, TCSANOW, &gKeyTerminal) == 0) {
      gTerminalChanged = 1;
    }
  }
}

extern "C" void RestoreTerminalOnStop(int) {
  const int savedErrno = errno;
  RestoreTerminal();
  // Stop as the default action would; the handler is back in place for the next Ctrl+Z.
  struct sigaction stop = {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  struct sigaction mine;
  sigaction(SIGTSTP, &stop, &mine);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, SIGTSTP);
  sigset_t before;
  sigprocmask(SIG_UNBLOCK, &unblock, &before);
  raise(SIGTSTP);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  sigaction(SIGTSTP, &mine, nullptr);
  // Continued (or the stop was not carried out, as for an orphaned process group).
  ReenterKeyMode();
  errno = savedErrno;
}

extern "C" void ReenterKeyModeOnContinue(int) {
  const int savedErrno = errno;
  ReenterKeyMode();
  errno = savedErrno;
}

extern "C" void RestoreTerminalAtExit() {
  RestoreTerminal();
  EndOpenLine();
}

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

bool CanReadWithin(int timeoutMs) {
  struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
  for (;;) {
    const int n = poll(&fd, 1, timeoutMs);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    // POLLHUP/POLLERR: a read answers the end of input at once.
    return n > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
}

// The next byte of a key's sequence, when it follows at once; -1 otherwise.
int NextSequenceByte() { return CanReadWithin(kSequenceGapMs) ? ReadOneByte() : -1; }

// Reads the rest of an escape sequence after ESC: CSI (ESC [ parameters final), SS3 (ESC O x)
// or a key with Alt (ESC x).
void SkipEscapeSequence() {
  const int introducer = NextSequenceByte();
  if (introducer == '[') {
    for (;;) {
      const int byte = NextSequenceByte();
      if (byte < 0 || (byte >= 0x40 && byte <= 0x7E)) {
        return;
      }
    }
  }
  if (introducer == 'O') {
    NextSequenceByte();
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
    gKeyTerminal = current;
    gKeyTerminal.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    gKeyTerminal.c_cc[VMIN] = 1;
    gKeyTerminal.c_cc[VTIME] = 0;
    AcquireEndingHandlers();
    InstallStopHandlers();
    gKeyInputActive = 1;
    gTerminalChanged = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &gKeyTerminal) != 0) {
      gTerminalChanged = 0;
    }
  }

  void EndKeyInput() override {
    if (mDepth == 0 || --mDepth > 0) {
      return;
    }
    gKeyInputActive = 0;
    // Keys typed but not read (the rest of a sequence, keys pressed as the tool ends) would
    // otherwise reach the shell's command line.
    if (gTerminalChanged != 0) {
      tcflush(STDIN_FILENO, TCIFLUSH);
    }
    RestoreTerminal();
    RemoveStopHandlers();
    ReleaseEndingHandlers();
  }

  int ReadTerminalKey() override {
    const int key = ReadOneByte();
    if (key == 0x1B) {
      SkipEscapeSequence();
    }
    return key;
  }

  bool IsTerminalKeyWaiting() override { return CanReadWithin(0); }

  void DiscardTerminalInput() override { tcflush(STDIN_FILENO, TCIFLUSH); }

  void ReadTerminalLine() override {
    for (;;) {
      const int byte = ReadOneByte();
      if (byte < 0 || byte == '\n') {
        return;
      }
    }
  }

  int ReadStreamByte() override { return ReadOneByte(); }
  bool IsStreamReadable() override { return CanReadWithin(0); }

  void SetLineOpen(bool open) override {
    if (open == (gLineOpen != 0)) {
      return;
    }
    if (open) {
      AcquireEndingHandlers();
      gLineOpen = 1;
    } else {
      gLineOpen = 0;
      ReleaseEndingHandlers();
    }
  }

 private:
  // The handlers of the ending signals stay while key input runs or a line is open.
  void AcquireEndingHandlers() {
    if (mEndingHandlerUsers++ > 0) {
      return;
    }
    if (!mExitHandlerInstalled) {
      atexit(RestoreTerminalAtExit);
      mExitHandlerInstalled = true;
    }
    struct sigaction action = {};
    action.sa_handler = RestoreTerminalOnSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kEndingSignalCount; ++i) {
      sigaction(kEndingSignals[i], &action, &gPreviousActions[i]);
    }
  }

  void ReleaseEndingHandlers() {
    if (mEndingHandlerUsers == 0 || --mEndingHandlerUsers > 0) {
      return;
    }
    for (size_t i = 0; i < kEndingSignalCount; ++i) {
      sigaction(kEndingSignals[i], &gPreviousActions[i], nullptr);
    }
  }

  static void InstallStopHandlers() {
    struct sigaction stop = {};
    stop.sa_handler = RestoreTerminalOnStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTSTP, &stop, &gPreviousStop);
    struct sigaction resume = {};
    resume.sa_handler = ReenterKeyModeOnContinue;
    sigemptyset(&resume.sa_mask);
    sigaction(SIGCONT, &resume, &gPreviousContinue);
  }

  static void RemoveStopHandlers() {
    sigaction(SIGTSTP, &gPreviousStop, nullptr);
    sigaction(SIGCONT, &gPreviousContinue, nullptr);
  }

  int mDepth = 0;
  int mEndingHandlerUsers = 0;
  bool mExitHandlerInstalled = false;
};

}  // namespace

QXConsoleInputPort& QXGetPlatformConsoleInputPort() {
  static HostConsoleInputPort port;
  return port;
}

}  // namespace plendrik
