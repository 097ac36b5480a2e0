// An opened device session with its run mode and, during an upgrade, its worker.
#pragma once

#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {

class DfuDevice : public QXRefCounted {
 public:
  DfuDevice() = default;

 protected:
  ~DfuDevice() override = default;
};

}  // namespace plendrik
