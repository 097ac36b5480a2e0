// Single key presses for the console tool: the confirmation key, "is a key waiting" during the
// download, and the wait for one line after a failed start.
//
// On a terminal (a console on windows) keys are read one at a time without echo. When standard
// input is not a terminal (a pipe or a file, e.g. `echo y | flashtool`) the next byte counts as
// the key; the end of input is never a key, and line ends (CR, LF) are not taken as key presses
// while the download runs, so the line end that follows a piped answer does not abort it.
//
// Only a key pressed once the download has started aborts it: what was typed ahead (the Enter
// after "y", keys pressed while the device switched run mode) is discarded when it starts. A key
// that sends a sequence (arrows, function keys) counts as one key, and nothing typed is left
// for the shell when single-key mode ends.
#pragma once

namespace plendrik {

// The console under the key reader: the platform's part, replaceable in tests.
class QXConsoleInputPort {
 public:
  virtual ~QXConsoleInputPort() = default;

  // Whether standard input is an interactive terminal / console.
  virtual bool IsTerminal() = 0;
  // Terminal: switches to reading single keys without echo (and back). Nested calls are
  // counted; the terminal is restored also when the program is ended by a signal.
  virtual void BeginKeyInput() = 0;
  virtual void EndKeyInput() = 0;
  // Terminal: one key without echo, waiting for it, with the rest of its sequence (an arrow or
  // function key); -1 when none can be read.
  virtual int ReadTerminalKey() = 0;
  // Terminal: drops every key typed but not yet read.
  virtual void DiscardTerminalInput() = 0;
  // Terminal: whether a key can be read without waiting.
  virtual bool IsTerminalKeyWaiting() = 0;
  // Terminal: reads up to the end of the typed line (the normal, echoing input).
  virtual void ReadTerminalLine() = 0;
  // Stream: the next byte, waiting for it; -1 at the end of input.
  virtual int ReadStreamByte() = 0;
  // Stream: whether a byte or the end of input can be read without waiting.
  virtual bool IsStreamReadable() = 0;
  // Whether the tool's output stands in the middle of a line (a progress line that ends in a
  // carriage return). When Ctrl+C or another ending signal ends the program meanwhile, the line
  // gets its line end first, so the shell's prompt starts on a line of its own.
  virtual void SetLineOpen(bool open) = 0;
};

// The platform's console.
QXConsoleInputPort& QXGetPlatformConsoleInputPort();

class QXConsoleKeys {
 public:
  static constexpr int kNoKey = -1;

  explicit QXConsoleKeys(QXConsoleInputPort& port) : mPort(port) {}

  // The confirmation: one key (terminal) or the next byte (stream); kNoKey at end of input.
  int ReadKey();
  // Whether a key that aborts is waiting; a following ReadKey returns it.
  bool IsKeyWaiting();
  // Waits for one line of input (after a failed start, so that the message stays readable).
  void WaitForLine();
  // Drops what was typed ahead: pending terminal keys, or the stream bytes readable now.
  void DiscardTypeAhead();
  // See QXConsoleInputPort::SetLineOpen.
  void SetLineOpen(bool open) { mPort.SetLineOpen(open); }

  // Keeps the terminal in single-key mode for the scope's lifetime.
  class Scope {
   public:
    explicit Scope(QXConsoleKeys& keys);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    QXConsoleKeys& mKeys;
    bool mTerminal;
  };

 private:
  QXConsoleInputPort& mPort;
  int mPendingKey = kNoKey;  // a stream byte taken by IsKeyWaiting
  bool mEndOfInput = false;
};

// The tool's key reader (over the platform's console unless a test installed another port).
QXConsoleKeys& QXGetConsoleKeys();
// Installs a port for the tool's key reader (null: the platform's). Only for tests.
void QXSetConsoleInputPort(QXConsoleInputPort* port);

}  // namespace plendrik
