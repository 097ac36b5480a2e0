// A library behind the tool's binding table, made of plain functions over one scripted device,
// for tests of the upgrade procedure that need no device stack. A reboot makes the opened
// session stale and lists the device again in the requested run mode (unless told to stay);
// the download advances one block per status query.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "flashbridge.h"

namespace fbtest {

struct FakeLibraryState {
  // What the enumeration lists: one run mode per device.
  std::vector<uint32_t> listedRunModes;
  QXSTATUS enumerateStatus = QXSTATUS_SUCCESS;
  QXSTATUS openStatus = QXSTATUS_SUCCESS;
  bool disconnectOnReboot = true;  // false: the session keeps answering after the reboot
                                   // into the bootloader
  bool disconnectOnRebootToApplication = true;
  bool rejoinAfterReboot = true;  // false: the device does not come back
  uint64_t totalBytes = 4096;
  uint64_t blockBytes = 1024;
  int failAtQuery = -1;              // status query that reports Failed
  QXSTATUS failStatus = 0xEE001104;  // completionStatus then reported
  int keyAtQuery = -1;               // status query after which a key is pressed
  void (*pressKey)() = nullptr;
  QXSTATUS startStatus = QXSTATUS_SUCCESS;
  bool imageLoads = true;

  // Observations.
  std::vector<std::string> calls;
  std::set<uint32_t> openDevices;
  std::set<uint32_t> openEnumerations;
  std::set<uint32_t> loadedImages;
  std::vector<uint32_t> enumerateRetryCounts;
  std::vector<uint32_t> enumerateRetryDelays;
  int statusQueries = 0;
};

// Resets the state and fills QXDfuApi::Instance() with the fake entry points (all 25).
FakeLibraryState& InstallFakeLibrary();
// Clears the binding table again.
void RemoveFakeLibrary();

}  // namespace fbtest
