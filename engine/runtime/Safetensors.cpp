#include "runtime/Safetensors.h"

#include "core/JsonNesting.h"
#include "core/TextExcerpt.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace dravelin {

// Tensor bytes are little-endian and read in place.
static_assert(std::endian::native == std::endian::little);

namespace {

struct DTypeInfo {
    DType dtype;
    std::string_view name;
    size_t size;
};

constexpr std::array<DTypeInfo, 13> kDTypes{{
    {DType::F16, "F16", 2},
    {DType::BF16, "BF16", 2},
    {DType::F32, "F32", 4},
    {DType::F64, "F64", 8},
    {DType::I8, "I8", 1},
    {DType::U8, "U8", 1},
    {DType::I16, "I16", 2},
    {DType::U16, "U16", 2},
    {DType::I32, "I32", 4},
    {DType::U32, "U32", 4},
    {DType::I64, "I64", 8},
    {DType::U64, "U64", 8},
    {DType::BOOL, "BOOL", 1},
}};

const DTypeInfo& info(DType dtype) {
    for (const DTypeInfo& entry : kDTypes) {
        if (entry.dtype == dtype) {
            return entry;
        }
    }
    return kDTypes.front();
}

// The format caps its header at 100 MB; the networks here need well under
// one (SD's denoising network: 0.1 MB), and a header is parsed into memory
// several times its size, so a tighter bound keeps a corrupt file cheap.
constexpr uint64_t kMaxHeaderBytes = 16'000'000;

uint64_t readLittleEndian64(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool asOffset(const nlohmann::json& value, uint64_t& out) {
    if (value.is_number_unsigned()) {
        out = value.get<uint64_t>();
        return true;
    }
    if (value.is_number_integer() && value.get<int64_t>() >= 0) {
        out = static_cast<uint64_t>(value.get<int64_t>());
        return true;
    }
    return false;
}

} // namespace

std::string_view dtypeName(DType dtype) {
    return info(dtype).name;
}

size_t dtypeSize(DType dtype) {
    return info(dtype).size;
}

bool isConvertibleToFloat(DType dtype) {
    return dtype == DType::F16 || dtype == DType::BF16 || dtype == DType::F32;
}

int64_t TensorView::elementCount() const {
    return dravelin::elementCount(shape);
}

SafetensorsFile::SafetensorsFile(const std::filesystem::path& path) : path_(path) {
    mapping_ = std::make_shared<MappedFile>(path);
    parse(mapping_->bytes());
}

SafetensorsFile SafetensorsFile::fromBytes(std::span<const uint8_t> bytes, std::string label) {
    SafetensorsFile file;
    file.path_ = std::move(label);
    file.parse(bytes);
    return file;
}

void SafetensorsFile::parse(std::span<const uint8_t> bytes) {
    const std::string where = "The weight file \"" + path_.string() + "\"";
    if (bytes.size() < 8) {
        throw SafetensorsError(where + " is too short to hold a header (" +
                               std::to_string(bytes.size()) + " bytes).");
    }
    const uint64_t headerLength = readLittleEndian64(bytes.data());
    if (headerLength > kMaxHeaderBytes || headerLength > bytes.size() - 8) {
        throw SafetensorsError(where + " declares a header of " + std::to_string(headerLength) +
                               " bytes, which does not fit in its " + std::to_string(bytes.size()) +
                               " bytes; it is truncated or "
                               "not a safetensors file.");
    }
    const char* headerStart = reinterpret_cast<const char*>(bytes.data() + 8);
    if (jsonNestingDepth({headerStart, headerLength}, kMaximumJsonNesting) > kMaximumJsonNesting) {
        throw SafetensorsError(where + " has a header nested more than " +
                               std::to_string(kMaximumJsonNesting) + " deep; it is corrupt.");
    }
    nlohmann::json header = nlohmann::json::parse(headerStart, headerStart + headerLength, nullptr,
                                                  /*allow_exceptions=*/false);
    if (header.is_discarded() || !header.is_object()) {
        throw SafetensorsError(where + " has a header that is not a JSON object.");
    }

    const std::span<const uint8_t> data = bytes.subspan(8 + headerLength);
    dataStart_ = data.data();
    size_ = bytes.size();
    struct Range {
        uint64_t begin;
        uint64_t end;
        const std::string* name;
    };
    std::vector<Range> ranges;
    for (const auto& [name, entry] : header.items()) {
        if (name == "__metadata__") {
            if (!entry.is_object()) {
                throw SafetensorsError(where + " has metadata that is not a JSON object.");
            }
            for (const auto& [key, value] : entry.items()) {
                if (!value.is_string()) {
                    throw SafetensorsError(where + " has a metadata value for \"" + excerpt(key) +
                                           "\" that is not text.");
                }
                metadata_[key] = value.get<std::string>();
            }
            continue;
        }
        const std::string tensorWhere = where + ", tensor \"" + excerpt(name) + "\",";
        if (!entry.is_object()) {
            throw SafetensorsError(tensorWhere + " is not described by a JSON object.");
        }
        auto dtypeEntry = entry.find("dtype");
        if (dtypeEntry == entry.end() || !dtypeEntry->is_string()) {
            throw SafetensorsError(tensorWhere + " has no element type.");
        }
        const std::string dtypeText = dtypeEntry->get<std::string>();
        auto known = std::find_if(kDTypes.begin(), kDTypes.end(),
                                  [&](const DTypeInfo& d) { return d.name == dtypeText; });
        if (known == kDTypes.end()) {
            throw SafetensorsError(tensorWhere + " has the unknown element type \"" +
                                   excerpt(dtypeText, 20) + "\".");
        }
        auto shapeEntry = entry.find("shape");
        if (shapeEntry == entry.end() || !shapeEntry->is_array()) {
            throw SafetensorsError(tensorWhere + " has no shape.");
        }
        Shape shape;
        for (const nlohmann::json& dimension : *shapeEntry) {
            uint64_t size = 0;
            if (!asOffset(dimension, size) ||
                size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                throw SafetensorsError(tensorWhere + " has a shape with an invalid dimension.");
            }
            shape.push_back(static_cast<int64_t>(size));
        }
        auto offsets = entry.find("data_offsets");
        uint64_t begin = 0;
        uint64_t end = 0;
        if (offsets == entry.end() || !offsets->is_array() || offsets->size() != 2 ||
            !asOffset((*offsets)[0], begin) || !asOffset((*offsets)[1], end) || begin > end) {
            throw SafetensorsError(tensorWhere + " has invalid data offsets.");
        }
        if (end > data.size()) {
            throw SafetensorsError(tensorWhere + " lies past the end of the file (byte " +
                                   std::to_string(end) + " of " + std::to_string(data.size()) +
                                   "); the file is truncated.");
        }
        int64_t count = 0;
        try {
            count = dravelin::elementCount(shape);
        } catch (const std::exception&) {
            throw SafetensorsError(tensorWhere + " has a shape too large to hold.");
        }
        const uint64_t elementBytes = known->size;
        if (static_cast<uint64_t>(count) > std::numeric_limits<uint64_t>::max() / elementBytes ||
            static_cast<uint64_t>(count) * elementBytes != end - begin) {
            throw SafetensorsError(tensorWhere + " has " + std::to_string(end - begin) +
                                   " bytes of data, which does not match its shape " +
                                   describe(shape) + " of " + std::string(known->name) + ".");
        }
        auto [inserted, isNew] = tensors_.emplace(
            name,
            TensorView{name, known->dtype, std::move(shape),
                       data.subspan(static_cast<size_t>(begin), static_cast<size_t>(end - begin))});
        (void)isNew; // JSON object keys are unique after parsing
        ranges.push_back({begin, end, &inserted->first});
    }

    std::sort(ranges.begin(), ranges.end(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    for (size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].begin < ranges[i - 1].end) {
            throw SafetensorsError(where + ": the data of tensors \"" +
                                   excerpt(*ranges[i - 1].name) + "\" and \"" +
                                   excerpt(*ranges[i].name) + "\" overlap.");
        }
    }
}

const TensorView& SafetensorsFile::tensor(const std::string& name) const {
    auto found = tensors_.find(name);
    if (found == tensors_.end()) {
        throw SafetensorsError("The weight file \"" + path_.string() + "\" has no tensor \"" +
                               name + "\".");
    }
    return found->second;
}

float halfToFloat(uint16_t bits) {
    const uint32_t sign = static_cast<uint32_t>(bits & 0x8000u) << 16;
    const uint32_t exponent = (bits >> 10) & 0x1fu;
    const uint32_t mantissa = bits & 0x3ffu;
    if (exponent == 0x1f) {
        return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
    }
    if (exponent == 0) {
        // Zero or subnormal: mantissa × 2^-24, exact in float.
        const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
        return sign ? -magnitude : magnitude;
    }
    return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (mantissa << 13));
}

float bfloat16ToFloat(uint16_t bits) {
    return std::bit_cast<float>(static_cast<uint32_t>(bits) << 16);
}

uint16_t floatToBfloat16(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    if ((bits & 0x7fffffffu) > 0x7f800000u) {
        return static_cast<uint16_t>((bits >> 16) | 0x40u); // keep NaN a NaN
    }
    const uint32_t roundingBias = 0x7fffu + ((bits >> 16) & 1u);
    return static_cast<uint16_t>((bits + roundingBias) >> 16);
}

uint16_t floatToHalf(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
    const uint32_t magnitude = bits & 0x7fffffffu;
    if (magnitude > 0x7f800000u) {
        return static_cast<uint16_t>(sign | 0x7e00u);
    }
    if (magnitude >= 0x477ff000u) { // rounds to beyond the largest half
        return static_cast<uint16_t>(sign | 0x7c00u);
    }
    if (magnitude < 0x38800000u) { // below the smallest normal half: subnormal or zero
        const float scaled = std::bit_cast<float>(magnitude) * 0x1p24f;
        // Float rounding of the scaled value is round-to-nearest-even already.
        return static_cast<uint16_t>(sign | static_cast<uint16_t>(std::nearbyint(scaled)));
    }
    const uint32_t rounded = magnitude + 0xfffu + ((magnitude >> 13) & 1u);
    return static_cast<uint16_t>(sign | ((rounded - 0x38000000u) >> 13));
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
#define DRAVELIN_HAS_F16C_PATH 1
// Eight halves at a time by the F16C conversion instruction (exact, like
// halfToFloat); the tail one by one.
__attribute__((target("avx,f16c"))) void halvesToFloatsF16c(const uint8_t* in, float* out,
                                                            size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(halves));
    }
    for (; i < count; ++i) {
        uint16_t bits;
        std::memcpy(&bits, in + 2 * i, 2);
        out[i] = halfToFloat(bits);
    }
}
#endif

#ifdef DRAVELIN_HAS_F16C_PATH
// F16C and AVX from CPUID leaf 1 (clang 14's __builtin_cpu_supports does
// not know "f16c"); AVX also needs the system to save its registers.
bool hasF16c() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) {
        return false;
    }
    return (c & bit_F16C) != 0 && (c & bit_AVX) != 0 && __builtin_cpu_supports("avx");
}
#endif

void halvesToFloats(const uint8_t* in, float* out, size_t count) {
#ifdef DRAVELIN_HAS_F16C_PATH
    static const bool f16c = hasF16c();
    if (f16c) {
        halvesToFloatsF16c(in, out, count);
        return;
    }
#endif
    for (size_t i = 0; i < count; ++i) {
        uint16_t bits;
        std::memcpy(&bits, in + 2 * i, 2);
        out[i] = halfToFloat(bits);
    }
}

void bfloat16sToFloats(const uint8_t* in, float* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint16_t bits;
        std::memcpy(&bits, in + 2 * i, 2);
        out[i] = bfloat16ToFloat(bits);
    }
}

// Values converted per task: large tensors convert on every core, so a load
// runs at memory speed rather than one core's conversion speed.
constexpr size_t kConversionBlock = size_t{1} << 16;

} // namespace

void convertToFloat32(const TensorView& tensor, std::span<float> out) {
    const size_t count = static_cast<size_t>(tensor.elementCount());
    if (out.size() != count) {
        throw SafetensorsError("Tensor \"" + tensor.name + "\" has " + std::to_string(count) +
                               " values, not " + std::to_string(out.size()) + ".");
    }
    if (!isConvertibleToFloat(tensor.dtype)) {
        throw SafetensorsError("Tensor \"" + tensor.name + "\" holds " +
                               std::string(dtypeName(tensor.dtype)) +
                               " values, not floating-point weights (F16, BF16 or F32).");
    }
    const uint8_t* in = tensor.bytes.data();
    const size_t elementSize = dtypeSize(tensor.dtype);
    const DType dtype = tensor.dtype;
    const auto blocks = static_cast<int64_t>((count + kConversionBlock - 1) / kConversionBlock);
#pragma omp parallel for schedule(static) if (blocks > 1)
    for (int64_t block = 0; block < blocks; ++block) {
        const size_t first = static_cast<size_t>(block) * kConversionBlock;
        const size_t n = std::min(kConversionBlock, count - first);
        const uint8_t* source = in + first * elementSize;
        float* target = out.data() + first;
        if (dtype == DType::F32) {
            std::memcpy(target, source, n * sizeof(float));
        } else if (dtype == DType::F16) {
            halvesToFloats(source, target, n);
        } else {
            bfloat16sToFloats(source, target, n);
        }
    }
}

ShapedArray toShapedArray(const TensorView& tensor) {
    ShapedArray array(tensor.shape);
    convertToFloat32(tensor, array.values());
    return array;
}

} // namespace dravelin
