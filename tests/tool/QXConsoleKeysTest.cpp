#include <gtest/gtest.h>

#include "FakeConsole.h"
#include "QXConsoleKeys.h"

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

}  // namespace
