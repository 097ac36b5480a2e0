#include "QXLogTargetEtw.h"

#include <cstring>

#include "diag/QXDebugPrintf.h"
#include "os/QXOsThread.h"

namespace plendrik {

QXLogTargetEtw::QXLogTargetEtw() : QXLogTarget("EventTracing", kQXLogLevelAll, 0x500) {}

QXLogTargetEtw::~QXLogTargetEtw() {
  // Once the process is ending the registration is left to the system.
  if (!QXOsIsProcessEnding()) {
    StopTarget();
  }
}

QXSTATUS QXLogTargetEtw::StartTarget(QXLogConfiguration*) {
  if (mRegistrationHandle != 0) {
    return QXSTATUS_SUCCESS;
  }
  const uint32_t err = QXEtwRegister(kProviderGuid, mRegistrationHandle);
  if (err != 0) {
    QXDebugPrintf("%s: ERROR: %s: EtwRegister failed, st=0x%08x\n", QXGetModuleName(), "plendrik::QXLogTargetEtw::StartTarget",
                  err);
    mRegistrationHandle = 0;
    return err;
  }
  return QXSTATUS_SUCCESS;
}

void QXLogTargetEtw::StopTarget() {
  if (mRegistrationHandle != 0) {
    QXEtwUnregister(mRegistrationHandle);
    mRegistrationHandle = 0;
  }
}

bool QXLogTargetEtw::WillWrite(int32_t level) const { return level <= mLevel && mRegistrationHandle != 0; }

void QXLogTargetEtw::OutputMessage(QXLogMessage& message, const QXLogger& logger, const QXLogRecord& record) {
  if (!WillWrite(record.level)) {
    return;
  }
  CreatePrefix(mPrefixOptions, message, logger, record);
  char line[QXLogMessage::kPrefixSize + QXLogMessage::kTextSize];
  const size_t prefixLength = strlen(message.prefix);
  memcpy(line, message.prefix, prefixLength);
  const size_t textLength = strnlen(message.text, sizeof(message.text) - 1);
  memcpy(line + prefixLength, message.text, textLength);
  line[prefixLength + textLength] = '\0';
  QXEtwWriteString(mRegistrationHandle, kEventDescriptor, line);
}

}  // namespace plendrik
