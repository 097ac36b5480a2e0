// The host library's status naming for callers (the Python package): the same names the log
// shows, from the library's own tables, so that no caller keeps a copy of them.
#include "diag/QXStatusNames.h"
#include "flashbridge_host.h"

extern "C" const char* QXHOST_GetStatusLogName(QXSTATUS status) { return plendrik::QXStatusLogName(status); }
