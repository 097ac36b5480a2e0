// One enumeration result: the devices that matched a caller's filter.
#pragma once

#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {

class DfuEnumerator : public QXRefCounted {
 public:
  DfuEnumerator() = default;

 protected:
  ~DfuEnumerator() override = default;
};

}  // namespace plendrik
