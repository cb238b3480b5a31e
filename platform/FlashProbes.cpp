#include "platform/FlashProbes.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool isLargeEraseFlash() {
    int fd = open(kMtdDevice, O_RDONLY);
    if (fd < 0) return false;
    // The request number is the router's own encoding of MEMGETINFO; the block
    // it fills has the kernel's mtd_info_user layout.
    mtd_info_user info{};
    int result = ioctl(fd, kMemGetInfoRequest, &info);
    close(fd);
    return result >= 0 && info.erasesize == kLargeEraseSize;
}

bool flashVariantFlag() {
    int fd = open(kBoardFlashDevice, O_RDONLY);
    if (fd < 0) return false;
    // A failing request answers -1, which has the bit set: a driver that does
    // not know the request counts as the variant.
    int result = ioctl(fd, kFlashVariantRequest, 0);
    close(fd);
    return (result & kFlashVariantBit) != 0;
}
