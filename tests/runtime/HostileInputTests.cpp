// Inputs that once crashed the process, filled memory or hung it, each now
// refused at once with a message that names the file, the key and what is
// allowed.
#include "runtime/BundleContents.h"
#include "runtime/Model.h"
#include "runtime/RuntimeErrors.h"
#include "runtime/Safetensors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include <sys/stat.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class HostileBundle : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::filesystem::path bundle = directory.path() / "Unet.model";

    HostileBundle() { std::filesystem::create_directories(bundle); }

    void writeConfig(const std::string& text) {
        std::ofstream(bundle / "config.json", std::ios::trunc) << text;
    }

    // Describing the bundle fails with a short message holding `fragment`;
    // returns the message.
    std::string expectRefusal(const std::string& fragment) {
        try {
            Model::describeBundle(bundle);
            ADD_FAILURE() << "the bundle was described; expected: " << fragment;
        } catch (const ModelLoadError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(fragment), std::string::npos) << message;
            EXPECT_LT(message.size(), 400u) << message;
            return message;
        }
        return {};
    }
};

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

} // namespace

TEST_F(HostileBundle, ConfigurationValuesAreBoundedBeforeAnythingIsSized) {
    const std::string unet = R"({"_class_name": "UNet2DConditionModel", )";
    const std::string clip = R"({"_class_name": "CLIPTextModel", )";
    const std::string vae = R"({"_class_name": "AutoencoderKL", )";
    const std::pair<std::string, std::string> cases[] = {
        // Once a SIGFPE inside the compute library's primitive creation.
        {unet + R"("sample_size": 65536})",
         R"(config.json: "sample_size" is 65536; it must be from 1 to 256.)"},
        // Once grown to gigabytes of weight lists before the weights were read.
        {unet + R"("layers_per_block": 10000000})",
         R"("layers_per_block" is 10000000; it must be from 1 to 16)"},
        {unet + R"("transformer_layers_per_block": 1099511627776})", "from 1 to 64"},
        {clip + R"("num_hidden_layers": 4294967296})", R"("num_hidden_layers" is 4294967296)"},
        // Once reported as -1.
        {unet + R"("in_channels": 18446744073709551615})", "is 18446744073709551615; it must be"},
        {unet + R"("in_channels": 99999999999999999999})", "a whole number beyond 64 bits"},
        {unet + R"("block_out_channels": [8, 2.5]})", "must be a whole number"},
        {clip + R"("eos_token_id": 49408})",
         R"("eos_token_id" is 49408; it must be from 0 to 49407)"},
        {vae + R"("sample_size": [65536, 8]})", "from 1 to 2048"},
        {unet + R"("act_fn": ")" + std::string(10000, 'x') + R"("})", "xxx…"},
        // Once a stack overflow printing the value; now refused unparsed.
        {unet + R"("in_channels": )" + nested(90000) + "}", "more than 64 deep"},
        {unet + R"("in_channels": )" + nested(60) + "}", "not a list of 1 value."},
    };
    for (const auto& [config, fragment] : cases) {
        writeConfig(config);
        const std::string message = expectRefusal(fragment);
        // The fuzz target reads bundles from memory: it must meet the same checks.
        try {
            describeBundleContents(BundleContents{bundle, config, std::nullopt, {}});
            ADD_FAILURE() << "the bundle in memory was described; expected: " << fragment;
        } catch (const ModelLoadError& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
}

TEST_F(HostileBundle, SpecialFilesAreRefusedByWhatTheyAre) {
    std::filesystem::create_directories(bundle / "config.json");
    expectRefusal("config.json of model bundle \"Unet.model\" is a directory, not a file.");
    std::filesystem::remove(bundle / "config.json");

    // Once read until memory ran out.
    std::filesystem::create_symlink("/dev/zero", bundle / "config.json");
    expectRefusal("is a device, not a file");
    std::filesystem::remove(bundle / "config.json");

    // Named pipes with no writer are refused, not waited on.
    ASSERT_EQ(::mkfifo((bundle / "config.json").c_str(), 0600), 0);
    expectRefusal("is a named pipe, not a file");
    std::filesystem::remove(bundle / "config.json");

    writeConfig(R"({"_class_name": "CLIPTextModel"})");
    ASSERT_EQ(::mkfifo((bundle / "model.safetensors").c_str(), 0600), 0);
    expectRefusal("not a regular file");
    std::filesystem::remove(bundle / "model.safetensors");

    std::ofstream(bundle / "config.json", std::ios::trunc) << std::string(5 << 20, ' ');
    expectRefusal("more than such a file can be");
}

TEST(HostileWeightFile, DeeplyNestedHeaderIsRefused) {
    const std::string header = "{\"a\": " + nested(100000) + "}";
    std::string bytes(8, '\0');
    const uint64_t length = header.size();
    std::memcpy(bytes.data(), &length, 8);
    bytes += header;
    try {
        SafetensorsFile::fromBytes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
                                   "deep.safetensors");
        ADD_FAILURE() << "the header was accepted";
    } catch (const SafetensorsError& error) {
        EXPECT_NE(std::string(error.what()).find("nested more than 64 deep"), std::string::npos)
            << error.what();
    }
}
