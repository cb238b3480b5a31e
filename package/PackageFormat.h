#pragma once
// The numbers of the package format, shared by the reader, the writer and
// pkgtool. All multi-byte fields are little-endian.
#include <cstddef>
#include <cstdint>

// File header: magic (u32), then the length of what follows the header (u32).
constexpr uint32_t kMagicRegular = 0xBAD0F11Eu;
constexpr uint32_t kMagicUnrecorded = 0xA1100FFBu;
constexpr uint32_t kMagicUnreadable = 0xFFFFFFFFu;  // no header could be read
constexpr size_t kFileHeaderSize = 8;
constexpr size_t kFileLengthOffset = 4;

// Part header: type (u16), then the payload length (u32).
constexpr size_t kPartHeaderSize = 6;
constexpr size_t kPartLengthOffset = 2;

enum PartType : int32_t {
    kPartHeader = 1,
    kPartDescription = 2,
    kPartDependencies = 3,
    kPartFileContainer = 4,
    kPartSignature = 9,
    kPartArchitecture = 16,
    kPartConflicts = 17,
    kPartBundleHeader = 18,
    kPartProvides = 19,
    kPartDefaultOff = 20,
    kPartImage = 21,
    kPartNote = 23,
    kPartAuxText = 24,
};

// Signature part payload: the digest of the signed message (20 bytes), r (16)
// and s (32).
constexpr size_t kSignaturePayloadSize = 68;

// Names are NUL-padded fields of this size.
constexpr size_t kNameFieldSize = 16;

// Header part: name field, version (u32), build time (u32), zero padding, then
// an optional flags word (u32).
constexpr size_t kHeaderPartSize = 32;
constexpr size_t kHeaderVersionOffset = 16;
constexpr size_t kHeaderBuildTimeOffset = 20;
constexpr size_t kHeaderFlagsSize = 4;

// Dependency list (dependencies, provides, conflicts, bundle members): a count
// (u16), then entries of a name field, minimum version (u32), an unread word,
// maximum version (u32) and precedence (s32).
constexpr size_t kListCountSize = 2;
constexpr size_t kDependencyEntrySize = 32;
constexpr size_t kEntryMinOffset = 16;
constexpr size_t kEntryMaxOffset = 24;
constexpr size_t kEntryPrecedenceOffset = 28;

// File container entry header, followed by the name and the data: mode (u16),
// bytes the installer does not read, machine class (u8), data size (u32), name
// length (u16).
constexpr size_t kContainerEntryHeaderSize = 30;
constexpr size_t kContainerModeOffset = 0;
constexpr size_t kContainerClassOffset = 23;
constexpr size_t kContainerSizeOffset = 24;
constexpr size_t kContainerNameLengthOffset = 28;

// Bits of a container entry's mode.
constexpr uint16_t kModeTypeMask = 0xF000;
constexpr uint16_t kModeRegularFile = 0x8000;
constexpr uint16_t kModeDirectory = 0x4000;
constexpr uint16_t kModeSymlink = 0xA000;
constexpr uint16_t kModePermissionMask = 07777;
