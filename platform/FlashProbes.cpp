#include "platform/FlashProbes.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/Handles.h"

bool isLargeEraseFlash() {
    UniqueFd fd(open(kMtdDevice, O_RDONLY));
    if (!fd.valid()) return false;
    // The request number is the router's own encoding of MEMGETINFO; the block
    // it fills has the kernel's mtd_info_user layout.
    mtd_info_user info{};
    int result = ioctl(fd.get(), kMemGetInfoRequest, &info);
    return result >= 0 && info.erasesize == kLargeEraseSize;
}

bool flashVariantFlag() {
    UniqueFd fd(open(kBoardFlashDevice, O_RDONLY));
    if (!fd.valid()) return false;
    // A failing request answers -1, which has the bit set: a driver that does
    // not know the request counts as the variant.
    int result = ioctl(fd.get(), kFlashVariantRequest, 0);
    return (result & kFlashVariantBit) != 0;
}

namespace {

// Argument block of the board's minimum-version request; handed to the driver
// in host byte order, so a plain struct is the wire form.
struct MinVersionRequest {
    uint16_t word0;
    uint16_t word1;
    uint32_t result;
};
static_assert(sizeof(MinVersionRequest) == 8, "the board driver expects an 8-byte block");

}  // namespace

uint32_t boardMinSystemVersion() {
    MinVersionRequest request{kMinVersionQueryWord0, kMinVersionQueryWord1, 0};
    UniqueFd fd(::open(kBoardFlashDevice, O_RDWR));
    if (!fd.valid()) return 0;
    // The driver leaves the word at 0 when it has no minimum; its return value
    // says nothing more.
    (void)::ioctl(fd.get(), kMinSystemVersionRequest, &request);
    return request.result;
}
