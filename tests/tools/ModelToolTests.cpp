#include "model/ModelTool.h"
#include "support/TestNetworks.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun tool(std::vector<std::string> arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runModelTool(arguments, out, err);
    return {status, out.str(), err.str()};
}

class ModelToolTest : public ::testing::Test {
protected:
    ScopedNetworkKind registration{std::make_shared<AffineKind>()};
    TemporaryDirectory directory;
    std::string bundle = (directory.path() / "Affine.model").string();

    void SetUp() override { writeAffineBundle(bundle); }

    std::string writeFloats(const std::string& name, std::vector<float> values) {
        const auto path = directory.path() / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(values.data()),
                   static_cast<std::streamsize>(values.size() * 4));
        return path.string();
    }
};

} // namespace

TEST_F(ModelToolTest, DescribeListsKindShapesAndWeights) {
    const ToolRun run = tool({"describe", bundle});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Kind: TestAffine"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  x [1, 3]"), std::string::npos);
    EXPECT_NE(run.out.find("  y\n"), std::string::npos);
    EXPECT_NE(run.out.find("Parameters: 6"), std::string::npos);
    EXPECT_NE(run.out.find("F16 (1 tensor)"), std::string::npos);
}

TEST_F(ModelToolTest, RunWritesRawOutputsAndAListing) {
    const std::string input = writeFloats("x.bin", {1, 2, 3});
    const std::string out = (directory.path() / "out").string();
    const ToolRun run = tool({"run", bundle, "--input", "x=" + input, "--out", out});
    ASSERT_EQ(run.status, 0) << run.err;

    std::ifstream listing(out + "/outputs.json");
    const nlohmann::json outputs = nlohmann::json::parse(listing);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0]["name"], "y");
    EXPECT_EQ(outputs[0]["shape"], nlohmann::json({1, 3}));
    std::ifstream raw(out + "/" + outputs[0]["file"].get<std::string>(), std::ios::binary);
    float y[3] = {};
    raw.read(reinterpret_cast<char*>(y), sizeof y);
    EXPECT_EQ(y[0], 1.0f);
    EXPECT_EQ(y[1], 14.0f);
    EXPECT_EQ(y[2], 29.0f);
}

TEST_F(ModelToolTest, BenchReportsTimings) {
    const ToolRun run = tool({"bench", bundle, "--runs", "3"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("3 runs: min"), std::string::npos) << run.out;
}

TEST_F(ModelToolTest, FailuresAreOneLineAndANonZeroStatus) {
    const ToolRun missing = tool({"describe", (directory.path() / "None.model").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
    EXPECT_NE(missing.err.find("None.model"), std::string::npos);

    const std::string shortInput = writeFloats("short.bin", {1, 2});
    const ToolRun wrongSize = tool(
        {"run", bundle, "--input", "x=" + shortInput, "--out", (directory.path() / "o").string()});
    EXPECT_EQ(wrongSize.status, 1);
    EXPECT_NE(wrongSize.err.find("8 bytes"), std::string::npos) << wrongSize.err;

    const ToolRun noInput = tool({"run", bundle, "--out", (directory.path() / "o").string()});
    EXPECT_EQ(noInput.status, 1);
    EXPECT_NE(noInput.err.find("\"x\""), std::string::npos) << noInput.err;

    EXPECT_EQ(tool({}).status, 2);
    EXPECT_EQ(tool({"explode", bundle}).status, 2);
    EXPECT_EQ(tool({"bench", bundle, "--runs", "zero"}).status, 2);
    EXPECT_EQ(tool({"run", bundle, "--input", "x"}).status, 2);
    EXPECT_EQ(tool({"run", bundle, "--input", "=f", "--out", "o"}).status, 2);
}
