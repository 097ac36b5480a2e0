#include <windows.h>

#include "QXFirmwareResource.h"

namespace plendrik {

bool QXLoadFirmwareResource(const uint8_t*& data, size_t& size) {
  data = nullptr;
  size = 0;
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(kQXFirmwareResourceId), L"FILE");
  if (info == nullptr) {
    return false;
  }
  HGLOBAL loaded = LoadResource(nullptr, info);
  if (loaded == nullptr) {
    return false;
  }
  data = static_cast<const uint8_t*>(LockResource(loaded));
  size = SizeofResource(nullptr, info);
  return data != nullptr;
}

}  // namespace plendrik
