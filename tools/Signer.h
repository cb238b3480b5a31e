#pragma once
// Package signing for the tools: key generation and the 68-byte signature part
// payload (digest, r, s) that the installer's check accepts.
#include <cstdint>
#include <string>

#include "package/PackageFormat.h"

namespace pkgsign {

constexpr size_t kSecretKeySize = 32;
constexpr size_t kPublicKeySize = 32;

// A fresh random secret scalar (32 bytes, little-endian).
std::string generateSecretKey();
// The u-coordinate of [a]B, 32 bytes little-endian, as the installer stores it.
std::string publicKeyFor(const std::string& secretKey);
// digest (20 bytes) || r (16) || s (32).
std::string signDigest(const std::string& secretKey, const uint8_t digest[20]);
// The development key's secret, for tests and the demo only.
std::string developmentSecretKey();

}  // namespace pkgsign
