#include "runtime/BundleWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace dravelin {

namespace {

std::filesystem::path temporaryBeside(const std::filesystem::path& path) {
    return path.parent_path() / (path.filename().string() + ".partial");
}

// Streams `write` into a temporary file, then renames it over `path`.
template <typename Write> void writeAtomically(const std::filesystem::path& path, Write&& write) {
    const std::filesystem::path temporary = temporaryBeside(path);
    {
        std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
        if (!stream) {
            throw std::runtime_error("Cannot create \"" + temporary.string() + "\".");
        }
        write(stream);
        stream.flush();
        if (!stream) {
            stream.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error("Cannot write \"" + path.string() + "\"; is the disk full?");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        throw std::runtime_error("Cannot move \"" + path.string() + "\" into place.");
    }
}

} // namespace

TensorToWrite TensorToWrite::fromFloats(std::string name, const ShapedArray& values, DType dtype) {
    TensorToWrite tensor{std::move(name), dtype, values.shape(), {}};
    const std::span<const float> in = values.values();
    switch (dtype) {
    case DType::F32:
        tensor.bytes.resize(in.size() * 4);
        std::memcpy(tensor.bytes.data(), in.data(), tensor.bytes.size());
        break;
    case DType::F16:
    case DType::BF16:
        tensor.bytes.resize(in.size() * 2);
        for (size_t i = 0; i < in.size(); ++i) {
            const uint16_t bits = dtype == DType::F16 ? floatToHalf(in[i]) : floatToBfloat16(in[i]);
            std::memcpy(tensor.bytes.data() + 2 * i, &bits, 2);
        }
        break;
    default:
        throw std::invalid_argument("Floats are stored as F32, F16 or BF16.");
    }
    return tensor;
}

TensorToWrite TensorToWrite::fromInt64(std::string name, const std::vector<int64_t>& values,
                                       Shape shape) {
    if (elementCount(shape) != static_cast<int64_t>(values.size())) {
        throw std::invalid_argument("Cannot shape " + std::to_string(values.size()) +
                                    " integers as " + describe(shape) + ".");
    }
    TensorToWrite tensor{std::move(name), DType::I64, std::move(shape), {}};
    tensor.bytes.resize(values.size() * 8);
    std::memcpy(tensor.bytes.data(), values.data(), tensor.bytes.size());
    return tensor;
}

void writeSafetensors(const std::filesystem::path& path, const std::vector<TensorToWrite>& tensors,
                      const std::map<std::string, std::string>& metadata) {
    nlohmann::ordered_json header = nlohmann::ordered_json::object();
    if (!metadata.empty()) {
        header["__metadata__"] = metadata;
    }
    // Wider elements first, so that every tensor starts at a multiple of its
    // element size, as readers may require.
    std::vector<const TensorToWrite*> order;
    for (const TensorToWrite& tensor : tensors) {
        order.push_back(&tensor);
    }
    std::stable_sort(order.begin(), order.end(), [](const TensorToWrite* a, const TensorToWrite* b) {
        return dtypeSize(a->dtype) > dtypeSize(b->dtype);
    });
    uint64_t offset = 0;
    for (const TensorToWrite* written : order) {
        const TensorToWrite& tensor = *written;
        if (static_cast<uint64_t>(elementCount(tensor.shape)) * dtypeSize(tensor.dtype) !=
            tensor.bytes.size()) {
            throw std::invalid_argument("Tensor \"" + tensor.name + "\" has " +
                                        std::to_string(tensor.bytes.size()) + " bytes for shape " +
                                        describe(tensor.shape) + ".");
        }
        header[tensor.name] = {{"dtype", std::string(dtypeName(tensor.dtype))},
                               {"shape", tensor.shape},
                               {"data_offsets", {offset, offset + tensor.bytes.size()}}};
        offset += tensor.bytes.size();
    }
    std::string headerText = header.dump();
    // Pad with spaces so the tensor data starts 8-byte aligned.
    headerText.append((8 - headerText.size() % 8) % 8, ' ');
    uint8_t length[8];
    uint64_t value = headerText.size();
    for (uint8_t& byte : length) {
        byte = static_cast<uint8_t>(value & 0xffu);
        value >>= 8;
    }
    writeAtomically(path, [&](std::ofstream& stream) {
        stream.write(reinterpret_cast<const char*>(length), 8);
        stream.write(headerText.data(), static_cast<std::streamsize>(headerText.size()));
        for (const TensorToWrite* tensor : order) {
            stream.write(reinterpret_cast<const char*>(tensor->bytes.data()),
                         static_cast<std::streamsize>(tensor->bytes.size()));
        }
    });
}

void writeFileAtomically(const std::filesystem::path& path, const std::string& contents) {
    writeAtomically(path, [&](std::ofstream& stream) {
        stream.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    });
}

void writeBundle(const std::filesystem::path& directory, const nlohmann::json& config,
                 const std::vector<TensorToWrite>& weights,
                 const std::optional<nlohmann::json>& bundleJson,
                 const std::string& weightFileName) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        throw std::runtime_error("Cannot create the bundle directory \"" + directory.string() +
                                 "\": " + error.message() + ".");
    }
    writeFileAtomically(directory / "config.json", config.dump(2) + "\n");
    if (bundleJson) {
        writeFileAtomically(directory / "bundle.json", bundleJson->dump(2) + "\n");
    }
    writeSafetensors(directory / weightFileName, weights);
}

} // namespace dravelin
