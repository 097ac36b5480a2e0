// The library's entry point: starts logging, reads the configuration file and writes the
// banner when the library is loaded; logs thread and process detach. On the host the same
// steps run when the shared object is loaded and unloaded.
#if defined(_WIN32)
#include <windows.h>
#else
#include "api/QXHostBackend.h"
#endif

#include "api/DfuApi.h"
#include "diag/QXLog.h"
#include "diag/QXLogConfigurationIniFile.h"
#include "os/QXOsThread.h"
#include "record/QXRecordingConfig.h"

using namespace plendrik;

namespace {
enum : uint32_t { kProcessDetach = 0, kProcessAttach = 1, kThreadAttach = 2, kThreadDetach = 3 };
}

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
#else
static int DllMain(void* module, uint32_t reason, void* reserved) {
#endif
  switch (reason) {
    case kProcessAttach:
      QXWinInitLoggingFacility(module);
      gDfuApi.ReadConfigData(module);
      PrintBanner();
      QX_LOG_INFO(" **** DLL_PROCESS_ATTACH");
      break;
    case kThreadAttach:
      QX_LOG_INFO(" DLL_THREAD_ATTACH");
      break;
    case kThreadDetach:
      QX_LOG_INFO(" DLL_THREAD_DETACH");
      break;
    case kProcessDetach:
      if (reserved != nullptr) {
        // The process is ending and the system has already ended every other thread, wherever
        // it was, with the locks it held. Nothing is logged and nothing is torn down: the
        // static destructors that run after this see the mark and leave everything to the
        // system.
        QXOsMarkProcessEnding();
        break;
      }
      QX_LOG_INFO(" **** DLL_PROCESS_DETACH");
      // The recording's file is closed; calls still under way go on through the seams below.
      QXStopSessionRecording();
      break;
    default:
      QX_LOG_INFO(" dwReason={}", static_cast<uint32_t>(reason));
      break;
  }
  return 1;
}

#if !defined(_WIN32)
namespace {
// Runs the entry point when the shared object is loaded and unloaded. Built after the
// logging objects and the API singleton, so it is destroyed before them.
struct QXHostEntryPoint {
  QXHostEntryPoint() {
    DllMain(QXOsGetLibraryModule(), kProcessAttach, nullptr);
    // The configuration has been read: it names the USB stack.
    QXSelectHostBackend(QXConfiguredHostBackend());
  }
  ~QXHostEntryPoint() {
    DllMain(QXOsGetLibraryModule(), kProcessDetach, nullptr);
    // Registrations still alive end their threads while their code and the USB stack are there.
    gDfuApi.CloseAllNotifications();
    QXShutdownHostBackend();
  }
};
QXHostEntryPoint gHostEntryPoint __attribute__((init_priority(500)));
}  // namespace
#endif
