#include "nn/layers/AttentionTiles.h"

#include "nn/compute/Bfloat16.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#include <cpuid.h>
#include <immintrin.h>
#include <sys/syscall.h>
#include <unistd.h>
#define DRAVELIN_MATRIX_TILES 1
#endif

namespace dravelin::kernels {

namespace {

// A tile holds 16 rows of 64 bytes: 16 floats, or 32 bfloat16 values (16
// pairs, for the products' second operand).
constexpr int64_t kTileValues = 512;

#ifdef DRAVELIN_MATRIX_TILES

bool detectMatrixTiles() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool tiles = (edx & (1u << 24)) != 0;
    const bool bf16Tiles = (edx & (1u << 22)) != 0;
    const unsigned subleaves = eax;
    bool bf16Vectors = false; // the softmax's AVX-512 BF16 conversions
    if (subleaves >= 1) {
        __cpuid_count(7, 1, eax, ebx, ecx, edx);
        bf16Vectors = (eax & (1u << 5)) != 0;
    }
    if (!tiles || !bf16Tiles || !bf16Vectors) {
        return false;
    }
    // Linux hands out the tile state only on request (ARCH_REQ_XCOMP_PERM
    // for XFEATURE_XTILEDATA); without it the first tile instruction faults.
    constexpr long kRequestPermission = 0x1023;
    constexpr long kTileData = 18;
    return syscall(SYS_arch_prctl, kRequestPermission, kTileData) == 0;
}

// Palette 1, eight tiles of 16 rows × 64 bytes.
struct alignas(64) TileConfig {
    uint8_t palette = 1;
    uint8_t startRow = 0;
    uint8_t reserved[14] = {};
    uint16_t bytesPerRow[16] = {64, 64, 64, 64, 64, 64, 64, 64};
    uint8_t rows[16] = {16, 16, 16, 16, 16, 16, 16, 16};
};
const TileConfig kFullTiles;

// The tile loads are asm statements that do not tell the compiler they read
// memory: each kernel is a function of its own, entered past a barrier.
#define DRAVELIN_TILE_KERNEL __attribute__((target("amx-tile,amx-bf16"), noinline))

DRAVELIN_TILE_KERNEL
void configureTiles() {
    _tile_loadconfig(&kFullTiles);
}

DRAVELIN_TILE_KERNEL
void releaseTiles() {
    _tile_release();
}

DRAVELIN_TILE_KERNEL
void scoresOnTiles(const uint16_t* queries, int64_t depth, const uint16_t* keys, int64_t keyTiles,
                   float* scores, int64_t scoreStride) {
    __asm__ volatile("" ::: "memory");
    const int64_t steps = depth / 32;
    const long queryBytes = static_cast<long>(depth * 2);
    const long scoreBytes = static_cast<long>(scoreStride * 4);
    const int64_t rowTile = 16 * depth;
    for (int64_t t = 0; t < keyTiles; ++t) {
        const uint16_t* b = keys + t * steps * kTileValues;
        _tile_zero(0);
        _tile_zero(1);
        _tile_zero(2);
        _tile_zero(3);
        for (int64_t s = 0; s < steps; ++s) {
            _tile_loadd(5, b + s * kTileValues, 64);
            const uint16_t* a = queries + s * 32;
            _tile_loadd(4, a, queryBytes);
            _tile_dpbf16ps(0, 4, 5);
            _tile_loadd(6, a + rowTile, queryBytes);
            _tile_dpbf16ps(1, 6, 5);
            _tile_loadd(4, a + 2 * rowTile, queryBytes);
            _tile_dpbf16ps(2, 4, 5);
            _tile_loadd(6, a + 3 * rowTile, queryBytes);
            _tile_dpbf16ps(3, 6, 5);
        }
        float* c = scores + t * 16;
        _tile_stored(0, c, scoreBytes);
        _tile_stored(1, c + 16 * scoreStride, scoreBytes);
        _tile_stored(2, c + 32 * scoreStride, scoreBytes);
        _tile_stored(3, c + 48 * scoreStride, scoreBytes);
    }
}

// Up to four column tiles of the weighted values per pass, for each of the
// four row tiles: the accumulators stay in tiles over every key step.
template <int Columns>
DRAVELIN_TILE_KERNEL void weighColumns(const uint16_t* weights, int64_t weightStride,
                                       const uint16_t* values, int64_t columnTiles,
                                       int64_t keySteps, float* weighted, int64_t width) {
    __asm__ volatile("" ::: "memory");
    const long weightBytes = static_cast<long>(weightStride * 2);
    const long weightedBytes = static_cast<long>(width * 4);
    for (int64_t rowTile = 0; rowTile < 4; ++rowTile) {
        float* c = weighted + rowTile * 16 * width;
        const uint16_t* a = weights + rowTile * 16 * weightStride;
        _tile_loadd(0, c, weightedBytes);
        if constexpr (Columns > 1) {
            _tile_loadd(1, c + 16, weightedBytes);
        }
        if constexpr (Columns > 2) {
            _tile_loadd(2, c + 32, weightedBytes);
        }
        if constexpr (Columns > 3) {
            _tile_loadd(3, c + 48, weightedBytes);
        }
        for (int64_t step = 0; step < keySteps; ++step) {
            const uint16_t* b = values + step * columnTiles * kTileValues;
            _tile_loadd(4, a + step * 32, weightBytes);
            _tile_loadd(5, b, 64);
            _tile_dpbf16ps(0, 4, 5);
            if constexpr (Columns > 1) {
                _tile_loadd(6, b + kTileValues, 64);
                _tile_dpbf16ps(1, 4, 6);
            }
            if constexpr (Columns > 2) {
                _tile_loadd(7, b + 2 * kTileValues, 64);
                _tile_dpbf16ps(2, 4, 7);
            }
            if constexpr (Columns > 3) {
                _tile_loadd(5, b + 3 * kTileValues, 64);
                _tile_dpbf16ps(3, 4, 5);
            }
        }
        _tile_stored(0, c, weightedBytes);
        if constexpr (Columns > 1) {
            _tile_stored(1, c + 16, weightedBytes);
        }
        if constexpr (Columns > 2) {
            _tile_stored(2, c + 32, weightedBytes);
        }
        if constexpr (Columns > 3) {
            _tile_stored(3, c + 48, weightedBytes);
        }
    }
}

// float32 to bfloat16 with the vector conversion (rounding to nearest even,
// as toBfloat16 does), optionally scaled first; the tiles' processors all
// have it.
__attribute__((target("avx512f,avx512bw,avx512vl,avx512bf16"))) void
narrowRow(const float* values, int64_t count, float scale, uint16_t* out) {
    const __m512 factor = _mm512_set1_ps(scale);
    int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512 x = _mm512_mul_ps(_mm512_loadu_ps(values + i), factor);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), (__m256i)_mm512_cvtneps_pbh(x));
    }
    if (i < count) {
        const auto tail = static_cast<__mmask16>((1u << (count - i)) - 1u);
        const __m512 x = _mm512_mul_ps(_mm512_maskz_loadu_ps(tail, values + i), factor);
        _mm256_mask_storeu_epi16(out + i, tail, (__m256i)_mm512_cvtneps_pbh(x));
    }
}

#endif

void toTileBfloat16(const float* values, int64_t count, float scale, uint16_t* out) {
#ifdef DRAVELIN_MATRIX_TILES
    if (matrixTilesAvailable()) {
        narrowRow(values, count, scale, out);
        return;
    }
#endif
    std::vector<float> scaled(values, values + count);
    for (float& value : scaled) {
        value *= scale;
    }
    toBfloat16(scaled.data(), out, count);
}

} // namespace

TileSession::TileSession() {
#ifdef DRAVELIN_MATRIX_TILES
    configureTiles();
#endif
}

TileSession::~TileSession() {
#ifdef DRAVELIN_MATRIX_TILES
    releaseTiles();
#endif
}

bool matrixTilesAvailable() {
#ifdef DRAVELIN_MATRIX_TILES
    static const bool available = detectMatrixTiles();
    return available;
#else
    return false;
#endif
}

void packKeysForTiles(const float* keys, int64_t stride, int64_t count, int64_t headDim,
                      uint16_t* packed) {
    const int64_t depth = roundUp(headDim, 32);
    const int64_t steps = depth / 32;
    std::fill_n(packed, tileKeysSize(count, headDim), uint16_t{0});
    std::vector<uint16_t> row(static_cast<size_t>(depth), 0);
    auto* pairs = reinterpret_cast<uint32_t*>(packed);
    for (int64_t k = 0; k < count; ++k) {
        toTileBfloat16(keys + k * stride, headDim, 1.0f, row.data());
        const int64_t tile = k / 16;
        const int64_t key = k % 16;
        // Two neighbouring dimensions of one key sit side by side.
        for (int64_t p = 0; p < depth / 2; ++p) {
            uint32_t pair = 0;
            std::memcpy(&pair, row.data() + 2 * p, sizeof pair);
            pairs[((tile * steps + p / 16) * 16 + p % 16) * 16 + key] = pair;
        }
    }
}

void packValuesForTiles(const float* values, int64_t stride, int64_t count, int64_t headDim,
                        uint16_t* packed) {
    const int64_t columnTiles = roundUp(headDim, 16) / 16;
    std::fill_n(packed, tileValuesSize(count, headDim), uint16_t{0});
    std::vector<uint16_t> row(static_cast<size_t>(headDim));
    for (int64_t k = 0; k < count; ++k) {
        toTileBfloat16(values + k * stride, headDim, 1.0f, row.data());
        // Two neighbouring keys of one dimension sit side by side.
        uint16_t* step = packed + (k / 32) * columnTiles * kTileValues + (k % 32) / 2 * 32 + k % 2;
        for (int64_t j = 0; j < headDim; ++j) {
            step[(j / 16) * kTileValues + (j % 16) * 2] = row[static_cast<size_t>(j)];
        }
    }
}

void packQueriesForTiles(const float* queries, int64_t stride, int64_t count, int64_t headDim,
                         float scale, uint16_t* packed) {
    const int64_t depth = roundUp(headDim, 32);
    std::fill_n(packed, kTileQueries * depth, uint16_t{0});
    for (int64_t i = 0; i < count; ++i) {
        toTileBfloat16(queries + i * stride, headDim, scale, packed + i * depth);
    }
}

void tileScores(const TileSession& /*session*/, const uint16_t* queries, int64_t headDim, const uint16_t* packedKeys,
                int64_t firstKeyTile, int64_t keyTiles, float* scores, int64_t scoreStride) {
#ifdef DRAVELIN_MATRIX_TILES
    const int64_t depth = roundUp(headDim, 32);
    scoresOnTiles(queries, depth, packedKeys + firstKeyTile * (depth / 32) * kTileValues, keyTiles,
                  scores, scoreStride);
#else
    (void)queries, (void)headDim, (void)packedKeys, (void)firstKeyTile, (void)keyTiles,
        (void)scores, (void)scoreStride;
#endif
}

void tileWeigh(const TileSession& /*session*/, const uint16_t* weights, int64_t weightStride, int64_t headDim,
               const uint16_t* packedValues, int64_t firstKeyStep, int64_t keySteps,
               float* weighted) {
#ifdef DRAVELIN_MATRIX_TILES
    const int64_t width = roundUp(headDim, 16);
    const int64_t columnTiles = width / 16;
    const uint16_t* values = packedValues + firstKeyStep * columnTiles * kTileValues;
    for (int64_t first = 0; first < columnTiles; first += 4) {
        const uint16_t* b = values + first * kTileValues;
        float* c = weighted + first * 16;
        switch (std::min<int64_t>(4, columnTiles - first)) {
        case 4:
            weighColumns<4>(weights, weightStride, b, columnTiles, keySteps, c, width);
            break;
        case 3:
            weighColumns<3>(weights, weightStride, b, columnTiles, keySteps, c, width);
            break;
        case 2:
            weighColumns<2>(weights, weightStride, b, columnTiles, keySteps, c, width);
            break;
        default:
            weighColumns<1>(weights, weightStride, b, columnTiles, keySteps, c, width);
            break;
        }
    }
#else
    (void)weights, (void)weightStride, (void)headDim, (void)packedValues, (void)firstKeyStep,
        (void)keySteps, (void)weighted;
#endif
}

} // namespace dravelin::kernels
