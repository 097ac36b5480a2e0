// libusb's results as the Windows errors the layers above the transport act on.
#include <gtest/gtest.h>
#include <libusb.h>

#include "os/QXWinErrors.h"
#include "usb/QXLibusbContext.h"

namespace plendrik {
namespace {

TEST(QXLibusbErrorMapTest, TransferStatusesBecomeTheWindowsErrorsOfWinUsb) {
  const std::pair<int, uint32_t> cases[] = {
      {LIBUSB_TRANSFER_COMPLETED, 0u},
      {LIBUSB_TRANSFER_STALL, kQXErrorGenFailure},
      {LIBUSB_TRANSFER_NO_DEVICE, kQXErrorDeviceNotConnected},
      {LIBUSB_TRANSFER_CANCELLED, kQXErrorOperationAborted},
      {LIBUSB_TRANSFER_TIMED_OUT, kQXErrorSemTimeout},
      {LIBUSB_TRANSFER_ERROR, kQXErrorGenFailure},
      {LIBUSB_TRANSFER_OVERFLOW, kQXErrorGenFailure},
  };
  for (const auto& [status, expected] : cases) {
    EXPECT_EQ(QXMapLibusbTransferStatus(status), expected) << libusb_error_name(status);
  }
}

TEST(QXLibusbErrorMapTest, ErrorCodesBecomeTheWindowsErrorsOfTheCallTheyStandFor) {
  const std::pair<int, uint32_t> cases[] = {
      {LIBUSB_SUCCESS, 0u},
      // No permission, or another process claimed the interface: the open is refused.
      {LIBUSB_ERROR_ACCESS, kQXErrorAccessDenied},
      {LIBUSB_ERROR_BUSY, kQXErrorAccessDenied},
      {LIBUSB_ERROR_NO_DEVICE, kQXErrorDeviceNotConnected},
      {LIBUSB_ERROR_NOT_FOUND, kQXErrorFileNotFound},
      {LIBUSB_ERROR_PIPE, kQXErrorGenFailure},
      {LIBUSB_ERROR_TIMEOUT, kQXErrorSemTimeout},
      {LIBUSB_ERROR_INTERRUPTED, kQXErrorOperationAborted},
      {LIBUSB_ERROR_NO_MEM, kQXErrorNotEnoughMemory},
      {LIBUSB_ERROR_NOT_SUPPORTED, kQXErrorNotSupported},
      {LIBUSB_ERROR_INVALID_PARAM, kQXErrorInvalidParameter},
      {LIBUSB_ERROR_IO, kQXErrorGenFailure},
      {LIBUSB_ERROR_OTHER, kQXErrorGenFailure},
  };
  for (const auto& [error, expected] : cases) {
    EXPECT_EQ(QXMapLibusbError(error), expected) << libusb_error_name(error);
  }
}

}  // namespace
}  // namespace plendrik
