#include "pipeline/EmbeddingLibrary.h"

#include "core/TextExcerpt.h"
#include "runtime/Safetensors.h"

#include <algorithm>

namespace dravelin {

namespace {

// An embedding's vectors never fill more than one 75-token chunk.
constexpr int64_t kMostVectors = 75;
constexpr int64_t kWidestVector = 8192;

ShapedArray readVectors(const TensorView& tensor, const std::string& where) {
    Shape shape = tensor.shape;
    if (shape.size() == 1) {
        shape = {1, shape[0]};
    }
    if (shape.size() != 2 || shape[0] < 1 || shape[0] > kMostVectors || shape[1] < 1 ||
        shape[1] > kWidestVector) {
        throw EmbeddingError(where + " holds \"" + excerpt(tensor.name) + "\" shaped " +
                             describe(tensor.shape) + "; an embedding is 1 to " +
                             std::to_string(kMostVectors) + " vectors of one width.");
    }
    if (!isConvertibleToFloat(tensor.dtype)) {
        throw EmbeddingError(where + " holds \"" + excerpt(tensor.name) + "\" as " +
                             std::string(dtypeName(tensor.dtype)) +
                             ", not as floating-point numbers.");
    }
    ShapedArray vectors = toShapedArray(tensor);
    return ShapedArray(std::vector<float>(vectors.values().begin(), vectors.values().end()),
                       shape);
}

} // namespace

EmbeddingLibrary::Embedding EmbeddingLibrary::readFile(const std::filesystem::path& path) {
    const std::string where = "The embedding \"" + excerpt(path.filename().string()) + "\"";
    if (path.extension() != ".safetensors") {
        throw EmbeddingError(where + " is not a .safetensors file; pickled embeddings (.pt, "
                                     ".bin) are not opened, as they can run code.");
    }
    Embedding embedding;
    embedding.name = path.stem().string();
    try {
        const SafetensorsFile file(path);
        const auto& tensors = file.tensors();
        if (file.contains("emb_params")) {
            embedding.vectors = readVectors(file.tensor("emb_params"), where);
        } else if (file.contains("clip_l") || file.contains("clip_g")) {
            for (const auto& [key, role] : {std::pair{"clip_l", TextEncoderRole::first},
                                            std::pair{"clip_g", TextEncoderRole::second}}) {
                if (file.contains(key)) {
                    embedding.vectorsFor.emplace(role, readVectors(file.tensor(key), where));
                }
            }
        } else if (tensors.size() == 1) {
            embedding.vectors = readVectors(tensors.begin()->second, where);
        } else {
            throw EmbeddingError(where + " has " + std::to_string(tensors.size()) +
                                 " tensors and none named \"emb_params\", \"clip_l\" or "
                                 "\"clip_g\"; it is not a textual-inversion embedding.");
        }
    } catch (const EmbeddingError&) {
        throw;
    } catch (const std::exception& cause) {
        throw EmbeddingError(where + " cannot be read: " + cause.what());
    }
    return embedding;
}

EmbeddingLibrary EmbeddingLibrary::readFolder(const std::filesystem::path& folder) {
    EmbeddingLibrary library;
    std::error_code error;
    if (!std::filesystem::exists(folder, error)) {
        return library;
    }
    if (!std::filesystem::is_directory(folder, error)) {
        throw EmbeddingError("The embedding folder \"" + excerpt(folder.string()) +
                             "\" is not a folder.");
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".safetensors" && entry.is_regular_file(error)) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const std::filesystem::path& file : files) {
        try {
            library.add(readFile(file));
        } catch (const EmbeddingError& problem) {
            library.problems_.push_back(problem.what());
        }
    }
    return library;
}

void EmbeddingLibrary::add(Embedding embedding) {
    std::erase_if(embeddings_,
                  [&](const Embedding& known) { return known.name == embedding.name; });
    embeddings_.push_back(std::move(embedding));
}

const ShapedArray* EmbeddingLibrary::vectorsFor(const Embedding& embedding, TextEncoderRole role,
                                                int64_t width) {
    const auto named = embedding.vectorsFor.find(role);
    if (named != embedding.vectorsFor.end()) {
        return named->second.shape()[1] == width ? &named->second : nullptr;
    }
    if (embedding.vectors && embedding.vectors->shape()[1] == width) {
        return &*embedding.vectors;
    }
    return nullptr;
}

} // namespace dravelin
