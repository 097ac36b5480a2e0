// The library's static logging objects, built in this order before anything that logs:
// the three loggers, then the ETW target and the file target (the file target heads the list).
#include "diag/QXLog.h"
#include "diag/QXLogTargetEtw.h"
#include "diag/QXLogTargetLogFile.h"

#if defined(__GNUC__)
#define QX_INIT_EARLY __attribute__((init_priority(200)))
#else
// MSVC: this file's objects are built in the library segment, before ordinary ones.
#pragma init_seg(lib)
#define QX_INIT_EARLY
#endif

namespace plendrik {

QXLogger gLogGlobal QX_INIT_EARLY("Global", kQXLogLevelInfo);
QXLogger gLogDfuApi QX_INIT_EARLY("DFUAPI", kQXLogLevelInfo);
QXLogger gLogDfu QX_INIT_EARLY("DFU", kQXLogLevelInfo);

namespace {
QXLogTargetEtw gEtwTarget QX_INIT_EARLY;
QXLogTargetLogFile gLogFileTarget QX_INIT_EARLY;
}  // namespace

QXLogTargets gLogTargets QX_INIT_EARLY = {gLogFileTarget, gEtwTarget};

}  // namespace plendrik
