// The handle tables with 1 and 10,000 live handles: add and remove, look up, and a look-up
// through an export (an image property). Each should cost the same at both sizes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "api/DfuApi.h"
#include "flashbridge.h"
#include "os/QXIntrusiveSharedPtr.h"

#ifdef GetObject
#undef GetObject
#endif

namespace {

using plendrik::QXHandleTable;
using plendrik::QXIntrusiveSharedPtrT;
using plendrik::QXMakeShared;

struct Item : plendrik::QXRefCounted {
  uint32_t value = 0;
};
using ItemPtr = QXIntrusiveSharedPtrT<Item>;

// A table holding `live` handles and the handles themselves.
struct FilledTable {
  explicit FilledTable(size_t live) {
    for (size_t i = 0; i < live; ++i) {
      handles.push_back(table.AddObject(QXMakeShared<Item>()));
    }
  }
  QXHandleTable<Item> table;
  std::vector<uint32_t> handles;
};

// Adds an object and removes it again, beside `live` others.
void BM_HandleAddRemove(benchmark::State& state) {
  FilledTable filled(static_cast<size_t>(state.range(0)));
  const ItemPtr item = QXMakeShared<Item>();
  for (auto _ : state) {
    const uint32_t handle = filled.table.AddObject(item);
    ItemPtr removed = filled.table.RemoveObject(handle);
    benchmark::DoNotOptimize(removed.Get());
  }
}

// Looks up the live handles in turn (an added reference and its release).
void BM_HandleLookup(benchmark::State& state) {
  FilledTable filled(static_cast<size_t>(state.range(0)));
  size_t next = 0;
  for (auto _ : state) {
    ItemPtr found = filled.table.GetObject(filled.handles[next]);
    benchmark::DoNotOptimize(found.Get());
    next = next + 1 == filled.handles.size() ? 0 : next + 1;
  }
}

// An export that only looks its handle up: whether an image has a DFU suffix, for one of `live` loaded images.
void BM_ImagePropertyLookup(benchmark::State& state) {
  const auto live = static_cast<size_t>(state.range(0));
  const uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<uint32_t> images;
  for (size_t i = 0; i < live; ++i) {
    uint32_t handle = 0;
    if (QXDFU_LoadFirmwareFromBuffer(bytes, sizeof(bytes), QXDFU_IMAGE_TYPE_RAW_BINARY, &handle, 0) !=
        QXSTATUS_SUCCESS) {
      state.SkipWithError("load failed");
      break;
    }
    images.push_back(handle);
  }
  size_t next = 0;
  for (auto _ : state) {
    if (images.empty()) {
      break;
    }
    uint32_t size = 0;
    if (QXDFU_GetImagePropertyUint(images[next], QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &size) != QXSTATUS_SUCCESS) {
      state.SkipWithError("property failed");
      break;
    }
    benchmark::DoNotOptimize(size);
    next = next + 1 == images.size() ? 0 : next + 1;
  }
  for (uint32_t handle : images) {
    QXDFU_UnloadFirmwareImage(handle);
  }
}

BENCHMARK(BM_HandleAddRemove)->ArgName("live")->Arg(1)->Arg(10000);
BENCHMARK(BM_HandleLookup)->ArgName("live")->Arg(1)->Arg(10000);
BENCHMARK(BM_ImagePropertyLookup)->ArgName("live")->Arg(1)->Arg(10000);

}  // namespace
