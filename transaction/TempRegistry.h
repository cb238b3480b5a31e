#pragma once
// Every temporary file a run creates is recorded here before it is created, in
// a small hidden file on flash. A run that dies (killed, power lost) cannot
// delete what it left; the next run that may change flash reads the record and
// deletes what no longer serves.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

constexpr const char* kTempRegistryPath = "/flash/var/pdb/.temporaries";

class TempRegistry {
public:
    // A registry without a path records nothing (unit tests, tools).
    explicit TempRegistry(std::string path = std::string());
    ~TempRegistry();
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    bool enabled() const { return !path_.empty(); }
    // Deletes every recorded file that keep does not name and records afresh
    // only the kept ones. keep: the sources of the moves that a saved manifest
    // still has to carry out.
    void reclaim(const std::set<std::string>& keep);
    // Records path before it is created; false (errno set) when that fails.
    bool add(const std::string& path);
    // The file is gone, or has been renamed into place.
    void forget(const std::string& path);
    // Deletes this run's files that are still there, unless keepLive (a saved
    // manifest names them), and rewrites the record with what must stay.
    void finish(bool keepLive);

    // Creates a new file named prefix plus six random characters, recorded
    // first; its permission bits are mode less the umask. -1 with errno set on
    // failure.
    int createUnique(const std::string& prefix, mode_t mode, std::string& path);

private:
    bool openForAppend();
    // Appends one line to the record; false (errno set) when that fails.
    bool append(const std::string& line);
    // A recorded, not yet used name with the prefix.
    bool nextName(const std::string& prefix, std::string& path);
    void rewrite(const std::vector<std::string>& lines);
    std::string randomSuffix();

    std::string path_;
    int fd_ = -1;
    std::vector<std::string> kept_;
    // hashed: a file is added and forgotten for every staged file
    std::unordered_set<std::string> live_;
    std::map<std::string, std::vector<std::string>> unused_;
    uint64_t randomState_;
};

// Whether a path is one the installer names its temporary files by: "tmp" or a
// target's name and a dot, followed by six characters.
bool looksTemporary(const std::string& path);
