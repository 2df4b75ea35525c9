#pragma once

#include "core/Shape.h"
#include "core/ShapedArray.h"
#include "runtime/MappedFile.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dravelin {

// Element types a safetensors file can declare. Only the floating-point ones
// convert to compute precision; the others may sit in a file (an integer
// position buffer, say) and are left alone.
enum class DType { F16, BF16, F32, F64, I8, U8, I16, U16, I32, U32, I64, U64, BOOL };

std::string_view dtypeName(DType dtype);
size_t dtypeSize(DType dtype);
bool isConvertibleToFloat(DType dtype);

// A malformed or unreadable weight file; the message names the file and, where
// it applies, the tensor.
class SafetensorsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One tensor of a mapped file: its declaration and its raw little-endian bytes.
struct TensorView {
    std::string name;
    DType dtype;
    Shape shape;
    std::span<const uint8_t> bytes;

    int64_t elementCount() const;
};

// A safetensors file (8-byte little-endian header length, a JSON header, then
// the tensor data), mapped and validated on open: the header must be a JSON
// object of well-formed tensor entries whose byte ranges fit the data and do
// not overlap. Nothing but the header is read until a tensor is used.
class SafetensorsFile {
public:
    // Throws SafetensorsError (or std::runtime_error for an unreadable file).
    explicit SafetensorsFile(const std::filesystem::path& path);

    // Validates bytes already in memory (`label` names them in messages). The
    // bytes must outlive this object.
    static SafetensorsFile fromBytes(std::span<const uint8_t> bytes, std::string label);

    const std::filesystem::path& path() const { return path_; }
    const std::map<std::string, TensorView>& tensors() const { return tensors_; }
    const std::map<std::string, std::string>& metadata() const { return metadata_; }
    bool contains(const std::string& name) const { return tensors_.count(name) != 0; }
    // Throws SafetensorsError when the file has no such tensor.
    const TensorView& tensor(const std::string& name) const;
    // Where a tensor of this file starts in its data section (after the
    // header), in bytes.
    uint64_t dataOffset(const TensorView& tensor) const {
        return static_cast<uint64_t>(tensor.bytes.data() - dataStart_);
    }
    // The size of the file or bytes read.
    uint64_t size() const { return size_; }

private:
    SafetensorsFile() = default;
    void parse(std::span<const uint8_t> bytes);

    std::filesystem::path path_;
    std::shared_ptr<MappedFile> mapping_;
    std::map<std::string, TensorView> tensors_;
    std::map<std::string, std::string> metadata_;
    const uint8_t* dataStart_ = nullptr;
    uint64_t size_ = 0;
};

// Converts a floating-point tensor to 32-bit floats into `out` (one element
// per value); throws SafetensorsError for any other element type.
void convertToFloat32(const TensorView& tensor, std::span<float> out);
ShapedArray toShapedArray(const TensorView& tensor);

// IEEE half and bfloat16 to float, exactly.
float halfToFloat(uint16_t bits);
float bfloat16ToFloat(uint16_t bits);
// Round to nearest even, for writing weight files.
uint16_t floatToHalf(float value);
uint16_t floatToBfloat16(float value);

} // namespace dravelin
