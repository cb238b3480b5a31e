#pragma once
// Signing keys as the pkgtool subcommands take them from their options.
#include <string>
#include <vector>

#include "tools/PkgtoolArgs.h"
#include "tools/PkgtoolCheck.h"
#include "tools/PkgtoolCommon.h"

namespace pkgtool {

// The secret key chosen by "--key FILE" or "--dev-key" (exactly one of them).
// Returns kExitOk, kExitUsage (neither or both given) or kExitIo (unreadable or
// malformed key file), after printing the error.
int loadSigningKey(const ParsedArgs& args, const Console& console, const std::string& command,
                   std::string& secretKey);

// The keys of every "--public HEX[,HEX...]" option, or the installer's built-in
// keys when there is none. False with the reason for a malformed key.
bool publicKeysFromArgs(const ParsedArgs& args, std::vector<PublicKey>& keys, std::string* why);

}  // namespace pkgtool
