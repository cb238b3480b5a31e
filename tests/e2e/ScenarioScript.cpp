#include "e2e/ScenarioScript.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "tools/harness/RouterRoot.h"
#include "tools/harness/RouterTree.h"
#include "tools/VersionText.h"

namespace e2e {

std::string escapeText(const std::string& raw) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c == 0x1b) out += "\\e";
        else if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
        else out += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
    }
    return out;
}

std::string unescapeText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n') out += '\n';
        else if (c == 'r') out += '\r';
        else if (c == 't') out += '\t';
        else if (c == 'e') out += '\x1b';
        else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else out += c;
    }
    return out;
}

namespace {

using Words = std::vector<std::string>;

constexpr size_t kInlineContent = 160;

Words split(const std::string& line) {
    Words words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

// The rest of line after its first n words.
std::string restAfter(const std::string& line, size_t n) {
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        at = line.find_first_not_of(' ', at);
        at = line.find(' ', at);
        if (at == std::string::npos) return std::string();
    }
    return line.substr(at + 1);
}

VersionNumber version(const std::string& text) {
    VersionNumber v = 0;
    if (text.rfind("0x", 0) == 0) return static_cast<VersionNumber>(std::stoul(text, nullptr, 16));
    if (text != "0" && !pkgtool::parseVersionText(text, v)) throw std::runtime_error("bad version " + text);
    return v;
}

// "key=value" options of a directive, after its positional words.
std::map<std::string, std::string> options(const Words& words, size_t from) {
    std::map<std::string, std::string> found;
    for (size_t i = from; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos) found[words[i]] = "";
        else found[words[i].substr(0, eq)] = words[i].substr(eq + 1);
    }
    return found;
}

std::string optionOr(const std::map<std::string, std::string>& o, const std::string& key,
                     const std::string& otherwise) {
    auto it = o.find(key);
    return it == o.end() ? otherwise : it->second;
}

std::string sortedLines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& line : lines) sorted += line;
    return sorted;
}

std::string shortDigest(const std::string& bytes) {
    return testsupport::sha1Hex(bytes).substr(0, 10);
}

class Scenario {
public:
    explicit Scenario(std::string* skip) : skip_(skip) {}
    ~Scenario() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
    void perform(const std::string& line);
    std::string transcript;

private:
    void emit(const std::string& text) { transcript += "> " + text + "\n"; }
    void emitOutput(const testsupport::ProcessResult& result);
    void emitEntry(const std::string& inside);
    std::string bytesOf(const std::string& id);
    std::string hostPath(const std::string& path) const {
        return path[0] == '@' ? work_.path() + "/" + path.substr(1) : root_.at(path);
    }
    void addEntry(const Words& words, const std::string& line);
    void addRange(const Words& words);
    void definePackage(const Words& words);
    void defineBundle(const Words& words);
    void addInstalled(const Words& words);
    void writeFile(const Words& words, const std::string& line);
    void mount(const Words& words);
    void run(const Words& words);
    void runSorted(const Words& words);
    testsupport::ProcessResult execute(const Words& words);
    void showLines(const Words& words);
    void progress(const Words& words) { showStatus_ = words.at(1) != "off"; }
    void runInside(const Words& words);
    void runPkgtool(const Words& words);
    void tree(const Words& words);
    void flip(const Words& words);
    void changeMode(const Words& words);
    void makeSymlink(const Words& words);
    void fill(const Words& words);
    void sortScratchLines(size_t start);
    pkgwriter::PackageRecipe& package() { return packages_.at(current_); }

    std::string* skip_;
    RouterRoot root_;
    testsupport::TempDir work_;
    std::map<std::string, pkgwriter::PackageRecipe> packages_;
    std::map<std::string, pkgwriter::BundleRecipe> bundles_;
    std::map<std::string, std::string> built_;
    std::set<std::string> unsigned_;
    bool showStatus_ = true;
    std::string current_;
    std::vector<std::string> mounts_;
};

void Scenario::perform(const std::string& line) {
    Words words = split(line);
    const std::string& verb = words[0];
    static const std::map<std::string, void (Scenario::*)(const Words&)> kPlain = {
        {"package", &Scenario::definePackage}, {"bundle", &Scenario::defineBundle},
        {"installed", &Scenario::addInstalled}, {"mount", &Scenario::mount},
        {"run", &Scenario::run},                {"inside", &Scenario::runInside},
        {"pkgtool", &Scenario::runPkgtool},     {"tree", &Scenario::tree},
        {"depends", &Scenario::addRange},       {"provides", &Scenario::addRange},
        {"conflicts", &Scenario::addRange},     {"sorted", &Scenario::runSorted},
        {"cat", &Scenario::showLines},          {"progress", &Scenario::progress},
        {"flip", &Scenario::flip},              {"chmod", &Scenario::changeMode},
        {"symlink", &Scenario::makeSymlink},    {"fill", &Scenario::fill}};
    if (auto it = kPlain.find(verb); it != kPlain.end()) return (this->*it->second)(words);
    if (verb == "write") return writeFile(words, line);
    if (verb == "mkdir") return testsupport::makeDirs(hostPath(words.at(1)));
    if (verb == "remove") return testsupport::removeTree(hostPath(unescapeText(words.at(1))));
    if (verb == "member") {
        bundles_.at(current_).members.push_back(packages_.at(words.at(1)));
        return built_.erase(current_), void();
    }
    if (verb == "off") return bundles_.at(current_).defaultOff.push_back(words.at(1));
    addEntry(words, line);
}

void Scenario::definePackage(const Words& words) {
    auto o = options(words, 4);
    pkgwriter::PackageRecipe recipe =
        simplePackage(words.at(2), version(words.at(3)), std::stoul(optionOr(o, "build", "1000")));
    if (o.count("bare")) recipe.files.clear();
    if (o.count("arch")) recipe.architecture = o["arch"];
    if (o.count("flags")) recipe.flags = std::stoul(o["flags"], nullptr, 0);
    if (o.count("image")) recipe.imagePart = unescapeText(o["image"]);
    if (o.count("level")) recipe.compressionLevel = std::stoi(o["level"]);
    if (o.count("note")) recipe.note = unescapeText(o["note"]);
    if (o.count("bigimage")) {
        const std::string& sizeAndSeed = o["bigimage"];
        recipe.imagePart = incompressibleBytes(
            std::stoul(sizeAndSeed), std::stoul(sizeAndSeed.substr(sizeAndSeed.find(':') + 1)));
    }
    recipe.unrecorded = o.count("unrecorded") != 0;
    current_ = words.at(1);
    unsigned_.erase(current_);
    if (o.count("unsigned")) unsigned_.insert(current_);
    packages_[current_] = recipe;
    built_.erase(current_);
}

void Scenario::defineBundle(const Words& words) {
    auto o = options(words, 4);
    pkgwriter::BundleRecipe recipe;
    recipe.name = words.at(2);
    recipe.version = version(words.at(3));
    recipe.buildTime = std::stoul(optionOr(o, "build", "1000"));
    if (o.count("image")) recipe.imagePart = unescapeText(o["image"]);
    current_ = words.at(1);
    bundles_[current_] = recipe;
    built_.erase(current_);
}

void Scenario::addEntry(const Words& words, const std::string& line) {
    pkgwriter::ContainerFile entry;
    entry.name = words.at(1);
    const std::string& verb = words[0];
    if (verb == "file") {
        entry.permissions = static_cast<uint16_t>(std::stoul(words.at(2), nullptr, 8));
        entry.data = unescapeText(restAfter(line, 3));
    } else if (verb == "bigfile") {
        entry.data = incompressibleBytes(std::stoul(words.at(2)), std::stoul(words.at(3)));
    } else if (verb == "dir") {
        entry.type = pkgwriter::EntryType::Directory;
    } else if (verb == "link") {
        entry.type = pkgwriter::EntryType::Symlink;
        entry.data = words.at(2);
    } else {
        throw std::runtime_error("unknown directive: " + line);
    }
    package().files.push_back(entry);
    built_.erase(current_);
}

void Scenario::addRange(const Words& words) {
    PackageRange range{words.at(1), version(words.at(2)), version(words.at(3)), 0};
    if (words.size() > 4) range.precedence = std::stoi(words[4]);
    auto add = [&](auto& recipe) {
        auto& list = words[0] == "depends"    ? recipe.dependencies
                     : words[0] == "provides" ? recipe.provides
                                              : recipe.conflicts;
        list.push_back(range);
    };
    if (bundles_.count(current_)) add(bundles_.at(current_));
    else add(package());
    built_.erase(current_);
}

void Scenario::addInstalled(const Words& words) {
    auto o = options(words, 3);
    std::vector<PackageRange> deps;
    std::istringstream list(optionOr(o, "deps", ""));
    std::string item;
    while (std::getline(list, item, ',')) {
        Words parts;
        std::istringstream fields(item);
        std::string field;
        while (std::getline(fields, field, ':')) parts.push_back(field);
        deps.push_back({parts.at(0), version(parts.at(1)), version(parts.at(2)), 0});
    }
    std::string disabled = o.count("disabled") ? o["disabled"] + "\n" : std::string();
    addInstalledEntry(root_, words.at(1), version(words.at(2)), deps, disabled,
                      std::stoul(optionOr(o, "build", "1000")));
}

std::string Scenario::bytesOf(const std::string& id) {
    // A work file is read anew each time, and remembered so that a tree shows
    // a copy of it by its name.
    if (id[0] == '@') return built_[id] = testsupport::readFile(hostPath(id));
    auto it = built_.find(id);
    if (it != built_.end()) return it->second;
    std::string bytes = unsigned_.count(id)   ? pkgwriter::writePackage(packages_.at(id))
                        : packages_.count(id) ? signedPackage(packages_.at(id))
                                              : signedBundle(bundles_.at(id));
    return built_[id] = bytes;
}

void Scenario::writeFile(const Words& words, const std::string& line) {
    std::string text = restAfter(line, 2);
    std::string content = text.rfind('<', 0) == 0 ? bytesOf(text.substr(1)) : unescapeText(text);
    testsupport::writeFile(hostPath(unescapeText(words.at(1))), content);
}

void Scenario::mount(const Words& words) {
    std::string why;
    if ((mounts_.empty() && !testsupport::enterPrivateMountNamespace(&why)) ||
        !testsupport::mountTmpfs(root_.at(words.at(1)), std::stoull(words.at(2)), &why)) {
        *skip_ = "tmpfs mounts refused: " + why;
        return;
    }
    mounts_.push_back(root_.at(words.at(1)));
    testsupport::makeDirs(root_.at("/flash/var/pdb"));
}

// Console text as display lines: each redraw of the status line (hide the
// cursor, return, text, return, show the cursor) on a line of its own behind
// "~", its trailing blanks counted; everything else line by line.
std::vector<std::string> displayLines(const std::string& out) {
    static const std::string kBegin = "\x1b[?25l\r", kEnd = "\r\x1b[?25h";
    std::vector<std::string> lines;
    std::string pending;
    auto flushPending = [&](bool terminated) {
        if (!pending.empty() || terminated) lines.push_back(escapeText(pending) + (terminated ? "" : "[no newline]"));
        pending.clear();
    };
    for (size_t at = 0; at < out.size();) {
        size_t end = out.compare(at, kBegin.size(), kBegin) == 0 ? out.find(kEnd, at) : std::string::npos;
        if (end != std::string::npos) {
            flushPending(false);
            std::string text = out.substr(at + kBegin.size(), end - at - kBegin.size());
            size_t kept = text.find_last_not_of(' ') + 1;
            std::string blanks = kept < text.size() ? "{" + std::to_string(text.size() - kept) + " blanks}" : "";
            lines.push_back("~ " + escapeText(text.substr(0, kept)) + blanks);
            at = end + kEnd.size();
        } else if (out[at] == '\n') {
            flushPending(true);
            ++at;
        } else {
            pending += out[at++];
        }
    }
    flushPending(false);
    return lines;
}

void Scenario::emitOutput(const testsupport::ProcessResult& result) {
    for (const std::string& line : displayLines(result.out))
        if (showStatus_ || line.rfind("~ ", 0) != 0) emit(harness::maskScratchNames(line));
    for (const std::string& line : displayLines(result.err)) emit("! " + harness::maskScratchNames(line));
    emit("exit " + std::to_string(result.status) + (result.timedOut ? " (timed out)" : ""));
}

// An argument written "" is an empty one.
std::string argument(const std::string& word) {
    return word == "\"\"" ? std::string() : word;
}

testsupport::ProcessResult Scenario::execute(const Words& words) {
    std::map<std::string, std::string> env;
    Words args;
    std::string input;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "<") {
            const std::string& from = words.at(++i);
            input = bytesOf(from);
        } else if (args.empty() && w[0] != '-' && w.find('=') != std::string::npos) {
            env[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
        } else {
            args.push_back(argument(w));
        }
    }
    return root_.run(args, input, env);
}

void Scenario::run(const Words& words) {
    emitOutput(execute(words));
}

// The listing prints rows in the order the directory gives, which differs
// between file systems; the lines show sorted.
void Scenario::runSorted(const Words& words) {
    testsupport::ProcessResult result = execute(words);
    result.out = sortedLines(result.out);
    emitOutput(result);
}

// A file too long for the tree to show inline, line by line.
void Scenario::showLines(const Words& words) {
    std::istringstream in(testsupport::readFile(hostPath(words.at(1))));
    for (std::string line; std::getline(in, line);) emit("| " + harness::maskScratchNames(escapeText(line)));
}

void Scenario::runInside(const Words& words) {
    if (!staticInstallerAvailable(skip_)) return;
    Words args;
    for (size_t i = 1; i < words.size(); ++i) args.push_back(argument(words[i]));
    emitOutput(root_.runInside(args));
}

void Scenario::runPkgtool(const Words& words) {
    Words args(words.begin() + 1, words.end());
    for (std::string& a : args)
        if (a == "$KEY")
            a = std::string(SOURCE_DIR) + "/tests/keys/development-secret-key.DO-NOT-USE-IN-PRODUCTION.hex";
    testsupport::ProcessOptions options;
    options.workingDirectory = work_.path();
    emitOutput(testsupport::runProgram(PKGTOOL_BINARY, args, options));
}

void Scenario::emitEntry(const std::string& inside) {
    struct stat st;
    std::string host = root_.at(inside);
    if (lstat(host.c_str(), &st) != 0) return emit(inside + " (none)");
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
    std::string shown = harness::maskScratchNames(inside);
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(host.c_str(), target, sizeof target);
        return emit(shown + " -> " + std::string(target, n > 0 ? size_t(n) : 0));
    }
    if (!S_ISREG(st.st_mode)) return emit(shown + " " + mode + (S_ISDIR(st.st_mode) ? " dir" : " special"));
    std::string content = testsupport::readFile(host);
    std::string what = "\"" + harness::maskScratchNames(escapeText(content)) + "\"";
    for (const auto& [id, bytes] : built_)
        if (bytes == content) what = "<" + id + ">";
    if (what[0] == '"' && what.size() > kInlineContent)
        what = std::to_string(content.size()) + " bytes " + shortDigest(harness::maskScratchNames(content));
    emit(shown + " " + mode + " " + what);
}

void Scenario::tree(const Words& words) {
    Words paths(words.begin() + 1, words.end());
    // Without paths: the router's folders, of which an empty one (as every
    // root has them) shows nothing.
    if (paths.empty()) paths = harness::routerDirectories();
    for (const std::string& top : paths) {
        size_t start = transcript.size();
        std::istringstream listing(testsupport::treeListing(root_.at(top)));
        std::string line;
        std::vector<std::string> entries;
        while (std::getline(listing, line)) {
            std::string rel = line.substr(0, line.find(' '));
            bool directory = line.compare(rel.size() + 1, 2, "04") == 0;
            entries.push_back(directory ? rel + "/" : rel);
        }
        // A folder shows only when it is empty: the files below one imply it.
        for (const std::string& e : entries) {
            bool parent = e.back() == '/' && std::any_of(entries.begin(), entries.end(),
                                                         [&](const std::string& other) {
                                                             return other.size() > e.size() &&
                                                                    other.compare(0, e.size(), e) == 0;
                                                         });
            if (!parent) emitEntry(top + (e.back() == '/' ? e.substr(0, e.size() - 1) : e));
        }
        struct stat st;
        bool emptyFolder = lstat(root_.at(top).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (entries.empty() && !(words.size() == 1 && emptyFolder)) emitEntry(top);
        sortScratchLines(start);
    }
}

// Where member n (from 1) of a bundle file ends: at the header part of the
// next member, or at the end of the file.
size_t memberEnd(const std::string& bundle, size_t n) {
    size_t at = kFileHeaderSize, headers = 0;
    for (const pkgwriter::Part& part : splitParts(bundle)) {
        if (part.type == kPartHeader && ++headers == n + 2) return at;
        at += kPartHeaderSize + part.payload.size();
    }
    return at;
}

void Scenario::flip(const Words& words) {
    const std::string& id = words.at(1);
    std::string bytes = bytesOf(id);
    auto o = options(words, 4);
    size_t end = o.count("member") ? memberEnd(bytes, std::stoul(o["member"])) : bytes.size();
    bytes.at(end - std::stoul(words.at(2))) ^=
        static_cast<char>(std::stoul(words.at(3), nullptr, 0));
    if (id[0] == '@') testsupport::writeFile(hostPath(id), bytes);
    built_[id] = bytes;
}

void Scenario::changeMode(const Words& words) {
    ::chmod(hostPath(words.at(1)).c_str(),
            static_cast<mode_t>(std::stoul(words.at(2), nullptr, 8)));
}

void Scenario::makeSymlink(const Words& words) {
    testsupport::makeDirs(hostPath(words.at(1)).substr(0, hostPath(words.at(1)).rfind('/')));
    if (::symlink(words.at(2).c_str(), hostPath(words.at(1)).c_str()) != 0)
        throw std::runtime_error("symlink refused: " + words.at(1));
}

void Scenario::fill(const Words& words) {
    std::string host = hostPath(words.at(1));
    struct statfs fs;
    if (statfs(host.substr(0, host.rfind('/')).c_str(), &fs) != 0)
        throw std::runtime_error("statfs refused: " + words.at(1));
    size_t room = static_cast<size_t>(fs.f_bfree) * static_cast<size_t>(fs.f_bsize);
    size_t keep = std::stoul(words.at(2));
    testsupport::writeFile(host, std::string(room > keep ? room - keep : 0, 'f'));
}

// Scratch files sort by their random names; masked, they show in the order of
// their lines instead, the same on every run.
void Scenario::sortScratchLines(size_t start) {
    if (transcript.find("??????", start) == std::string::npos) return;
    transcript = transcript.substr(0, start) + sortedLines(transcript.substr(start));
}

}  // namespace

std::string runScenario(const std::string& script, std::string* skipReason) {
    Scenario scenario(skipReason);
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("> ", 0) == 0 || line == ">") continue;
        scenario.transcript += line + "\n";
        if (line.empty() || line[0] == '#') continue;
        scenario.perform(line);
        if (!skipReason->empty()) break;
    }
    return scenario.transcript;
}

}  // namespace e2e
