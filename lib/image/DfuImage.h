// A loaded firmware image: a private copy of the image bytes and its format object.
#pragma once

#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {

class DfuImage : public QXRefCounted {
 public:
  DfuImage() = default;

 protected:
  ~DfuImage() override = default;
};

}  // namespace plendrik
