#pragma once
// Questions to the router's flash hardware through its device files. Each opens
// the device, issues one request and closes it; absent devices give neutral
// answers.
#include <cstdint>

constexpr const char* kMtdDevice = "/dev/mtd0";
constexpr const char* kBoardFlashDevice = "/dev/flash";
constexpr unsigned long kMemGetInfoRequest = 0x40204D01;
constexpr unsigned long kFlashVariantRequest = 0x2000462B;
constexpr unsigned long kMinSystemVersionRequest = 0xC0044626;
constexpr uint32_t kLargeEraseSize = 0x40000;
constexpr int kFlashVariantBit = 16;

// The board's answer block for kMinSystemVersionRequest: {u16, u16, u32 result}
// in host order.
constexpr uint16_t kMinVersionQueryWord0 = 4;
constexpr uint16_t kMinVersionQueryWord1 = 37;

bool isLargeEraseFlash();
bool flashVariantFlag();
// The board's minimum system version (a version number), 0 when it gives none.
uint32_t boardMinSystemVersion();
