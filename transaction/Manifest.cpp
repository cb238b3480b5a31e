#include "transaction/Manifest.h"

#include <fstream>
#include <vector>

namespace {

// Fields between single spaces; two spaces in a row give an empty field.
std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t space = line.find(' ', start);
        if (space == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, space - start));
        start = space + 1;
    }
}

}  // namespace

void writeManifest(const FsTransaction& transaction, std::ostream& out) {
    for (const auto& [target, entry] : transaction.entries) {
        switch (entry.kind) {
            case FsEntryKind::Remove:
                out << "U " << target << std::endl;
                break;
            case FsEntryKind::Link:
                out << "L " << target << ' ' << entry.source << std::endl;
                break;
            case FsEntryKind::Move:
            case FsEntryKind::NewFile:
                out << "M " << target << ' ' << entry.source << std::endl;
                break;
        }
    }
}

void writeManifest(const FsTransaction& transaction, const std::string& path) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    writeManifest(transaction, out);
}

bool readManifest(FsTransaction& transaction, const std::string& path) {
    std::ifstream in(path);
    if (!in.is_open()) return false;
    for (;;) {
        if (in.fail()) return !transaction.empty();
        std::string line;
        std::getline(in, line);
        // Also the read past a final newline: the manifest is complete.
        if (line.empty()) return true;
        std::vector<std::string> fields = splitFields(line);
        if (fields.size() < 2) return false;
        const std::string& kind = fields[0];
        if (kind == "U") {
            // Written by a run that saw the path; whether it still exists is
            // for the commit to find out.
            transaction.stage(fields[1], FsEntryKind::Remove, std::string());
        } else if (kind == "L") {
            if (fields.size() < 3) return false;
            transaction.link(fields[2], fields[1]);
        } else if (kind == "M") {
            if (fields.size() < 3) return false;
            // Ownership of temporary files does not survive the run that made
            // them: a restored transaction only moves.
            transaction.move(fields[2], fields[1]);
        }
    }
}
