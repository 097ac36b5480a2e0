// The image file generated at build time is placed into the executable's read-only data with
// the assembler's .incbin; FB_FLASHTOOL_IMAGE_PATH names it.
#include "QXFirmwareResource.h"

#ifndef FB_FLASHTOOL_IMAGE_PATH
#error "FB_FLASHTOOL_IMAGE_PATH must name the carried firmware image"
#endif

__asm__(
    ".section .rodata.fb_flashtool_image,\"a\",@progbits\n"
    ".balign 16\n"
    ".globl fb_flashtool_image_begin\n"
    ".hidden fb_flashtool_image_begin\n"
    "fb_flashtool_image_begin:\n"
    ".incbin \"" FB_FLASHTOOL_IMAGE_PATH
    "\"\n"
    ".globl fb_flashtool_image_end\n"
    ".hidden fb_flashtool_image_end\n"
    "fb_flashtool_image_end:\n"
    ".previous\n");

extern "C" const uint8_t fb_flashtool_image_begin[];
extern "C" const uint8_t fb_flashtool_image_end[];

namespace plendrik {

bool QXLoadFirmwareResource(const uint8_t*& data, size_t& size) {
  data = fb_flashtool_image_begin;
  size = static_cast<size_t>(fb_flashtool_image_end - fb_flashtool_image_begin);
  return size != 0;
}

}  // namespace plendrik
