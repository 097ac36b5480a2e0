// A call into the session recorder from a seam decorator or the engine's hook. The recorder's
// bookkeeping allocates (maps, strings, the record's text), so it may throw std::bad_alloc;
// the seam's own call has been made by then (a handle may have been opened), so nothing of it
// may reach the caller. An exception ends the recording (QXSessionRecorder::Abandon, one
// warning) and the call answers a value-initialised result (false, an empty token).
#pragma once

#include "record/QXSessionRecorder.h"

namespace plendrik {

template <class Call>
auto QXRecorderCall(Call&& call) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (...) {
    QXSessionRecorder::Instance().Abandon("the session recorder failed");
    return decltype(call())();
  }
}

}  // namespace plendrik
