// Planning cases as small text files in golden/, one test each: settings
// ("mode: plan"), sections of indented lines, and after "expect:" the text that
// must come out. "packages:" holds a record a line, "name version" and words:
// enabled, disabled, uninstall, enable, disable, bundle, user, placeholder,
// deps=R,.. provides=R,.. conflicts=R,.. in=BUNDLE arch=A built=N flags=N
// files=/path,.. with versions and ranges R as pkgtool reads them ("3.20rc2",
// "http>=2.0", provides "cap:5"); a deeper indented line is a member header of
// the bundle above. Each case runs chrooted into a root with a database
// directory per record and the "tree:" files ("a = b" a hard link, "dir/").
//   plan       planChanges: the plan, its lists and the pending actions left
//   select     selectCandidates over all records (select-older: downgrades)
//   apply      applyPlan at the given verbosity: the changes staged
//   check      checkInstall of each "LINE[ | bundle down quiet quiet-conflicts]"
//              left of " =>" in the expected text: its result and message
//   relations  excludes and dependsOn between any two records, and the
//              candidates of each dependency
#include <glob.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "install/ApplyPlan.h"
#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"
#include "planning/Eligibility.h"
#include "support/Sandbox.h"
#include "tools/VersionText.h"
#include "transaction/DatabasePaths.h"
#include "transaction/FsTransaction.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, separator);) items.push_back(item);
    return items;
}

bool parseRanges(const std::string& text, bool withPrecedence, std::vector<PackageRange>& list) {
    for (const std::string& item : split(text, ',')) {
        list.emplace_back();
        if (!pkgtool::parseRangeText(item, withPrecedence, list.back())) return false;
    }
    return true;
}

template <typename Field, typename Value>
bool assign(Field& field, Value value) {
    field = value;
    return true;
}

bool applyWord(PackageRecord& r, const std::string& key, const std::string& value) {
    static const std::map<std::string, PendingAction> kActions = {
        {"uninstall", kActionUninstall}, {"enable", kActionEnable}, {"disable", kActionDisable}};
    if (kActions.count(key)) return assign(r.pendingAction, kActions.at(key));
    if (key == "enabled" || key == "disabled") return assign(r.disabled, key == "disabled");
    if (key == "bundle") return assign(r.isBundle, true);
    if (key == "user") return assign(r.userForced, true);
    if (key == "placeholder")
        return assign(r.version, kPlaceholderMark) && assign(r.buildTime, kPlaceholderMark);
    if (key == "deps") return parseRanges(value, false, r.dependencies);
    if (key == "provides") return parseRanges(value, true, r.provides);
    if (key == "conflicts") return parseRanges(value, false, r.conflicts);
    if (key == "in") return assign(r.bundle.name, value);
    if (key == "arch") return assign(r.architecture, value);
    if (key == "built") return assign(r.buildTime, std::stoul(value));
    if (key == "flags") return assign(r.flags, std::stoul(value));
    if (key != "files") return false;
    for (const std::string& path : split(value, ',')) r.files.insert(path);
    return true;
}

std::unique_ptr<PackageRecord> parseRecord(const std::string& line) {
    auto record = std::make_unique<PackageRecord>();
    std::istringstream in(line);
    std::string version;
    bool ok =
        (in >> record->name >> version) && pkgtool::parseVersionText(version, record->version);
    for (std::string word; ok && in >> word;) {
        size_t eq = word.find('=');
        ok = applyWord(*record, word.substr(0, eq),
                       eq == std::string::npos ? "" : word.substr(eq + 1));
    }
    EXPECT_TRUE(ok) << "bad package line: " << line;
    return record;
}

// "a-1.0 b-2.0", or "-" for an empty list.
std::string listOf(const std::vector<PackageRecord*>& list) {
    std::string text;
    for (const PackageRecord* r : list) text += (text.empty() ? "" : " ") + nameWithVersion(*r);
    return text.empty() ? "-" : text;
}

struct GoldenCase {
    std::map<std::string, std::string> settings = {
        {"mode", "plan"}, {"arch", "i386"}, {"verbosity", "1"}};
    std::map<std::string, std::vector<std::string>> sections;
    std::string expected;
    InstallContext context;
    std::ostringstream console;

    std::string messagesSince(size_t first, const std::string& indent) const {
        std::string text;
        for (size_t i = first; i < context.console.messages.size(); ++i)
            text += indent + context.console.messages[i] + "\n";
        return text;
    }
    std::string pendingText() const {
        std::string text;
        for (const auto& r : context.packages)
            if (r->pendingAction != kActionNone)
                text += (text.empty() ? "" : " ") + r->name + "=" + actionWord(r->pendingAction);
        return text.empty() ? "-" : text;
    }
};

bool readCase(const std::string& path, GoldenCase& golden) {
    std::ifstream in(path);
    std::string section;
    for (std::string line; section != "expect" && std::getline(in, line);) {
        size_t colon = line.find(':');
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == ' ')
            golden.sections[section].push_back(line);
        else if (colon + 1 == line.size())
            section = line.substr(0, colon);
        else
            golden.settings[line.substr(0, colon)] = line.substr(colon + 2);
    }
    golden.expected.assign(std::istreambuf_iterator<char>(in), {});
    golden.context.console.setOutput(golden.console);
    golden.context.architecture = golden.settings["arch"];
    size_t recordIndent = 0;
    for (const std::string& line : golden.sections["packages"]) {
        size_t indent = line.find_first_not_of(' ');
        if (!golden.context.packages.empty() && indent > recordIndent) {
            golden.context.packages.back()->members.push_back(parseRecord(line));
            continue;
        }
        recordIndent = indent;
        golden.context.append(parseRecord(line));
    }
    return !golden.expected.empty();
}

std::string planText(GoldenCase& golden) {
    std::vector<PackageRecord*> removal, enable;
    bool accepted = planChanges(golden.context, removal, enable, true);
    return std::string("plan: ") + (accepted ? "accepted" : "refused") +
           "\nremoval: " + listOf(removal) + "\nenable: " + listOf(enable) + "\n";
}

std::string selectText(GoldenCase& golden) {
    std::vector<PackageRecord*> list;
    for (const auto& r : golden.context.packages) list.push_back(r.get());
    selectCandidates(golden.context, list, golden.settings["mode"] == "select-older", true);
    return "result: " + listOf(list) + "\n";
}

std::string applyText(GoldenCase& golden) {
    FsTransaction transaction;
    bool changed = applyPlan(golden.context, transaction, std::stoi(golden.settings["verbosity"]));
    std::string text = std::string("apply: ") + (changed ? "changed" : "unchanged") + "\nstaged:\n";
    // Carrying out a plan stages removals and new files only.
    for (const auto& [target, entry] : transaction.entries)
        text += entry.kind == FsEntryKind::Remove
                    ? "  remove " + target + "\n"
                    : "  write " + target + ": " + testsupport::readFile(entry.source);
    transaction.cancel();
    text += "remaining:";
    for (const auto& r : golden.context.packages)
        text += " " + nameWithVersion(*r) + (r->disabled ? "[disabled]" : "");
    return text + "\n";
}

// One check of "PACKAGE-LINE[ | FLAG-WORDS]".
std::string checkText(GoldenCase& golden, const std::string& line) {
    static const std::map<std::string, InstallFlags> kFlagWords = {
        {"down", kAllowDowngrade}, {"quiet", kQuietChecks}, {"quiet-conflicts", kQuietConflicts}};
    static const CheckResult kResults[] = {kCheckUpgrade, kCheckDowngrade, kCheckReinstall,
                                           kCheckBlocked, kCheckConflict};
    static const char* const kResultWords[] = {" upgrade", " downgrade", " reinstall", " blocked",
                                               " conflict"};
    std::vector<std::string> parts = split(line + " | ", '|');
    std::istringstream words(parts[1]);
    bool inBundle = false;
    InstallFlags flags = kAllowUpgrade;
    for (std::string word; words >> word;) {
        inBundle |= word == "bundle";
        if (word != "bundle") flags |= kFlagWords.at(word);
    }
    size_t before = golden.context.console.messages.size();
    bool same = false;
    CheckResult result =
        checkInstall(golden.context, *parseRecord(parts[0]), inBundle, flags, &same);
    std::string text = line + " =>" + (result.empty() ? " ok" : "");
    for (int i = 0; i < 5; ++i) text += result.has(kResults[i]) ? kResultWords[i] : "";
    return text + (same ? " (same)" : "") + "\n" + golden.messagesSince(before, "  ");
}

VersionNumber boardMinimum = 0;

// The lines checked are the left sides of the expected transcript.
std::string checksText(GoldenCase& golden) {
    boardMinimum = 0;
    if (golden.settings.count("minimum"))
        pkgtool::parseVersionText(golden.settings["minimum"], boardMinimum);
    setMinSystemVersionQuery([] { return boardMinimum; });
    std::string text;
    for (const std::string& line : split(golden.expected, '\n'))
        if (!line.empty() && line[0] != ' ')
            text += checkText(golden, line.substr(0, line.find(" =>")));
    setMinSystemVersionQuery(nullptr);
    return text;
}

// Records that exclude and need nothing are left out; the whole text is compared.
std::string relationsText(GoldenCase& golden) {
    static const std::map<int, std::string> kStates = {
        {kCandidateActive, "active"}, {kCandidateNone, "none"}, {kCandidateInactive, "inactive"}};
    std::string text;
    for (const auto& a : golden.context.packages) {
        std::vector<PackageRecord*> excluded, needed;
        for (const auto& b : golden.context.packages) {
            if (a != b && excludes(*a, *b)) excluded.push_back(b.get());
            if (a != b && dependsOn(*a, *b)) needed.push_back(b.get());
        }
        if (!excluded.empty()) text += nameWithVersion(*a) + " excludes " + listOf(excluded) + "\n";
        if (!needed.empty()) text += nameWithVersion(*a) + " needs " + listOf(needed) + "\n";
        for (const PackageRange& d : a->dependencies) {
            std::vector<PackageRecord*> candidates = collectSatisfying(golden.context, d, true);
            text += "  " + rangeText(d) + ": " + kStates.at(candidateState(candidates)) + " " +
                    listOf(candidates) + "\n";
        }
    }
    return text;
}

std::string outcomeText(GoldenCase& golden) {
    const std::string mode = golden.settings["mode"];
    if (mode == "check") return checksText(golden);
    if (mode == "relations") return relationsText(golden);
    std::string text = mode == "apply"  ? applyText(golden)
                       : mode == "plan" ? planText(golden)
                                        : selectText(golden);
    if (mode == "apply" || mode == "plan") text += "pending: " + golden.pendingText() + "\n";
    return text + "messages:\n" + golden.messagesSince(0, "  ");
}

void buildTree(const std::string& root, GoldenCase& golden) {
    for (const auto& r : golden.context.packages)
        testsupport::makeDirs(root + kDatabaseRoot + r->name);
    for (std::string line : golden.sections["tree"]) {
        line = root + line.substr(line.find('/'));
        size_t same = line.find(" = ");
        if (same != std::string::npos)
            EXPECT_EQ(link((root + line.substr(same + 3)).c_str(), line.substr(0, same).c_str()),
                      0);
        else if (line.back() == '/')
            testsupport::makeDirs(line);
        else
            testsupport::writeFile(line, "contents of " + line.substr(root.size()));
    }
}

class PlanGolden : public ::testing::TestWithParam<std::string> {};

// Planning writes nothing but its messages; carrying it out, status lines too.
void checkOutcome(GoldenCase& golden) {
    EXPECT_EQ(outcomeText(golden), golden.expected);
    std::string console = golden.console.str();
    EXPECT_TRUE(golden.settings["mode"] == "apply" || console == golden.messagesSince(0, ""));
}

TEST_P(PlanGolden, MatchesExpectedOutcome) {
    GoldenCase golden;
    ASSERT_TRUE(readCase(GetParam(), golden)) << "no expect: section";
    testsupport::TempDir root;
    buildTree(root.path(), golden);
    EXPECT_EQ(testsupport::runChrooted(root.path(), [&] { checkOutcome(golden); }), 0);
}

std::vector<std::string> goldenFiles() {
    std::vector<std::string> paths;
    glob_t found{};
    if (glob((std::string(SOURCE_DIR) + "/tests/planning/golden/*.txt").c_str(), 0, nullptr,
             &found) == 0)
        paths.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    return paths;
}

std::string testName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(info.param.rfind('/') + 1);
    name.resize(name.size() - 4);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, PlanGolden, ::testing::ValuesIn(goldenFiles()), testName);

}  // namespace
