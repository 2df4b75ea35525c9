#pragma once

#include "core/ShapedArray.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravelin {

// An embedding file that cannot be used; the message names the file.
class EmbeddingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Which text encoder of a model asks for an embedding's vectors: SDXL
// embeddings carry one set per encoder ("clip_l" for the first, "clip_g" for
// the second).
enum class TextEncoderRole { first, second };

// Textual-inversion embeddings: each a word (the file's name without its
// extension) that stands for n learned token embeddings of a text encoder.
// A value; copies share nothing that changes.
class EmbeddingLibrary {
public:
    struct Embedding {
        std::string name;
        // [n, width] for any encoder of that width ("emb_params" or a file's
        // only tensor), and per role for files that name their encoder.
        std::optional<ShapedArray> vectors;
        std::map<TextEncoderRole, ShapedArray> vectorsFor;
    };

    // Reads one .safetensors embedding: the tensor "emb_params", or
    // "clip_l" and "clip_g", or the file's only tensor, each [n, width] (or
    // [width] for one vector) with 1 to 75 vectors. Throws EmbeddingError.
    static Embedding readFile(const std::filesystem::path& path);

    // Every .safetensors file of a folder, by name; a file that cannot be used
    // is left out and its message kept in problems(). A missing folder is an
    // empty library. Throws EmbeddingError for a path that is not a folder.
    static EmbeddingLibrary readFolder(const std::filesystem::path& folder);

    // A later embedding of the same name replaces the earlier one.
    void add(Embedding embedding);

    const std::vector<Embedding>& embeddings() const { return embeddings_; }
    const std::vector<std::string>& problems() const { return problems_; }
    bool empty() const { return embeddings_.empty(); }

    // The vectors an encoder of this role and width uses, or none when the
    // embedding was trained for another encoder.
    static const ShapedArray* vectorsFor(const Embedding& embedding, TextEncoderRole role,
                                         int64_t width);

private:
    std::vector<Embedding> embeddings_;
    std::vector<std::string> problems_;
};

} // namespace dravelin
