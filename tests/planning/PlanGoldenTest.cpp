// Planning scenarios kept as small text files in golden/: the package set with
// states and pending actions, and the plan, pending actions and messages that
// must come out of it. Each file is one test.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "PackageSetText.h"
#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"

namespace {

const std::string kGoldenDir = std::string(SOURCE_DIR) + "/tests/planning/golden";

struct GoldenCase {
    std::string mode = "plan";
    bool report = true;
    std::vector<std::string> packages;
    std::string expected;
};

std::string trimRight(const std::string& s) {
    size_t end = s.find_last_not_of(" \t\r");
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

bool readCase(const std::string& path, GoldenCase& golden, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string line;
    std::string section;
    std::vector<std::string> expectLines;
    while (std::getline(in, line)) {
        line = trimRight(line);
        if (section != "expect" && (line.empty() || line[0] == '#')) continue;
        if (section == "expect") {
            expectLines.push_back(line);
        } else if (line[0] == ' ') {
            if (section != "packages") {
                error = "indented line outside packages: " + line;
                return false;
            }
            golden.packages.push_back(line);
        } else if (line.compare(0, 6, "mode: ") == 0) {
            golden.mode = line.substr(6);
        } else if (line.compare(0, 8, "report: ") == 0) {
            golden.report = line.substr(8) == "yes";
        } else if (line == "packages:" || line == "expect:") {
            section = line.substr(0, line.size() - 1);
        } else {
            error = "unexpected line: " + line;
            return false;
        }
    }
    while (!expectLines.empty() && expectLines.back().empty()) expectLines.pop_back();
    for (const std::string& l : expectLines) golden.expected += l + "\n";
    if (golden.mode != "plan" && golden.mode != "select" && golden.mode != "select-older") {
        error = "unknown mode " + golden.mode;
        return false;
    }
    return true;
}

struct Run {
    InstallContext context;
    std::ostringstream console;
    Run(const GoldenCase& golden) {
        context.console.setOutput(console);
        context.architecture = "i386";
        for (const std::string& line : golden.packages) plantest::addPackage(context, line);
    }
    std::string messagesText() const {
        std::string text = "messages:\n";
        for (const std::string& m : context.console.messages) text += "  " + m + "\n";
        return text;
    }
    // Planning writes nothing but its messages.
    std::string expectedConsole() const {
        std::string text;
        for (const std::string& m : context.console.messages) text += m + "\n";
        return text;
    }
};

using Planner = bool (*)(InstallContext&, std::vector<PackageRecord*>&,
                         std::vector<PackageRecord*>&, bool);

std::string runPlan(const GoldenCase& golden, Planner planner) {
    Run run(golden);
    std::vector<PackageRecord*> removal;
    std::vector<PackageRecord*> enable;
    bool accepted = planner(run.context, removal, enable, golden.report);
    std::string text;
    text += std::string("plan: ") + (accepted ? "accepted" : "refused") + "\n";
    text += "removal: " + plantest::listText(removal) + "\n";
    text += "enable: " + plantest::listText(enable) + "\n";
    text += "pending: " + plantest::pendingText(run.context) + "\n";
    text += run.messagesText();
    EXPECT_EQ(run.console.str(), run.expectedConsole());
    return text;
}

std::string runSelect(const GoldenCase& golden) {
    Run run(golden);
    std::vector<PackageRecord*> list;
    for (const auto& r : run.context.packages) list.push_back(r.get());
    selectCandidates(run.context, list, golden.mode == "select-older", golden.report);
    std::string text = "result: " + plantest::listText(list) + "\n" + run.messagesText();
    EXPECT_EQ(run.console.str(), run.expectedConsole());
    return text;
}

std::vector<std::string> goldenFiles() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(kGoldenDir.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class PlanGolden : public ::testing::TestWithParam<std::string> {};

TEST_P(PlanGolden, MatchesExpectedOutcome) {
    GoldenCase golden;
    std::string error;
    ASSERT_TRUE(readCase(kGoldenDir + "/" + GetParam(), golden, error)) << error;
    ASSERT_FALSE(golden.packages.empty());
    ASSERT_FALSE(golden.expected.empty()) << "no expect: section";
    if (golden.mode == "plan") {
        EXPECT_EQ(runPlan(golden, planChanges), golden.expected);
    } else {
        EXPECT_EQ(runSelect(golden), golden.expected);
    }
}

TEST(PlanGoldenFiles, ArePresent) {
    EXPECT_GE(goldenFiles().size(), 10u) << kGoldenDir;
}

std::string testName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(0, info.param.size() - 4);
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, PlanGolden, ::testing::ValuesIn(goldenFiles()), testName);

}  // namespace
