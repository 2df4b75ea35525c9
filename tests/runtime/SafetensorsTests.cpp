#include "runtime/BundleWriter.h"
#include "runtime/Safetensors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace dravelin;
using dravelin::testing::TemporaryDirectory;

namespace {

std::vector<uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// A file of the safetensors layout with the given header text and data size.
std::vector<uint8_t> withHeader(const std::string& header, size_t dataBytes = 16) {
    std::vector<uint8_t> bytes(8 + header.size() + dataBytes, 0);
    uint64_t length = header.size();
    std::memcpy(bytes.data(), &length, 8);
    std::memcpy(bytes.data() + 8, header.data(), header.size());
    return bytes;
}

void expectRefused(const std::vector<uint8_t>& bytes, const std::string& fragment) {
    try {
        SafetensorsFile::fromBytes(bytes, "weights.safetensors");
        ADD_FAILURE() << "accepted; expected a message with \"" << fragment << "\"";
    } catch (const SafetensorsError& error) {
        EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("weights.safetensors"), std::string::npos);
    }
}

} // namespace

TEST(Safetensors, WritesAndMapsEveryFloatTypeBack) {
    TemporaryDirectory directory;
    const ShapedArray values({0.5f, -2.0f, 3.25f, 1e-3f, 65504.0f, -0.0f}, Shape{2, 3});
    const auto file = directory.path() / "w.safetensors";
    writeSafetensors(file,
                     {TensorToWrite::fromFloats("a.f32", values, DType::F32),
                      TensorToWrite::fromFloats("b.f16", values, DType::F16),
                      TensorToWrite::fromFloats("c.bf16", values, DType::BF16),
                      TensorToWrite::fromInt64("position_ids", {0, 1, 2, 3}, Shape{1, 4})},
                     {{"format", "pt"}});
    EXPECT_FALSE(std::filesystem::exists(directory.path() / "w.safetensors.partial"));

    const SafetensorsFile mapped(file);
    EXPECT_EQ(mapped.metadata().at("format"), "pt");
    EXPECT_EQ(mapped.tensors().size(), 4u);
    EXPECT_EQ(toShapedArray(mapped.tensor("a.f32")), values);
    const ShapedArray half = toShapedArray(mapped.tensor("b.f16"));
    EXPECT_EQ(half.shape(), (Shape{2, 3}));
    EXPECT_EQ(half.at({0, 2}), 3.25f);
    EXPECT_EQ(half.at({1, 1}), 65504.0f);
    EXPECT_NEAR(half.at({1, 0}), 1e-3f, 1e-6f);
    EXPECT_TRUE(std::signbit(half.at({1, 2})));
    const ShapedArray brain = toShapedArray(mapped.tensor("c.bf16"));
    EXPECT_EQ(brain.at({0, 1}), -2.0f);
    EXPECT_NEAR(brain.at({1, 1}), 65504.0f, 256.0f);

    EXPECT_EQ(mapped.tensor("position_ids").dtype, DType::I64);
    EXPECT_THROW(toShapedArray(mapped.tensor("position_ids")), SafetensorsError);
    EXPECT_THROW(mapped.tensor("missing"), SafetensorsError);

    // Tensor data starts 8-byte aligned.
    const std::vector<uint8_t> bytes = fileBytes(file);
    uint64_t headerLength = 0;
    std::memcpy(&headerLength, bytes.data(), 8);
    EXPECT_EQ(headerLength % 8, 0u);
}

TEST(Safetensors, HalfPrecisionConversionsAreExact) {
    // Every half value survives half → float → half.
    for (uint32_t bits = 0; bits <= 0xffff; ++bits) {
        const float value = halfToFloat(static_cast<uint16_t>(bits));
        if (std::isnan(value)) {
            EXPECT_TRUE(std::isnan(halfToFloat(floatToHalf(value))));
            continue;
        }
        ASSERT_EQ(floatToHalf(value), bits) << std::hex << bits;
    }
    EXPECT_EQ(halfToFloat(0x3c00), 1.0f);
    EXPECT_EQ(halfToFloat(0x0001), 0x1p-24f);
    EXPECT_EQ(floatToHalf(1.0f + 0x1p-11f), 0x3c00);     // tie to even
    EXPECT_EQ(floatToHalf(1.0f + 3 * 0x1p-11f), 0x3c02); // tie to even, upwards
    EXPECT_EQ(floatToHalf(70000.0f), 0x7c00);
    EXPECT_EQ(bfloat16ToFloat(floatToBfloat16(1.0f + 0x1p-8f)), 1.0f);
    EXPECT_EQ(bfloat16ToFloat(0xc040), -3.0f);
}

TEST(Safetensors, MalformedHeadersAreRefusedWithTheirCause) {
    expectRefused({1, 2, 3}, "too short");
    std::vector<uint8_t> pastEnd = withHeader("{}");
    pastEnd[0] = 0xff;
    pastEnd[5] = 0x01;
    expectRefused(pastEnd, "does not fit");
    expectRefused(withHeader("{\"a\": "), "not a JSON object");
    expectRefused(withHeader("[1, 2]"), "not a JSON object");
    expectRefused(withHeader(R"({"a": 5})"), "tensor \"a\"");
    expectRefused(withHeader(R"({"a": {"dtype": "F8", "shape": [1], "data_offsets": [0, 1]}})"),
                  "unknown element type");
    expectRefused(withHeader(R"({"a": {"dtype": "F32", "shape": [-1], "data_offsets": [0, 4]}})"),
                  "invalid dimension");
    expectRefused(withHeader(R"({"a": {"dtype": "F32", "shape": [2], "data_offsets": [4, 0]}})"),
                  "invalid data offsets");
    expectRefused(withHeader(R"({"a": {"dtype": "F32", "shape": [8], "data_offsets": [0, 32]}})"),
                  "truncated");
    expectRefused(withHeader(R"({"a": {"dtype": "F32", "shape": [3], "data_offsets": [0, 8]}})"),
                  "does not match its shape");
    expectRefused(withHeader(R"({"a": {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]},
                       "b": {"dtype": "F32", "shape": [2], "data_offsets": [4, 12]}})"),
                  "overlap");
    expectRefused(withHeader(R"({"a": {"dtype": "F32", "shape": [4611686018427387904, 4],
                             "data_offsets": [0, 16]}})"),
                  "too large");
    expectRefused(withHeader(R"({"__metadata__": {"n": 1}})"), "metadata");

    EXPECT_NO_THROW(SafetensorsFile::fromBytes(
        withHeader(R"({"a": {"dtype": "F32", "shape": [2], "data_offsets": [8, 16]},
                       "b": {"dtype": "F16", "shape": [], "data_offsets": [0, 2]}})"),
        "ok"));
}

TEST(Safetensors, MissingFileNamesThePath) {
    try {
        SafetensorsFile file("/nonexistent/dir/weights.safetensors");
        ADD_FAILURE() << "opened a missing file";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/dir/weights.safetensors"),
                  std::string::npos);
    }
}

TEST(Safetensors, RandomAndTruncatedHeadersNeverCrash) {
    TemporaryDirectory directory;
    const auto path = directory.path() / "valid.safetensors";
    writeSafetensors(path,
                     {TensorToWrite::fromFloats("w", ShapedArray(Shape{4, 4}, 1.0f)),
                      TensorToWrite::fromFloats("b", ShapedArray(Shape{4}, 2.0f), DType::F16)});
    const std::vector<uint8_t> valid = fileBytes(path);

    // Every truncation of a valid file is refused or, past the header, still
    // consistent; none reads out of bounds (run under a sanitizer to see it).
    for (size_t length = 0; length < valid.size(); ++length) {
        const std::vector<uint8_t> cut(valid.begin(), valid.begin() + length);
        EXPECT_THROW(SafetensorsFile::fromBytes(cut, "cut"), SafetensorsError) << length;
    }

    std::mt19937 random(1234);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<uint8_t> bytes = valid;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f) {
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        }
        try {
            const SafetensorsFile file = SafetensorsFile::fromBytes(bytes, "fuzz");
            for (const auto& [name, view] : file.tensors()) {
                ASSERT_GE(view.bytes.data(), bytes.data());
                ASSERT_LE(view.bytes.data() + view.bytes.size(), bytes.data() + bytes.size());
            }
        } catch (const SafetensorsError&) {
        }
    }
}
