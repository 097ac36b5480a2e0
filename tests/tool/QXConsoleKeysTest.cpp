#include <gtest/gtest.h>

#include <cstdio>

#include "FakeConsole.h"
#include "QXConsoleKeys.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using fbtest::FakeConsole;
using plendrik::QXConsoleKeys;

TEST(QXConsoleKeysStream, ConfirmationTakesTheNextByteAndEndOfInputIsNoKey) {
  FakeConsole console;
  console.bytes = {'y', '\n'};
  console.endOfInput = true;
  QXConsoleKeys keys(console);
  EXPECT_EQ(keys.ReadKey(), 'y');
  EXPECT_EQ(keys.ReadKey(), '\n');
  EXPECT_EQ(keys.ReadKey(), QXConsoleKeys::kNoKey);
  // Once the end was seen the stream is not read again.
  const int reads = console.streamReads;
  EXPECT_EQ(keys.ReadKey(), QXConsoleKeys::kNoKey);
  EXPECT_EQ(console.streamReads, reads);
  EXPECT_EQ(console.keyInputBegins, 0);
}

TEST(QXConsoleKeysStream, EndOfInputNeverAbortsAndLineEndsAreSkipped) {
  FakeConsole console;
  console.bytes = {'\n', '\r', '\n'};
  console.endOfInput = true;
  QXConsoleKeys keys(console);
  EXPECT_FALSE(keys.IsKeyWaiting());
  EXPECT_FALSE(keys.IsKeyWaiting());
  EXPECT_TRUE(console.bytes.empty());
}

TEST(QXConsoleKeysStream, NothingReadableYetIsNoKeyAndALaterByteIs) {
  FakeConsole console;
  QXConsoleKeys keys(console);
  EXPECT_FALSE(keys.IsKeyWaiting());
  EXPECT_EQ(console.streamReads, 0);  // no blocking read while nothing waits
  console.bytes = {'\n', 'x', 'z'};
  EXPECT_TRUE(keys.IsKeyWaiting());
  EXPECT_TRUE(keys.IsKeyWaiting());  // the taken byte stays pending until read
  EXPECT_EQ(keys.ReadKey(), 'x');
  EXPECT_TRUE(keys.IsKeyWaiting());
  EXPECT_EQ(keys.ReadKey(), 'z');
  EXPECT_FALSE(keys.IsKeyWaiting());
}

TEST(QXConsoleKeysStream, WaitForLineReadsOneByteAndStopsAtTheEnd) {
  FakeConsole console;
  console.bytes = {'\n'};
  console.endOfInput = true;
  QXConsoleKeys keys(console);
  keys.WaitForLine();
  EXPECT_EQ(console.streamReads, 1);
  keys.WaitForLine();  // the end of input: returns at once
  keys.WaitForLine();
  EXPECT_EQ(console.streamReads, 2);
}

TEST(QXConsoleKeysTerminal, KeysAreReadInSingleKeyModeAndTheModeIsLeftAgain) {
  FakeConsole console;
  console.terminal = true;
  console.bytes = {'Y'};
  QXConsoleKeys keys(console);
  EXPECT_EQ(keys.ReadKey(), 'Y');
  EXPECT_EQ(console.keyInputBegins, 1);
  EXPECT_EQ(console.keyInputDepth, 0);
  {
    QXConsoleKeys::Scope scope(keys);
    EXPECT_EQ(console.keyInputDepth, 1);
    EXPECT_FALSE(keys.IsKeyWaiting());
    console.bytes = {'\n'};
    EXPECT_TRUE(keys.IsKeyWaiting());  // on a terminal Enter is a key like any other
    EXPECT_EQ(keys.ReadKey(), '\n');
  }
  EXPECT_EQ(console.keyInputDepth, 0);
  keys.WaitForLine();
  EXPECT_EQ(console.linesRead, 1);
  EXPECT_EQ(console.streamReads, 0);
}

// What was typed before the download started is dropped; a key typed after it is not.
TEST(QXConsoleKeys, TypeAheadIsDiscardedAndALaterKeyStillCounts) {
  for (const bool terminal : {false, true}) {
    SCOPED_TRACE(terminal ? "terminal" : "stream");
    FakeConsole console;
    console.terminal = terminal;
    console.bytes = {'y', 'e', 's', '\n'};
    QXConsoleKeys keys(console);
    EXPECT_TRUE(keys.IsKeyWaiting());  // also a key already taken as pending goes
    keys.DiscardTypeAhead();
    EXPECT_FALSE(keys.IsKeyWaiting());
    console.bytes = {'q'};
    EXPECT_TRUE(keys.IsKeyWaiting());
    EXPECT_EQ(keys.ReadKey(), 'q');
    EXPECT_EQ(console.terminalDiscards, terminal ? 1 : 0);
  }
}

TEST(QXConsoleKeysStream, DiscardStopsAtTheEndOfInputWithoutWaiting) {
  FakeConsole console;
  console.bytes = {'a', 'b'};
  console.endOfInput = true;
  QXConsoleKeys keys(console);
  keys.DiscardTypeAhead();
  EXPECT_FALSE(keys.IsKeyWaiting());
  EXPECT_EQ(keys.ReadKey(), QXConsoleKeys::kNoKey);
}

// The platform's console over a real pipe as standard input: bytes written before the discard
// are gone, a byte written after it is the key.
TEST(QXConsoleKeysPlatform, PipedTypeAheadIsDiscarded) {
  int fds[2];
#if defined(_WIN32)
  ASSERT_EQ(_pipe(fds, 256, _O_BINARY), 0);
  // Both the run-time's descriptor 0 (which tells whether input is a console) and the
  // system's standard input handle (which is read) become the pipe.
  const HANDLE savedHandle = GetStdHandle(STD_INPUT_HANDLE);
  const int savedInput = _dup(0);
  ASSERT_EQ(_dup2(fds[0], 0), 0);
  ASSERT_TRUE(SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(0))));
  const auto writeBytes = [&](const char* text, unsigned n) { return _write(fds[1], text, n); };
#else
  ASSERT_EQ(pipe(fds), 0);
  const int savedInput = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
  const auto writeBytes = [&](const char* text, size_t n) { return write(fds[1], text, n); };
#endif
  {
    QXConsoleKeys keys(plendrik::QXGetPlatformConsoleInputPort());
    ASSERT_EQ(writeBytes("y\nabc", 5), 5);
    keys.DiscardTypeAhead();
    EXPECT_FALSE(keys.IsKeyWaiting());
    ASSERT_EQ(writeBytes("q", 1), 1);
    EXPECT_TRUE(keys.IsKeyWaiting());
    EXPECT_EQ(keys.ReadKey(), 'q');
  }
#if defined(_WIN32)
  if (savedInput >= 0) {
    _dup2(savedInput, 0);
    _close(savedInput);
  }
  SetStdHandle(STD_INPUT_HANDLE, savedHandle);
  _close(fds[0]);
  _close(fds[1]);
#else
  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  close(fds[0]);
  close(fds[1]);
#endif
}

}  // namespace
