// Reading single-file checkpoints: the kind from the tensors alone, extra keys
// and element types as published files have them, and hostile files refused
// with one sentence before anything is run or allocated.
#include "core/Sha256.h"
#include "make-model/ModelMaker.h"
#include "runtime/Checkpoint.h"
#include "runtime/CheckpointBundle.h"
#include "runtime/CheckpointWriter.h"
#include "runtime/BundleWriter.h"
#include "runtime/Model.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <iterator>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

std::vector<TensorToWrite> tensorsOf(const std::filesystem::path& file) {
    const SafetensorsFile source(file);
    std::vector<TensorToWrite> tensors;
    for (const auto& [name, view] : source.tensors()) {
        tensors.push_back({name, view.dtype, view.shape, {view.bytes.begin(), view.bytes.end()}});
    }
    return tensors;
}

TensorToWrite* named(std::vector<TensorToWrite>& tensors, const std::string& name) {
    for (TensorToWrite& tensor : tensors) {
        if (tensor.name == name) {
            return &tensor;
        }
    }
    return nullptr;
}

// A safetensors file written byte by byte: `header` as given, then `data`.
void writeRaw(const std::filesystem::path& path, const std::string& header,
              const std::string& data = {}) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    const uint64_t length = header.size();
    for (int i = 0; i < 8; ++i) {
        stream.put(static_cast<char>((length >> (8 * i)) & 0xff));
    }
    stream << header << data;
}

std::string refusal(const std::function<void()>& body) {
    try {
        body();
    } catch (const CheckpointError& error) {
        return error.what();
    } catch (const ModelLoadError& error) {
        return error.what();
    }
    return "accepted";
}

// Expects one sentence holding `fragment`.
void expectSentence(const std::string& message, const std::string& fragment) {
    EXPECT_NE(message.find(fragment), std::string::npos) << message;
    EXPECT_LT(message.size(), 500u) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_EQ(message.back(), '.') << message;
}

class CheckpointFile : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "Model";
    std::filesystem::path file = directory.path() / "model.safetensors";

    void SetUp() override {
        writeRandomModel(model, {.imageEncoder = true, .checkpointRules = true});
        writeCheckpoint(model, file, CheckpointContents::model);
    }

    // The checkpoint rewritten through `change` into `name`.
    std::filesystem::path rewritten(const std::string& name,
                                    const std::function<void(std::vector<TensorToWrite>&)>& change,
                                    const std::map<std::string, std::string>& metadata = {}) {
        std::vector<TensorToWrite> tensors = tensorsOf(file);
        change(tensors);
        const auto path = directory.path() / name;
        writeSafetensors(path, tensors, metadata);
        return path;
    }
};

const std::string kInput = "model.diffusion_model.input_blocks.0.0.weight";

} // namespace

TEST_F(CheckpointFile, KindComesFromTheTensorsNeverTheNameOrMetadata) {
    const CheckpointDescription sd1 = inspectCheckpoint(file);
    EXPECT_EQ(sd1.kind, CheckpointKind::sd1);
    EXPECT_EQ(sd1.imageSize, 512);
    EXPECT_TRUE(sd1.hasOwnVae);
    EXPECT_EQ(sd1.elementTypes.at("F32"), static_cast<int64_t>(SafetensorsFile(file).tensors().size()));
    EXPECT_EQ(sd1.summary.rfind("SD 1.x model, ", 0), 0u) << sd1.summary;

    // Named and labelled as an XL inpainting model, it is still what it holds.
    const auto misleading = rewritten(
        "sdxl-inpainting-v2.safetensors", [](auto&) {},
        {{"modelspec.architecture", "stable-diffusion-xl-v1-base/inpainting"}});
    EXPECT_EQ(inspectCheckpoint(misleading).kind, CheckpointKind::sd1);

    const auto vae = directory.path() / "vae.safetensors";
    writeCheckpoint(model, vae, CheckpointContents::vae);
    const CheckpointDescription vaeDescription = inspectCheckpoint(vae);
    EXPECT_EQ(vaeDescription.kind, CheckpointKind::vae);
    EXPECT_EQ(vaeDescription.summary.rfind("VAE, ", 0), 0u) << vaeDescription.summary;
}

TEST_F(CheckpointFile, KindsNotRunAreRefusedByName) {
    const auto sd2 = rewritten("a.safetensors", [](auto& tensors) {
        tensors.push_back(TensorToWrite::fromFloats("cond_stage_model.model.ln_final.weight",
                                                    ShapedArray(Shape{4}, 1.0f)));
    });
    expectSentence(refusal([&] { inspectCheckpoint(sd2); }), "is an SD 2.x model");

    const auto inpainting = rewritten("b.safetensors", [](auto& tensors) {
        TensorToWrite& input = *named(tensors, kInput);
        input = TensorToWrite::fromFloats(kInput, ShapedArray(Shape{input.shape[0], 9, 3, 3}, 0.0f));
    });
    expectSentence(refusal([&] { inspectCheckpoint(inpainting); }),
                   "is an SD 1.x inpainting model (9 input channels)");

    const auto lora = directory.path() / "lora.safetensors";
    writeRandomLora(lora, {});
    expectSentence(refusal([&] { inspectCheckpoint(lora); }), "is a LoRA file, not a model");
}

TEST_F(CheckpointFile, ExtraKeysAndShortTextNamesAreReadAndMixedTypesConvert) {
    const auto published = rewritten("published.safetensors", [](auto& tensors) {
        std::vector<TensorToWrite> changed;
        int index = 0;
        for (TensorToWrite& tensor : tensors) {
            ShapedArray values(tensor.shape);
            convertToFloat32({tensor.name, tensor.dtype, tensor.shape, tensor.bytes}, values.values());
            // Some files leave "text_model." out of the text encoder's names.
            std::string name = tensor.name;
            const std::string longText = "cond_stage_model.transformer.text_model.";
            if (name.rfind(longText, 0) == 0) {
                name = "cond_stage_model.transformer." + name.substr(longText.size());
            }
            const DType types[] = {DType::F32, DType::F16, DType::BF16};
            changed.push_back(TensorToWrite::fromFloats(name, values, types[index++ % 3]));
        }
        changed.push_back(TensorToWrite::fromFloats("model_ema.decay", ShapedArray(Shape{}, 0.9999f)));
        changed.push_back(TensorToWrite::fromFloats("alphas_cumprod", ShapedArray(Shape{1000}, 0.5f)));
        changed.push_back(TensorToWrite::fromInt64(
            "cond_stage_model.transformer.embeddings.position_ids", std::vector<int64_t>(77, 0),
            {1, 77}));
        tensors = std::move(changed);
    });
    const CheckpointDescription description = inspectCheckpoint(published);
    EXPECT_EQ(description.kind, CheckpointKind::sd1);
    EXPECT_EQ(description.elementTypes.size(), 3u);
    EXPECT_EQ(description.parameterCount, inspectCheckpoint(file).parameterCount);

    for (const CheckpointPart part : {CheckpointPart::textEncoder, CheckpointPart::unet,
                                      CheckpointPart::vaeDecoder, CheckpointPart::vaeEncoder}) {
        const CheckpointBundle exact = readCheckpointPart({file, part});
        const CheckpointBundle mixed = readCheckpointPart({published, part});
        ASSERT_EQ(exact.config, mixed.config);
        // Every weight: equal within the rounding of its element type.
        const std::shared_ptr<const NetworkKind> kind = NetworkRegistry::shared().find(exact.kindName);
        for (const WeightSpec& spec : kind->expectedWeights(exact.config)) {
            const ShapedArray a = exact.weights.load(spec.name);
            const ShapedArray b = mixed.weights.load(spec.name);
            ASSERT_EQ(a.shape(), b.shape()) << spec.name;
            for (size_t i = 0; i < a.values().size(); ++i) {
                ASSERT_NEAR(a.values()[i], b.values()[i], 1e-2f * std::abs(a.values()[i]) + 1e-6f)
                    << spec.name;
            }
        }
    }
    EXPECT_NO_THROW(Model::load(checkpointPartPath(published, CheckpointPart::textEncoder),
                                {ComputeUnits::cpuOnly, ComputePrecision::float32}));
}

TEST_F(CheckpointFile, PickledCheckpointsAreNeverOpened) {
    // Unpickled, this runs `touch MARKER`.
    const auto marker = directory.path() / "ran";
    const std::string pickle = std::string("\x80\x02", 2) + "cos\nsystem\n(S'touch " +
                               marker.string() + "'\ntR.";
    for (const std::string name : {"model.ckpt", "model.pt", "model.bin", "pickle.safetensors"}) {
        const auto path = directory.path() / name;
        std::ofstream(path, std::ios::binary) << pickle;
        const std::string message = refusal([&] { inspectCheckpoint(path); });
        expectSentence(message, "is a pickled PyTorch checkpoint");
        EXPECT_NE(message.find("convert it to .safetensors"), std::string::npos) << message;
        // Nor through a model load.
        EXPECT_NE(refusal([&] { Model::load(checkpointPartPath(path, CheckpointPart::unet), {}); })
                      .find("pickled"),
                  std::string::npos);
    }
    // PyTorch's own format: a zip of pickles.
    const auto zip = directory.path() / "model.safetensors.tmp";
    std::ofstream(zip, std::ios::binary) << std::string("PK\x03\x04", 4) << pickle;
    expectSentence(refusal([&] { inspectCheckpoint(zip); }), "is a pickled PyTorch checkpoint");
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(CheckpointFile, MalformedHeadersAreRefusedBeforeAnythingIsAllocated) {
    const auto path = directory.path() / "hostile.safetensors";
    const std::string f32 = R"({"dtype": "F32", "shape": [1], "data_offsets": )";
    const std::pair<std::string, std::string> cases[] = {
        // A header that points past the end of the file.
        {std::string(8, 'x'), "declares a header of"},
        {"{\"" + kInput + "\": " + f32 + "[0, 4000]}}", "lies past the end of the file"},
        {"{\"a\": " + f32 + "[0, 4]}, \"b\": " + f32 + "[2, 6]}}", "overlap"},
        // Sizes no model has, refused on the header's word.
        {"{\"" + kInput + R"(": {"dtype": "F32", "shape": [320, 4, 0, 3], "data_offsets": [0, 0]}})",
         "which no model of its kind has"},
        {"{\"" + kInput + R"(": {"dtype": "F32", "shape": [4294967296, 4, 3, 3], "data_offsets": [0, 0]}})",
         "does not match its shape"},
    };
    for (const auto& [header, fragment] : cases) {
        if (header.size() == 8) {
            std::ofstream stream(path, std::ios::binary | std::ios::trunc);
            stream << std::string("\xff\xff\xff\xff\x00\x00\x00\x00", 8) << "{}";
        } else {
            writeRaw(path, header, std::string(8, '\0'));
        }
        expectSentence(refusal([&] { inspectCheckpoint(path); }), fragment);
    }

    // Thousands of layers named in an otherwise small header: counted no
    // further than any model goes.
    nlohmann::json many = nlohmann::json::object();
    const std::string text = "cond_stage_model.transformer.text_model.";
    const auto tensor = [](Shape shape, uint64_t begin) {
        const uint64_t end = begin + static_cast<uint64_t>(elementCount(shape)) * 4;
        return nlohmann::json{{"dtype", "F32"}, {"shape", shape}, {"data_offsets", {begin, end}}};
    };
    many[kInput] = tensor({32, 4, 3, 3}, 0);
    many[text + "embeddings.token_embedding.weight"] = tensor({10, 64}, 4608);
    many[text + "embeddings.position_embedding.weight"] = tensor({77, 64}, 4608 + 2560);
    const uint64_t end = 4608 + 2560 + 77 * 64 * 4;
    for (int i = 0; i < 2000; ++i) {
        many[text + "encoder.layers." + std::to_string(i) + ".self_attn.q_proj.weight"] =
            tensor({0}, end);
    }
    writeRaw(path, many.dump(), std::string(end, '\0'));
    expectSentence(refusal([&] { inspectCheckpoint(path); }),
                   "The file \"hostile.safetensors\" has more than 128 of");
}

TEST_F(CheckpointFile, MisalignedOrMissingTensorsAreRefusedBeforeLoading) {
    // The same tensors with two bytes before the input convolution's data.
    const std::vector<TensorToWrite> tensors = tensorsOf(file);
    nlohmann::json header = nlohmann::json::object();
    std::string data;
    for (const TensorToWrite& tensor : tensors) {
        if (tensor.name == kInput) {
            data += std::string(2, '\0');
        }
        header[tensor.name] = {{"dtype", std::string(dtypeName(tensor.dtype))},
                               {"shape", tensor.shape},
                               {"data_offsets", {data.size(), data.size() + tensor.bytes.size()}}};
        data.append(tensor.bytes.begin(), tensor.bytes.end());
    }
    const auto misaligned = directory.path() / "misaligned.safetensors";
    writeRaw(misaligned, header.dump(), data);
    EXPECT_EQ(inspectCheckpoint(misaligned).kind, CheckpointKind::sd1);
    expectSentence(
        refusal([&] { Model::describeBundle(checkpointPartPath(misaligned, CheckpointPart::unet)); }),
        "is not aligned to its element size");

    const auto incomplete = rewritten("incomplete.safetensors", [](auto& tensors) {
        std::erase_if(tensors, [](const TensorToWrite& t) {
            return t.name == "model.diffusion_model.out.2.bias";
        });
    });
    expectSentence(
        refusal([&] { Model::describeBundle(checkpointPartPath(incomplete, CheckpointPart::unet)); }),
        "lacks the tensor \"model.diffusion_model.out.2.bias\"");
    EXPECT_FALSE(bundleExists(checkpointPartPath(file, CheckpointPart::textEncoder2)));
    EXPECT_TRUE(bundleExists(checkpointPartPath(file, CheckpointPart::vaeEncoder)));
}

// The fuzz target reads checkpoints from memory: the bytes must be read, and
// refused, exactly as the file is.
TEST_F(CheckpointFile, BytesInMemoryReadAsTheFileDoes) {
    const auto bytesOf = [](const std::filesystem::path& path) {
        std::ifstream stream(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(stream), {});
    };
    const std::vector<uint8_t> bytes = bytesOf(file);
    const CheckpointDescription fromFile = inspectCheckpoint(file);
    const CheckpointDescription fromBytes = inspectCheckpoint(bytes, file);
    EXPECT_EQ(fromBytes.kind, fromFile.kind);
    EXPECT_EQ(fromBytes.summary, fromFile.summary);
    EXPECT_EQ(fromBytes.fileBytes, fromFile.fileBytes);
    for (const CheckpointPart part :
         {CheckpointPart::textEncoder, CheckpointPart::unet, CheckpointPart::vaeEncoder}) {
        const CheckpointBundle read = readCheckpointPart({file, part});
        const CheckpointBundle held = readCheckpointPart(bytes, file, part);
        EXPECT_EQ(held.config, read.config);
        const auto kind = NetworkRegistry::shared().find(read.kindName);
        for (const WeightSpec& spec : kind->expectedWeights(read.config)) {
            ASSERT_EQ(held.weights.load(spec.name), read.weights.load(spec.name)) << spec.name;
        }
    }
    EXPECT_EQ(refusal([&] { readCheckpointPart(bytes, file, CheckpointPart::textEncoder2); }),
              refusal([&] { readCheckpointPart({file, CheckpointPart::textEncoder2}); }));

    const auto pickle = directory.path() / "pickle.safetensors";
    std::ofstream(pickle, std::ios::binary) << std::string("\x80\x02", 2) << "cos\nsystem\n";
    const auto truncated = directory.path() / "truncated.safetensors";
    writeRaw(truncated, "{\"" + kInput + R"(": {"dtype": "F32", "shape": [1], "data_offsets": [0, 4000]}})");
    for (const auto& hostile : {pickle, truncated}) {
        const std::string message = refusal([&] { inspectCheckpoint(hostile); });
        EXPECT_EQ(refusal([&] { inspectCheckpoint(bytesOf(hostile), hostile); }), message);
        EXPECT_NE(message, "accepted");
    }
}

TEST(ModelHash, Sha256OfFilesWithProgressAndCancel) {
    TemporaryDirectory directory;
    const auto path = directory.path() / "a";
    std::ofstream(path, std::ios::binary) << std::string(5'000'000, 'a');
    std::vector<uint64_t> done;
    const auto hash = sha256OfFile(path, [&](uint64_t bytes, uint64_t total) {
        EXPECT_EQ(total, 5'000'000u);
        done.push_back(bytes);
        return true;
    });
    // sha256sum of five million "a"s.
    EXPECT_EQ(hash, "7f4a285193573e707fcb6398222c00f044745cd2930e41d28d30da87d6ca183f");
    EXPECT_EQ(done.back(), 5'000'000u);
    EXPECT_GE(done.size(), 2u);
    EXPECT_FALSE(sha256OfFile(path, [](uint64_t, uint64_t) { return false; }).has_value());
    Sha256 abc;
    const std::string text = "abc";
    abc.update({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    EXPECT_EQ(toHex(abc.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(shortModelHash(*hash), "7f4a285193");
}
