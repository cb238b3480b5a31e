#include "platform/ProcessorVersion.h"

std::optional<uint32_t> readProcessorVersion() {
#if defined(__powerpc__) || defined(__PPC__)
    // User-mode reads of the register are emulated by the kernel.
    uint32_t pvr;
    __asm__ volatile("mfpvr %0" : "=r"(pvr));
    return pvr;
#else
    return std::nullopt;
#endif
}
