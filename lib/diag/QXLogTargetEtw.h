// The ETW log target: each message becomes one event whose single data item is the line.
#pragma once

#include "diag/QXEtwProvider.h"
#include "diag/QXLog.h"

namespace plendrik {

class QXLogTargetEtw : public QXLogTarget {
 public:
  // The library's provider: {5C0E3F7A-9B61-4D2E-8F4B-2A6D1E9C7B35}.
  static constexpr QXEtwGuid kProviderGuid = {0x5C0E3F7A, 0x9B61, 0x4D2E, {0x8F, 0x4B, 0x2A, 0x6D, 0x1E, 0x9C, 0x7B, 0x35}};
  static constexpr QXEtwEventDescriptor kEventDescriptor = {1, 1, 0, 4, 0, 0, 0};

  QXLogTargetEtw();
  ~QXLogTargetEtw() override;

  QXSTATUS StartTarget(QXLogConfiguration* configuration) override;
  void StopTarget() override;
  void OutputMessage(QXLogMessage& message, const QXLogger& logger, const QXLogRecord& record) override;
  // False while the provider is not registered.
  bool WillWrite(int32_t level) const override;
  bool IsRegistered() const { return mRegistrationHandle != 0; }

 private:
  uint64_t mRegistrationHandle = 0;
};

}  // namespace plendrik
