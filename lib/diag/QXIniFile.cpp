#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include "QXIniFile.h"

#include <SimpleIni.h>

#include <new>
#include <vector>

#include "diag/QXStdFileStream.h"

namespace plendrik {

struct QXIniDocument::Impl {
  // Narrow characters, case-insensitive names, no multi-keys, no multi-line values.
  CSimpleIniA ini{false, false, false};
};

QXIniDocument::QXIniDocument() : mImpl(std::make_unique<Impl>()) {}
QXIniDocument::~QXIniDocument() = default;

bool QXIniDocument::Parse(const char* data, size_t size) {
  mImpl->ini.Reset();
  return mImpl->ini.LoadData(data, size) >= 0;
}

void QXIniDocument::Clear() { mImpl->ini.Reset(); }

QXSTATUS LoadIniFile(QXIniDocument& document, const QXWString& path) {
  document.Clear();
  QXStdFileStream stream;
  if (stream.Open(path, "rb") != QXSTATUS_SUCCESS) {
    return QXSTATUS_OPEN_FILE_FAILED;
  }
  int64_t size = 0;
  if (stream.SeekToEnd() != QXSTATUS_SUCCESS || stream.Tell(size) != QXSTATUS_SUCCESS) {
    return QXSTATUS_READ_FILE_FAILED;
  }
  if (size == 0) {
    return QXSTATUS_SUCCESS;
  }
  // Configuration files are small; anything of a gigabyte or more is not one.
  if (size >= (int64_t{1} << 30) || stream.SeekToStart() != QXSTATUS_SUCCESS) {
    return QXSTATUS_READ_FILE_FAILED;
  }
  std::vector<char> buffer;
  try {
    buffer.resize(static_cast<size_t>(size) + 1, '\0');
  } catch (const std::bad_alloc&) {
    return QXSTATUS_READ_FILE_FAILED;
  }
  if (stream.Read(buffer.data(), static_cast<size_t>(size)) != static_cast<size_t>(size)) {
    return QXSTATUS_READ_FILE_FAILED;
  }
  if (!document.Parse(buffer.data(), static_cast<size_t>(size))) {
    return QXSTATUS_READ_FILE_FAILED;
  }
  return QXSTATUS_SUCCESS;
}

const char* GetStringValue(const QXIniDocument& document, const char* section, const char* key) {
  return document.mImpl->ini.GetValue(section, key, nullptr);
}

}  // namespace plendrik
