// Golden outputs: the SHA-256 of every output file and of the console output of seeded runs of the executable
// must match tests/golden.txt. After a deliberate change of results, record them anew (one case at a time):
// TAVRI_UPDATE_GOLDEN=1 ctest --test-dir build -R Golden -j1
// With TAVRI_GOLDEN_DATA set to a folder, each case also leaves its data there
// (NAME.txt) with its options (NAME.args, one word a line), so that the Python
// package's tests run the same numbers without a second copy of the generators.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "golden_cases.h"
#include "sha256.h"
#include "test_support.h"

namespace {

using golden_cases::SeededCase;
using Hashes = std::map<std::string, std::string>;  // output name -> SHA-256

class Golden : public ::testing::TestWithParam<SeededCase> {};

TEST_P(Golden, OutputsAreUnchanged) {
    const SeededCase& c = GetParam();
    test_support::TempDir dir;
    const std::string data = c.make(c.seed);
    dir.Write("data.txt", data);
    std::vector<std::string> args = {"data.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (const char* folder = std::getenv("TAVRI_GOLDEN_DATA")) {
        std::filesystem::create_directories(folder);
        std::string words;
        for (const auto& word : c.args) words += word + "\n";
        test_support::WriteFile(std::string(folder) + "/" + c.name + ".txt", data);
        test_support::WriteFile(std::string(folder) + "/" + c.name + ".args", words);
    }
    const auto run = test_support::Run(TAVRI_EXE, args, dir.path());
    Hashes produced = {{"console", test_support::Sha256(run.output + "exit " + std::to_string(run.status))}};
    for (const char* name : {"normdata.txt", "S_normdata.txt", "CTavri-data.txt", "LTavri-data.txt", "RTavri-data.txt"})
        if (std::ifstream(dir / name)) produced[name] = test_support::Sha256(test_support::ReadFile(dir / name));

    const std::string file = std::string(TAVRI_SOURCE_DIR) + "/tests/golden.txt";
    std::map<std::string, Hashes> golden;
    std::ifstream in(file);
    for (std::string name, output, hash; in >> name >> output >> hash;) golden[name][output] = hash;
    if (std::getenv("TAVRI_UPDATE_GOLDEN") != nullptr) {
        golden[c.name] = produced;
        std::ofstream out(file);
        for (const auto& [name, outputs] : golden)
            for (const auto& [output, hash] : outputs) out << name << ' ' << output << ' ' << hash << '\n';
        GTEST_SKIP() << "recorded " << c.name;
    }
    const Hashes& recorded = golden[c.name];
    ASSERT_FALSE(recorded.empty()) << "case " << c.name << ": nothing recorded in tests/golden.txt";
    std::set<std::string> outputs;
    for (const auto& entry : produced) outputs.insert(entry.first);
    for (const auto& entry : recorded) outputs.insert(entry.first);
    for (const std::string& output : outputs) {
        const auto now = produced.find(output);
        const auto then = recorded.find(output);
        if (then == recorded.end())
            ADD_FAILURE() << "case " << c.name << ": " << output << " was written but none is recorded";
        else if (now == produced.end())
            ADD_FAILURE() << "case " << c.name << ": " << output << " is recorded but was not written";
        else
            EXPECT_EQ(now->second, then->second) << "case " << c.name << ": " << output << " differs from the record";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(golden_cases::GoldenCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
