// Replays every scenario under tests/e2e/scenarios/ and compares the transcript
// with the file. UPDATE_SCENARIOS=1 writes the transcripts back instead, for a
// reviewed diff after a deliberate change of behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "e2e/ScenarioScript.h"
#include "tools/harness/Sandbox.h"

namespace {

const std::string kScenarioDirectory = std::string(SOURCE_DIR) + "/tests/e2e/scenarios/";

std::vector<std::string> scenarioNames() {
    std::vector<std::string> names;
    for (const std::string& name : testsupport::directoryNames(kScenarioDirectory))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0)
            names.push_back(name.substr(0, name.size() - 4));
    return names;
}

class Scenario : public ::testing::TestWithParam<std::string> {};

TEST_P(Scenario, TranscriptMatches) {
    const std::string path = kScenarioDirectory + GetParam() + ".txt";
    const std::string expected = testsupport::readFile(path);
    std::string skipReason;
    const std::string actual = e2e::runScenario(expected, &skipReason);
    if (!skipReason.empty()) GTEST_SKIP() << skipReason;
    if (std::getenv("UPDATE_SCENARIOS") && actual != expected)
        testsupport::writeFile(path, actual);
    else
        EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(Files, Scenario, ::testing::ValuesIn(scenarioNames()),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
