#include "nn/layers/AttentionTiles.h"

#include "nn/compute/Bfloat16.h"

#include <algorithm>
#include <cstdlib>
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

// Head sizes up to 64 (one or two steps of 32): a strip of 16 queries stays
// in tiles 4 and 5 while four key tiles at a time pass through 6 and 7 into
// four independent accumulators (the tiles are not renamed: reloading a
// tile right after the product that reads it waits for that product).
template <int Steps>
DRAVELIN_TILE_KERNEL void scoresResident(const uint16_t* queries, int64_t strips,
                                         const uint16_t* keys, int64_t keyTiles, float* scores,
                                         int64_t scoreStride) {
    __asm__ volatile("" ::: "memory");
    constexpr int64_t depth = Steps * 32;
    constexpr long queryBytes = depth * 2;
    const long scoreBytes = static_cast<long>(scoreStride * 4);
    constexpr int64_t keyTile = Steps * kTileValues;
    for (int64_t strip = 0; strip < strips; ++strip) {
        const uint16_t* a = queries + strip * 16 * depth;
        float* c = scores + strip * 16 * scoreStride;
        _tile_loadd(4, a, queryBytes);
        if constexpr (Steps > 1) {
            _tile_loadd(5, a + 32, queryBytes);
        }
        int64_t t = 0;
        for (; t + 4 <= keyTiles; t += 4) {
            const uint16_t* b = keys + t * keyTile;
            _tile_zero(0);
            _tile_zero(1);
            _tile_zero(2);
            _tile_zero(3);
            _tile_loadd(6, b, 64);
            _tile_dpbf16ps(0, 4, 6);
            _tile_loadd(7, b + keyTile, 64);
            _tile_dpbf16ps(1, 4, 7);
            _tile_loadd(6, b + 2 * keyTile, 64);
            _tile_dpbf16ps(2, 4, 6);
            _tile_loadd(7, b + 3 * keyTile, 64);
            _tile_dpbf16ps(3, 4, 7);
            if constexpr (Steps > 1) {
                _tile_loadd(6, b + kTileValues, 64);
                _tile_dpbf16ps(0, 5, 6);
                _tile_loadd(7, b + keyTile + kTileValues, 64);
                _tile_dpbf16ps(1, 5, 7);
                _tile_loadd(6, b + 2 * keyTile + kTileValues, 64);
                _tile_dpbf16ps(2, 5, 6);
                _tile_loadd(7, b + 3 * keyTile + kTileValues, 64);
                _tile_dpbf16ps(3, 5, 7);
            }
            _tile_stored(0, c + t * 16, scoreBytes);
            _tile_stored(1, c + t * 16 + 16, scoreBytes);
            _tile_stored(2, c + t * 16 + 32, scoreBytes);
            _tile_stored(3, c + t * 16 + 48, scoreBytes);
        }
        for (; t < keyTiles; ++t) {
            const uint16_t* b = keys + t * keyTile;
            _tile_zero(0);
            _tile_loadd(6, b, 64);
            _tile_dpbf16ps(0, 4, 6);
            if constexpr (Steps > 1) {
                _tile_loadd(7, b + kTileValues, 64);
                _tile_dpbf16ps(0, 5, 7);
            }
            _tile_stored(0, c + t * 16, scoreBytes);
        }
    }
}

// Larger head sizes: per strip of 16 queries, up to four key tiles into
// accumulators 0–3, the query tile of each step alternating between 4 and 5
// and the key tiles between 6 and 7.
template <int KeyTiles>
DRAVELIN_TILE_KERNEL void scoresDeep(const uint16_t* a, int64_t depth, const uint16_t* b,
                                     float* c, int64_t scoreStride) {
    __asm__ volatile("" ::: "memory");
    const int64_t steps = depth / 32;
    const long queryBytes = static_cast<long>(depth * 2);
    const long scoreBytes = static_cast<long>(scoreStride * 4);
    const int64_t keyTile = steps * kTileValues;
    _tile_zero(0);
    if constexpr (KeyTiles > 1) {
        _tile_zero(1);
    }
    if constexpr (KeyTiles > 2) {
        _tile_zero(2);
    }
    if constexpr (KeyTiles > 3) {
        _tile_zero(3);
    }
#define DRAVELIN_DEEP_STEP(A, S)                                                                     \
    _tile_loadd(A, a + (S) * 32, queryBytes);                                                     \
    _tile_loadd(6, b + (S) * kTileValues, 64);                                                    \
    _tile_dpbf16ps(0, A, 6);                                                                       \
    if constexpr (KeyTiles > 1) {                                                                  \
        _tile_loadd(7, b + keyTile + (S) * kTileValues, 64);                                      \
        _tile_dpbf16ps(1, A, 7);                                                                   \
    }                                                                                              \
    if constexpr (KeyTiles > 2) {                                                                  \
        _tile_loadd(6, b + 2 * keyTile + (S) * kTileValues, 64);                                  \
        _tile_dpbf16ps(2, A, 6);                                                                   \
    }                                                                                              \
    if constexpr (KeyTiles > 3) {                                                                  \
        _tile_loadd(7, b + 3 * keyTile + (S) * kTileValues, 64);                                  \
        _tile_dpbf16ps(3, A, 7);                                                                   \
    }
    int64_t step = 0;
    for (; step + 2 <= steps; step += 2) {
        DRAVELIN_DEEP_STEP(4, step)
        DRAVELIN_DEEP_STEP(5, step + 1)
    }
    if (step < steps) {
        DRAVELIN_DEEP_STEP(4, step)
    }
#undef DRAVELIN_DEEP_STEP
    _tile_stored(0, c, scoreBytes);
    if constexpr (KeyTiles > 1) {
        _tile_stored(1, c + 16, scoreBytes);
    }
    if constexpr (KeyTiles > 2) {
        _tile_stored(2, c + 32, scoreBytes);
    }
    if constexpr (KeyTiles > 3) {
        _tile_stored(3, c + 48, scoreBytes);
    }
}

// Up to four column tiles of the weighted values per pass, for each of the
// four row tiles: the accumulators stay in tiles over every key step.
template <int Columns>
DRAVELIN_TILE_KERNEL void weighColumns(const uint16_t* weights, int64_t weightStride,
                                       int64_t rowTiles, const uint16_t* values,
                                       int64_t columnTiles, int64_t keySteps, float* weighted,
                                       int64_t width) {
    __asm__ volatile("" ::: "memory");
    const long weightBytes = static_cast<long>(weightStride * 2);
    const long weightedBytes = static_cast<long>(width * 4);
    for (int64_t rowTile = 0; rowTile < rowTiles; ++rowTile) {
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
        // With three columns or fewer, the weights of alternate steps go to
        // tiles 4 and 3, so that loading one need not wait for the products
        // still reading the other.
#define DRAVELIN_WEIGH_STEP(A, S)                                                                   \
    {                                                                                              \
        const uint16_t* b = values + (S) * columnTiles * kTileValues;                              \
        _tile_loadd(A, a + (S) * 32, weightBytes);                                                 \
        _tile_loadd(5, b, 64);                                                                     \
        _tile_dpbf16ps(0, A, 5);                                                                   \
        if constexpr (Columns > 1) {                                                               \
            _tile_loadd(6, b + kTileValues, 64);                                                   \
            _tile_dpbf16ps(1, A, 6);                                                               \
        }                                                                                          \
        if constexpr (Columns > 2) {                                                               \
            _tile_loadd(7, b + 2 * kTileValues, 64);                                               \
            _tile_dpbf16ps(2, A, 7);                                                               \
        }                                                                                          \
        if constexpr (Columns > 3) {                                                               \
            /* Four columns keep tile 3 as an accumulator: their weights are always in 4. */       \
            _tile_loadd(5, b + 3 * kTileValues, 64);                                               \
            _tile_dpbf16ps(3, 4, 5);                                                               \
        }                                                                                          \
    }
        int64_t step = 0;
        if constexpr (Columns < 4) {
            for (; step + 2 <= keySteps; step += 2) {
                DRAVELIN_WEIGH_STEP(4, step)
                DRAVELIN_WEIGH_STEP(3, step + 1)
            }
        }
        for (; step < keySteps; ++step) {
            DRAVELIN_WEIGH_STEP(4, step)
        }
#undef DRAVELIN_WEIGH_STEP
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

// Two strips of 16 queries at once, two column tiles per pass: both strips'
// weights of a step (tiles 4, 5) meet both columns' values (6, 7) in four
// independent accumulators, each tile loaded serving two products.
DRAVELIN_TILE_KERNEL
void weighSquare(const uint16_t* weights, int64_t weightStride, const uint16_t* values,
                 int64_t columnTiles, int64_t keySteps, float* weighted, int64_t width) {
    __asm__ volatile("" ::: "memory");
    const long weightBytes = static_cast<long>(weightStride * 2);
    const long weightedBytes = static_cast<long>(width * 4);
    const uint16_t* a = weights;
    const uint16_t* a2 = weights + 16 * weightStride;
    float* c = weighted;
    float* c2 = weighted + 16 * width;
    _tile_loadd(0, c, weightedBytes);
    _tile_loadd(1, c + 16, weightedBytes);
    _tile_loadd(2, c2, weightedBytes);
    _tile_loadd(3, c2 + 16, weightedBytes);
    for (int64_t step = 0; step < keySteps; ++step) {
        const uint16_t* b = values + step * columnTiles * kTileValues;
        _tile_loadd(4, a + step * 32, weightBytes);
        _tile_loadd(6, b, 64);
        _tile_dpbf16ps(0, 4, 6);
        _tile_loadd(7, b + kTileValues, 64);
        _tile_dpbf16ps(1, 4, 7);
        _tile_loadd(5, a2 + step * 32, weightBytes);
        _tile_dpbf16ps(2, 5, 6);
        _tile_dpbf16ps(3, 5, 7);
    }
    _tile_stored(0, c, weightedBytes);
    _tile_stored(1, c + 16, weightedBytes);
    _tile_stored(2, c2, weightedBytes);
    _tile_stored(3, c2 + 16, weightedBytes);
}

// The same for a last single column: both strips, the weights of alternate
// steps in tiles 4, 5 and 2, 3.
DRAVELIN_TILE_KERNEL
void weighSquareColumn(const uint16_t* weights, int64_t weightStride, const uint16_t* values,
                       int64_t columnTiles, int64_t keySteps, float* weighted, int64_t width) {
    __asm__ volatile("" ::: "memory");
    const long weightBytes = static_cast<long>(weightStride * 2);
    const long weightedBytes = static_cast<long>(width * 4);
    const uint16_t* a = weights;
    const uint16_t* a2 = weights + 16 * weightStride;
    float* c = weighted;
    float* c2 = weighted + 16 * width;
    _tile_loadd(0, c, weightedBytes);
    _tile_loadd(1, c2, weightedBytes);
    int64_t step = 0;
    for (; step + 2 <= keySteps; step += 2) {
        const uint16_t* b = values + step * columnTiles * kTileValues;
        _tile_loadd(4, a + step * 32, weightBytes);
        _tile_loadd(6, b, 64);
        _tile_dpbf16ps(0, 4, 6);
        _tile_loadd(5, a2 + step * 32, weightBytes);
        _tile_dpbf16ps(1, 5, 6);
        _tile_loadd(2, a + step * 32 + 32, weightBytes);
        _tile_loadd(7, b + columnTiles * kTileValues, 64);
        _tile_dpbf16ps(0, 2, 7);
        _tile_loadd(3, a2 + step * 32 + 32, weightBytes);
        _tile_dpbf16ps(1, 3, 7);
    }
    if (step < keySteps) {
        const uint16_t* b = values + step * columnTiles * kTileValues;
        _tile_loadd(4, a + step * 32, weightBytes);
        _tile_loadd(6, b, 64);
        _tile_dpbf16ps(0, 4, 6);
        _tile_loadd(5, a2 + step * 32, weightBytes);
        _tile_dpbf16ps(1, 5, 6);
    }
    _tile_stored(0, c, weightedBytes);
    _tile_stored(1, c2, weightedBytes);
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

// Packing writes every value of its part of the packed buffer once, the
// padding's zeros included (clearing the whole buffer first wrote it twice).
void packKeysForTiles(const float* keys, int64_t stride, int64_t count, int64_t heads,
                      int64_t headDim, uint16_t* packed, size_t perHead) {
    const int64_t depth = roundUp(headDim, 32);
    const int64_t steps = depth / 32;
    std::vector<uint16_t> row(static_cast<size_t>(heads * headDim));
    std::vector<uint16_t> own(static_cast<size_t>(depth), 0);
    for (int64_t k = 0; k < roundUp(count, 16); ++k) {
        if (k < count) {
            toTileBfloat16(keys + k * stride, heads * headDim, 1.0f, row.data());
        }
        const int64_t tile = k / 16;
        const int64_t key = k % 16;
        for (int64_t h = 0; h < heads; ++h) {
            if (k < count) {
                std::copy_n(row.data() + h * headDim, headDim, own.data());
            } else {
                std::fill_n(own.data(), headDim, uint16_t{0});
            }
            // Two neighbouring dimensions of one key sit side by side.
            auto* pairs = reinterpret_cast<uint32_t*>(packed + h * perHead);
            for (int64_t p = 0; p < depth / 2; ++p) {
                uint32_t pair = 0;
                std::memcpy(&pair, own.data() + 2 * p, sizeof pair);
                pairs[((tile * steps + p / 16) * 16 + p % 16) * 16 + key] = pair;
            }
        }
    }
}

void packValuesForTiles(const float* values, int64_t stride, int64_t count, int64_t heads,
                        int64_t headDim, uint16_t* packed, size_t perHead) {
    const int64_t width = roundUp(headDim, 16);
    const int64_t columnTiles = width / 16;
    std::vector<uint16_t> row(static_cast<size_t>(heads * headDim));
    std::vector<uint16_t> own(static_cast<size_t>(width), 0);
    for (int64_t k = 0; k < roundUp(count, 32); ++k) {
        if (k < count) {
            toTileBfloat16(values + k * stride, heads * headDim, 1.0f, row.data());
        }
        for (int64_t h = 0; h < heads; ++h) {
            if (k < count) {
                std::copy_n(row.data() + h * headDim, headDim, own.data());
            } else {
                std::fill_n(own.data(), headDim, uint16_t{0});
            }
            // Two neighbouring keys of one dimension sit side by side.
            uint16_t* step = packed + h * perHead + (k / 32) * columnTiles * kTileValues +
                             (k % 32) / 2 * 32 + k % 2;
            for (int64_t j = 0; j < width; ++j) {
                step[(j / 16) * kTileValues + (j % 16) * 2] = own[static_cast<size_t>(j)];
            }
        }
    }
}

void packQueriesForTiles(const float* queries, int64_t stride, int64_t count, int64_t heads,
                         int64_t headDim, float scale, uint16_t* packed, size_t perHead) {
    const int64_t depth = roundUp(headDim, 32);
    std::vector<uint16_t> row(static_cast<size_t>(heads * headDim));
    for (int64_t i = 0; i < kTileQueries; ++i) {
        if (i < count) {
            toTileBfloat16(queries + i * stride, heads * headDim, scale, row.data());
        }
        for (int64_t h = 0; h < heads; ++h) {
            uint16_t* target = packed + h * perHead + i * depth;
            if (i < count) {
                std::copy_n(row.data() + h * headDim, headDim, target);
                std::fill(target + headDim, target + depth, uint16_t{0});
            } else {
                std::fill_n(target, depth, uint16_t{0});
            }
        }
    }
}

void tileScores(const TileSession& /*session*/, const uint16_t* queries, int64_t strips,
                int64_t headDim, const uint16_t* packedKeys, int64_t firstKeyTile,
                int64_t keyTiles, float* scores, int64_t scoreStride) {
#ifdef DRAVELIN_MATRIX_TILES
    const int64_t depth = roundUp(headDim, 32);
    const uint16_t* keys = packedKeys + firstKeyTile * (depth / 32) * kTileValues;
    if (depth == 32) {
        scoresResident<1>(queries, strips, keys, keyTiles, scores, scoreStride);
        return;
    }
    if (depth == 64) {
        scoresResident<2>(queries, strips, keys, keyTiles, scores, scoreStride);
        return;
    }
    const int64_t keyTile = (depth / 32) * kTileValues;
    for (int64_t strip = 0; strip < strips; ++strip) {
        const uint16_t* a = queries + strip * 16 * depth;
        float* c = scores + strip * 16 * scoreStride;
        for (int64_t t = 0; t < keyTiles; t += 4) {
            const uint16_t* b = keys + t * keyTile;
            switch (std::min<int64_t>(4, keyTiles - t)) {
            case 4:
                scoresDeep<4>(a, depth, b, c + t * 16, scoreStride);
                break;
            case 3:
                scoresDeep<3>(a, depth, b, c + t * 16, scoreStride);
                break;
            case 2:
                scoresDeep<2>(a, depth, b, c + t * 16, scoreStride);
                break;
            default:
                scoresDeep<1>(a, depth, b, c + t * 16, scoreStride);
                break;
            }
        }
    }
#else
    (void)queries, (void)strips, (void)headDim, (void)packedKeys, (void)firstKeyTile,
        (void)keyTiles, (void)scores, (void)scoreStride;
#endif
}

void tileWeigh(const TileSession& /*session*/, const uint16_t* weights, int64_t weightStride,
               int64_t strips, int64_t headDim,
               const uint16_t* packedValues, int64_t firstKeyStep, int64_t keySteps,
               float* weighted) {
#ifdef DRAVELIN_MATRIX_TILES
    const int64_t width = roundUp(headDim, 16);
    const int64_t columnTiles = width / 16;
    const uint16_t* values = packedValues + firstKeyStep * columnTiles * kTileValues;
    // Pairs of strips share every tile they load (half again as fast as a
    // strip at a time); a lone strip goes column by column.
    if (strips % 2 == 0) {
        for (int64_t strip = 0; strip < strips; strip += 2) {
            const uint16_t* w = weights + strip * 16 * weightStride;
            float* out = weighted + strip * 16 * width;
            int64_t first = 0;
            for (; first + 2 <= columnTiles; first += 2) {
                weighSquare(w, weightStride, values + first * kTileValues, columnTiles, keySteps,
                            out + first * 16, width);
            }
            if (first < columnTiles) {
                weighSquareColumn(w, weightStride, values + first * kTileValues, columnTiles,
                                  keySteps, out + first * 16, width);
            }
        }
        return;
    }
    for (int64_t first = 0; first < columnTiles; first += 4) {
        const uint16_t* b = values + first * kTileValues;
        float* c = weighted + first * 16;
        switch (std::min<int64_t>(4, columnTiles - first)) {
        case 4:
            weighColumns<4>(weights, weightStride, strips, b, columnTiles, keySteps, c, width);
            break;
        case 3:
            weighColumns<3>(weights, weightStride, strips, b, columnTiles, keySteps, c, width);
            break;
        case 2:
            weighColumns<2>(weights, weightStride, strips, b, columnTiles, keySteps, c, width);
            break;
        default:
            weighColumns<1>(weights, weightStride, strips, b, columnTiles, keySteps, c, width);
            break;
        }
    }
#else
    (void)weights, (void)weightStride, (void)strips, (void)headDim, (void)packedValues, (void)firstKeyStep,
        (void)keySteps, (void)weighted;
#endif
}

} // namespace dravelin::kernels
