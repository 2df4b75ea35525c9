#pragma once

#include <cstddef>
#include <cstdint>

namespace dravelin::kernels {

// The attention's two bfloat16 products on the matrix engine's tiles (AMX):
// blocks of 64 queries in strips of 16, keys 16 and 32 at a time, head
// sizes padded with zeros to whole tiles (32 for the scores' depth, 16 for
// the values' width). Queries, keys and values are packed per head into the
// tiles' layouts once per call; the scores and the weighted values are
// float32.

// Whether this processor has the tiles and Linux lets the process use them
// (asked for once, as the kernel requires before the first tile instruction).
bool matrixTilesAvailable();

constexpr int64_t kTileQueries = 64;

inline int64_t roundUp(int64_t value, int64_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}
// bfloat16 values of one head's packed keys and values.
inline size_t tileKeysSize(int64_t keys, int64_t headDim) {
    return static_cast<size_t>(roundUp(keys, 16) * roundUp(headDim, 32));
}
inline size_t tileValuesSize(int64_t keys, int64_t headDim) {
    return static_cast<size_t>(roundUp(keys, 32) * roundUp(headDim, 16));
}

// Holds the tiles configured for the kernels below on the calling thread,
// and releases them when it goes: configuring costs about as much as a
// block of keys' products, so a block of queries does it once. Nothing else
// may use the tiles on this thread while it lives (oneDNN's kernels set
// their own).
class TileSession {
public:
    TileSession();
    ~TileSession();
    TileSession(const TileSession&) = delete;
    TileSession& operator=(const TileSession&) = delete;
};

// Packing reads whole rows of every head (heads × headDim floats, rows
// `stride` apart, head h from column h·headDim) and writes head h at
// `packed + h·perHead`: the caller's rows are then read in order, where one
// head's column of rows, each a page or so apart, would wait on memory.
// `count` keys from a multiple of 32 (packed pointing at that key's place),
// at most 32; zeros where the tiles pad.
void packKeysForTiles(const float* keys, int64_t stride, int64_t count, int64_t heads,
                      int64_t headDim, uint16_t* packed, size_t perHead);
void packValuesForTiles(const float* values, int64_t stride, int64_t count, int64_t heads,
                        int64_t headDim, uint16_t* packed, size_t perHead);
// Up to 64 query rows times `scale`, as 64 bfloat16 rows of
// roundUp(headDim, 32) values per head (zeros past `count` rows and past
// headDim).
void packQueriesForTiles(const float* queries, int64_t stride, int64_t count, int64_t heads,
                         int64_t headDim, float scale, uint16_t* packed, size_t perHead);

// scores[16·strips × 16·keyTiles] (rows `scoreStride` floats apart) =
// queries (strips of 16 rows of roundUp(headDim, 32) bfloat16) · keysᵀ,
// from the packed keys' tile `firstKeyTile` on.
void tileScores(const TileSession& session, const uint16_t* queries, int64_t strips,
                int64_t headDim, const uint16_t* packedKeys, int64_t firstKeyTile,
                int64_t keyTiles, float* scores, int64_t scoreStride);
// weighted[16·strips × roundUp(headDim, 16)] += weights (rows of
// 32·keySteps bfloat16, `weightStride` apart) · values, from the packed
// values' step `firstKeyStep` (32 keys) on.
void tileWeigh(const TileSession& session, const uint16_t* weights, int64_t weightStride,
               int64_t strips, int64_t headDim, const uint16_t* packedValues,
               int64_t firstKeyStep, int64_t keySteps, float* weighted);

} // namespace dravelin::kernels
