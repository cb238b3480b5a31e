#pragma once
// A compact text form of package sets for planning tests, one package a line:
//
//   name version [enabled|disabled] [uninstall|enable|disable] [bundle] [placeholder]
//        [user] [deps=R,..] [provides=R@prec,..] [conflicts=R,..] [in=BUNDLE]
//        [members=name@version,..] [arch=A] [built=N] [flags=N]
//
// version: 1.0, 1.0.3, 1.0rc2, 1.0beta1, 1.0alpha, or 0x followed by hex.
// R: name, name=V, name>=V, name<=V, or name>=V<=V; provides may end in @precedence.
// A record is enabled with nothing pending unless the line says otherwise.
#include <memory>
#include <string>
#include <vector>

#include "model/PackageRecord.h"

class InstallContext;

namespace plantest {

bool parseVersion(const std::string& text, VersionNumber& version);
// Fills a fresh record from one line; false with the reason on a malformed line.
bool parsePackageLine(const std::string& line, PackageRecord& record, std::string& error);
// Appends one record per non-empty line; a malformed line fails the test.
void addPackages(InstallContext& context, const std::string& lines);
PackageRecord& addPackage(InstallContext& context, const std::string& line);
std::unique_ptr<PackageRecord> makeRecord(const std::string& line);
// "a-1.0 b-2.0", or "-" for an empty list.
std::string listText(const std::vector<PackageRecord*>& list);
// "a=uninstall b=disable" for the records with something pending, or "-".
std::string pendingText(const InstallContext& context);

}  // namespace plantest
