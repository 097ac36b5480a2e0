// Ini documents read whole from a file and looked up by section and key, both compared
// without regard to ASCII letter case.
#pragma once

#include <memory>

#include "os/QXOsTypes.h"

namespace plendrik {

class QXIniDocument {
 public:
  QXIniDocument();
  ~QXIniDocument();
  QXIniDocument(const QXIniDocument&) = delete;
  QXIniDocument& operator=(const QXIniDocument&) = delete;

  // Parses text held in memory; false when it cannot be parsed.
  bool Parse(const char* data, size_t size);
  void Clear();

  struct Impl;

 private:
  friend const char* GetStringValue(const QXIniDocument& document, const char* section, const char* key);
  std::unique_ptr<Impl> mImpl;
};

// Reads the whole file byte for byte and parses it. QXSTATUS_OPEN_FILE_FAILED when the file
// cannot be opened, QXSTATUS_READ_FILE_FAILED when it cannot be read or parsed; an empty file
// is a document without entries.
QXSTATUS LoadIniFile(QXIniDocument& document, const QXWString& path);

// The value of key in section, or null.
const char* GetStringValue(const QXIniDocument& document, const char* section, const char* key);

}  // namespace plendrik
