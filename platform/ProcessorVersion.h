#pragma once
// The processor version register of PowerPC routers, which tells the board
// family. Other processors have no such register.
#include <cstdint>
#include <optional>

std::optional<uint32_t> readProcessorVersion();
