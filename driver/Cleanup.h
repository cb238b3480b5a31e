#pragma once
// The cleanup mode: uninstalls every package that does not depend on a recent
// enough system package, apart from the protected ones and bundles.
class InstallContext;
class FsTransaction;

// "system" at 3.22 or later (final stage, build 0) protects a package.
constexpr unsigned kCleanupSystemThreshold = 0x031665FF;

bool runCleanup(InstallContext& context, FsTransaction& transaction);
