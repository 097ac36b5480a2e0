// A device change registration: a filter, a callback and the thread that calls it.
#pragma once

#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {

class DfuNotification : public QXRefCounted {
 public:
  DfuNotification() = default;

 protected:
  ~DfuNotification() override = default;
};

}  // namespace plendrik
