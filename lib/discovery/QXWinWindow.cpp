#include "discovery/QXWinWindow.h"

#include <cstring>

namespace plendrik {

QXWString QXDevBroadcastInterfacePath(const QXDevBroadcastDeviceInterfaceW& broadcast) {
  if (broadcast.dbcc_size <= kQXDbccNameOffset) {
    return QXWString();
  }
  const size_t maxUnits = (broadcast.dbcc_size - kQXDbccNameOffset) / sizeof(QXWChar);
  const QXWChar* name = broadcast.dbcc_name;
  size_t length = 0;
  while (length < maxUnits && name[length] != 0) {
    ++length;
  }
  return QXWString(name, length);
}

}  // namespace plendrik
