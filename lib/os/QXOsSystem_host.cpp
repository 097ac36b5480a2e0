#include <dlfcn.h>
#include <pthread.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "QXOsString.h"
#include "QXOsSystem.h"

namespace plendrik {

int64_t QXOsQueryPerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t QXOsQueryPerformanceFrequency() { return 1000000000LL; }

QXOsSystemTime QXOsGetSystemTimeUtc() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  gmtime_r(&ts.tv_sec, &parts);
  return {static_cast<uint16_t>(parts.tm_year + 1900), static_cast<uint16_t>(parts.tm_mon + 1),
          static_cast<uint16_t>(parts.tm_mday),        static_cast<uint16_t>(parts.tm_hour),
          static_cast<uint16_t>(parts.tm_min),         static_cast<uint16_t>(parts.tm_sec),
          static_cast<uint16_t>(ts.tv_nsec / 1000000)};
}

namespace {
// Both identifiers are asked for by every log line; each is a system call, so they are read
// once per process and once per thread. A forked child reads its own again: the handler runs
// in the child on the thread that forked, the only thread the child has.
std::atomic<uint32_t> gProcessId{0};
thread_local uint32_t tThreadId = 0;
std::once_flag gForkHandler;

void ForgetIdsInChild() {
  gProcessId.store(0, std::memory_order_relaxed);
  tThreadId = 0;
}

void InstallForkHandler() {
  std::call_once(gForkHandler, [] { pthread_atfork(nullptr, nullptr, ForgetIdsInChild); });
}
}  // namespace

uint32_t QXOsGetCurrentProcessId() {
  uint32_t id = gProcessId.load(std::memory_order_relaxed);
  if (id == 0) {
    InstallForkHandler();
    id = static_cast<uint32_t>(getpid());
    gProcessId.store(id, std::memory_order_relaxed);
  }
  return id;
}

uint32_t QXOsGetCurrentThreadId() {
  if (tThreadId == 0) {
    InstallForkHandler();
    tThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
  }
  return tThreadId;
}

namespace {
// Any address inside this module identifies it.
char gModuleAnchor;
}  // namespace

QXOsModuleHandle QXOsGetLibraryModule() { return &gModuleAnchor; }

QXSTATUS QXWinGetModulePathAndFileName(QXOsModuleHandle module, QXWString& pathAndFileName) {
  Dl_info info{};
  if (dladdr(module, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
    return QXSTATUS_NOT_FOUND;
  }
  std::string path = info.dli_fname;
  // The main program reports a name without a directory; /proc names it fully.
  if (path.find('/') == std::string::npos) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) {
      return QXSTATUS_FROM_ERRNO(errno);
    }
    path.assign(exe, static_cast<size_t>(n));
  }
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) {
    path = resolved;
  }
  pathAndFileName = QXUtf8ToUtf16(path);
  return QXSTATUS_SUCCESS;
}

QXWString QXOsExpandEnvironmentStrings(const QXWString& text, size_t maxUnits) {
  QXWString out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find(QXWChar('%'), pos);
    if (open == QXWString::npos) {
      out.append(text, pos, QXWString::npos);
      break;
    }
    size_t close = text.find(QXWChar('%'), open + 1);
    if (close == QXWString::npos) {
      out.append(text, pos, QXWString::npos);
      break;
    }
    out.append(text, pos, open - pos);
    std::string name = QXUtf16ToUtf8(QXWStringView(text).substr(open + 1, close - open - 1));
    const char* value = name.empty() ? nullptr : getenv(name.c_str());
    if (value != nullptr) {
      out += QXUtf8ToUtf16(value);
      pos = close + 1;
    } else {
      // An unknown name stays as written; its closing % may open the next reference.
      out.append(text, open, close - open);
      pos = close;
    }
  }
  if (maxUnits == 0) {
    return QXWString();
  }
  if (out.size() > maxUnits - 1) {
    out.resize(maxUnits - 1);
  }
  return out;
}

// The host's debugger output: the system log at debug priority, which is where a Linux
// developer looks for a library's own trouble without it ever showing in a console program's
// output. Setting QXDFU_DEBUG_OUTPUT to a file path additionally appends every text there.
void QXOsOutputDebugStringPlatform(const char* text) {
  syslog(LOG_USER | LOG_DEBUG, "%s", text);
  const char* target = getenv("QXDFU_DEBUG_OUTPUT");
  if (target != nullptr && target[0] != '\0') {
    int fd = open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      size_t len = strlen(text);
      ssize_t ignored = write(fd, text, len);
      (void)ignored;
      close(fd);
    }
  }
}

}  // namespace plendrik
