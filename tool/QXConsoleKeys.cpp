#include "QXConsoleKeys.h"

#include <memory>

namespace plendrik {

namespace {
std::unique_ptr<QXConsoleKeys> gConsoleKeys;
}  // namespace

int QXConsoleKeys::ReadKey() {
  if (mPendingKey != kNoKey) {
    const int key = mPendingKey;
    mPendingKey = kNoKey;
    return key;
  }
  if (mPort.IsTerminal()) {
    Scope scope(*this);
    return mPort.ReadTerminalKey();
  }
  if (mEndOfInput) {
    return kNoKey;
  }
  const int byte = mPort.ReadStreamByte();
  if (byte < 0) {
    mEndOfInput = true;
    return kNoKey;
  }
  return byte;
}

bool QXConsoleKeys::IsKeyWaiting() {
  if (mPendingKey != kNoKey) {
    return true;
  }
  if (mPort.IsTerminal()) {
    return mPort.IsTerminalKeyWaiting();
  }
  while (!mEndOfInput && mPort.IsStreamReadable()) {
    const int byte = mPort.ReadStreamByte();
    if (byte < 0) {
      mEndOfInput = true;
    } else if (byte != '\r' && byte != '\n') {
      mPendingKey = byte;
      return true;
    }
  }
  return false;
}

void QXConsoleKeys::WaitForLine() {
  mPendingKey = kNoKey;
  if (mPort.IsTerminal()) {
    mPort.ReadTerminalLine();
    return;
  }
  if (!mEndOfInput && mPort.ReadStreamByte() < 0) {
    mEndOfInput = true;
  }
}

void QXConsoleKeys::DiscardTypeAhead() {
  mPendingKey = kNoKey;
  if (mPort.IsTerminal()) {
    mPort.DiscardTerminalInput();
    return;
  }
  // A pipe or a file: what can be read without waiting was there before the download started.
  while (!mEndOfInput && mPort.IsStreamReadable()) {
    if (mPort.ReadStreamByte() < 0) {
      mEndOfInput = true;
    }
  }
}

QXConsoleKeys::Scope::Scope(QXConsoleKeys& keys) : mKeys(keys), mTerminal(keys.mPort.IsTerminal()) {
  if (mTerminal) {
    mKeys.mPort.BeginKeyInput();
  }
}

QXConsoleKeys::Scope::~Scope() {
  if (mTerminal) {
    mKeys.mPort.EndKeyInput();
  }
}

QXConsoleKeys& QXGetConsoleKeys() {
  if (!gConsoleKeys) {
    gConsoleKeys = std::make_unique<QXConsoleKeys>(QXGetPlatformConsoleInputPort());
  }
  return *gConsoleKeys;
}

void QXSetConsoleInputPort(QXConsoleInputPort* port) {
  gConsoleKeys = std::make_unique<QXConsoleKeys>(port != nullptr ? *port : QXGetPlatformConsoleInputPort());
}

}  // namespace plendrik
