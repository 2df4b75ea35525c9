// Expected outputs of NumPy's legacy RandomState, PyTorch's CPU generator and
// the Random123 Philox-4x32-10 known-answer vectors, recorded from those
// libraries (NumPy 1.24.2, PyTorch 1.13.1, glibc 2.36). The bulk PyTorch-style
// figures are the exact doubles of our documented block algorithm, which does
// the Box–Muller transform in double precision.

#include "random/NumPyRandomSource.h"
#include "random/NvRandomSource.h"
#include "random/TorchRandomSource.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

using namespace dravelin;

namespace {

constexpr uint32_t kMt5489[] = {
    3499211612u, 581869302u,  3890346734u, 3586334585u, 545404204u,
    4161255391u, 3922919429u, 949333985u,  2715962298u, 1323567403u,
};
constexpr uint32_t kMt42[] = {
    1608637542u, 3421126067u, 4083286876u, 787846414u, 3143890026u,
    3348747335u, 2571218620u, 2563451924u, 670094950u, 1914837113u,
};
constexpr double kNumPyRandn42[] = {
    0x1.fca2a28a9307cp-2,  -0x1.1b2a505de052ap-3, 0x1.4b9dd50245e68p-1, 0x1.85e548e01aa2bp+0,
    -0x1.df8bcdf57a640p-3, -0x1.df8332670db3bp-3, 0x1.94474a8407408p+0, 0x1.88ed346f0d7f3p-1,
    -0x1.e0bde4b799e8bp-2, 0x1.15ca6e16a2d7dp-1,
};
constexpr double kTorchSerial15[] = {
    0x1.58c55b33d44ccp-2,  0x1.07cd39b3d4b85p-3,  0x1.e02dcdb63ec41p-3,  0x1.d7b8d7b0a7c22p-3,
    -0x1.1f7383f8320c1p+0, -0x1.7d99b0fe3842ep-3, 0x1.1aa65763ab83bp+1,  -0x1.46a78cdb84d7bp-1,
    0x1.d8bcabb37ba27p-2,  0x1.11c46d07e388ep-2,  0x1.11df06d402ad7p-1,  0x1.9e64114e70279p-1,
    0x1.1c3bfc5c67967p+0,  -0x1.b096a9168f811p+0, -0x1.fa58f31529415p-1,
};
constexpr double kTorchBulk16[] = {
    0x1.ed4a4f24a7719p+0,  0x1.7cbea6f1a0fdep+0,  0x1.cd2ace20230cap-1,  -0x1.0d81b818cd58ap+1,
    0x1.5b59a62222ac5p-1,  -0x1.3c0b2337fbb4ap+0, -0x1.60cef1f68e0a5p-5, -0x1.9acb7334a9a2bp+0,
    -0x1.8117f579fa0a0p-1, 0x1.a612b37f1e291p+0,  -0x1.91e5e9a4bf87dp-2, -0x1.6752c71f57537p+0,
    -0x1.74acdddffb0c3p-1, -0x1.1e6d9dabda7c2p-1, -0x1.89a53fbdde30bp-1, 0x1.865f41b082e9cp-1,
};
constexpr double kTorchBulk17[] = {
    0x1.ed4a4f24a7719p+0,  -0x1.5a1d0b0ac7e48p-1, -0x1.910abe008f946p-3, 0x1.1eb01c877628dp-3,
    -0x1.ae3c79cfcfde6p-4, 0x1.00e6c558a6461p-1,  -0x1.363443e82e02fp+0, -0x1.57019169c1302p-9,
    -0x1.294235f3106b9p-2, -0x1.277bd680a262bp+0, 0x1.1f3f603cd8b4cp-5,  0x1.38f0cf5dd8a8ap+0,
    -0x1.73bd6d7597b18p+0, -0x1.2ea2201b3cdfbp-2, -0x1.2a1a03a5bbcf4p-1, 0x1.458c63beebeafp-2,
    -0x1.53860cdca45d6p+0,
};
constexpr double kTorchBulk32[] = {
    0x1.ed4a4f24a7719p+0,  0x1.7cbea6f1a0fdep+0,  0x1.cd2ace20230cap-1,  -0x1.0d81b818cd58ap+1,
    0x1.5b59a62222ac5p-1,  -0x1.3c0b2337fbb4ap+0, -0x1.60cef1f68e0a5p-5, -0x1.9acb7334a9a2bp+0,
    -0x1.8117f579fa0a0p-1, 0x1.a612b37f1e291p+0,  -0x1.91e5e9a4bf87dp-2, -0x1.6752c71f57537p+0,
    -0x1.74acdddffb0c3p-1, -0x1.1e6d9dabda7c2p-1, -0x1.89a53fbdde30bp-1, 0x1.865f41b082e9cp-1,
    0x1.a46ee1ed62126p+0,  -0x1.46daf8be71ef1p-3, -0x1.fd55c36e6403ep-2, 0x1.c223b12f52cebp-2,
    -0x1.8429c4994df36p-1, 0x1.140ca05125670p+0,  0x1.9a0284e8d976ap-1,  0x1.ae3d2505dcb34p+0,
    0x1.4774b16fd723cp+0,  0x1.4be25d125e310p+0,  0x1.388f11a3e54e0p-1,  0x1.55b15ef97ce51p+0,
    -0x1.da5dd18b62e9dp-3, 0x1.5617fdad41c57p-5,  -0x1.019cfaa29598bp-2, 0x1.b83f5f0f68b77p-1,
};
constexpr float kTorchFloat32_16[] = {
    std::bit_cast<float>(uint32_t{0x3ff6a529}), std::bit_cast<float>(uint32_t{0x3fbe5f53}),
    std::bit_cast<float>(uint32_t{0x3f669567}), std::bit_cast<float>(uint32_t{0xc006c0db}),
    std::bit_cast<float>(uint32_t{0x3f2dacd5}), std::bit_cast<float>(uint32_t{0xbf9e0591}),
    std::bit_cast<float>(uint32_t{0xbd306786}), std::bit_cast<float>(uint32_t{0xbfcd65ba}),
    std::bit_cast<float>(uint32_t{0xbf408bf0}), std::bit_cast<float>(uint32_t{0x3fd3095b}),
    std::bit_cast<float>(uint32_t{0xbec8f2f6}), std::bit_cast<float>(uint32_t{0xbfb3a966}),
    std::bit_cast<float>(uint32_t{0xbf3a566e}), std::bit_cast<float>(uint32_t{0xbf0f36d1}),
    std::bit_cast<float>(uint32_t{0xbf44d2a0}), std::bit_cast<float>(uint32_t{0x3f432f9f}),
};
constexpr float kTorchFloat32_32[] = {
    std::bit_cast<float>(uint32_t{0x3ff6a529}), std::bit_cast<float>(uint32_t{0x3fbe5f53}),
    std::bit_cast<float>(uint32_t{0x3f669567}), std::bit_cast<float>(uint32_t{0xc006c0db}),
    std::bit_cast<float>(uint32_t{0x3f2dacd5}), std::bit_cast<float>(uint32_t{0xbf9e0591}),
    std::bit_cast<float>(uint32_t{0xbd306786}), std::bit_cast<float>(uint32_t{0xbfcd65ba}),
    std::bit_cast<float>(uint32_t{0xbf408bf0}), std::bit_cast<float>(uint32_t{0x3fd3095b}),
    std::bit_cast<float>(uint32_t{0xbec8f2f6}), std::bit_cast<float>(uint32_t{0xbfb3a966}),
    std::bit_cast<float>(uint32_t{0xbf3a566e}), std::bit_cast<float>(uint32_t{0xbf0f36d1}),
    std::bit_cast<float>(uint32_t{0xbf44d2a0}), std::bit_cast<float>(uint32_t{0x3f432f9f}),
    std::bit_cast<float>(uint32_t{0x3fd23771}), std::bit_cast<float>(uint32_t{0xbe236d85}),
    std::bit_cast<float>(uint32_t{0xbefeaae4}), std::bit_cast<float>(uint32_t{0x3ee111d8}),
    std::bit_cast<float>(uint32_t{0xbf4214e2}), std::bit_cast<float>(uint32_t{0x3f8a0650}),
    std::bit_cast<float>(uint32_t{0x3f4d0144}), std::bit_cast<float>(uint32_t{0x3fd71e93}),
    std::bit_cast<float>(uint32_t{0x3fa3ba59}), std::bit_cast<float>(uint32_t{0x3fa5f12f}),
    std::bit_cast<float>(uint32_t{0x3f1c4788}), std::bit_cast<float>(uint32_t{0x3faad8b0}),
    std::bit_cast<float>(uint32_t{0xbe6d2eed}), std::bit_cast<float>(uint32_t{0x3d2b0c00}),
    std::bit_cast<float>(uint32_t{0xbe80ce7a}), std::bit_cast<float>(uint32_t{0x3f5c1fb0}),
};
constexpr float kTorchLatentFirst8[] = {
    1.9269152879714966f, 1.4872840642929077f,  0.9007171988487244f,   -2.1055209636688232f,
    0.6784184575080872f, -1.2345448732376099f, -0.04306747764348984f, -1.6046669483184814f,
};
constexpr float kTorchLatentLast8[] = {
    1.9840667247772217f,  -0.5542587041854858f, 0.4291350245475769f, 0.07153293490409851f,
    -0.8111438155174255f, -0.6357504725456238f, 0.9728097319602966f, -0.29340609908103943f,
};
constexpr double kTorchLatentSum = 149.76480043913034;
struct PhiloxVector {
    std::array<uint32_t, 4> counter;
    std::array<uint32_t, 2> key;
    std::array<uint32_t, 4> expected;
};
const PhiloxVector kPhiloxVectors[] = {
    {{0x00000000, 0x00000000, 0x00000000, 0x00000000},
     {0x00000000, 0x00000000},
     {0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8}},
    {{0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff},
     {0xffffffff, 0xffffffff},
     {0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd}},
    {{0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344},
     {0xa4093822, 0x299f31d0},
     {0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1}},
};

template <size_t N>
void expectExactly(const std::vector<double>& actual, const double (&expected)[N]) {
    ASSERT_EQ(actual.size(), N);
    for (size_t i = 0; i < N; ++i) {
        EXPECT_EQ(actual[i], expected[i]) << "index " << i;
    }
}

template <size_t N> std::vector<double> slice(const double (&values)[N], size_t from, size_t to) {
    return std::vector<double>(values + from, values + to);
}

// Counts the 32-bit words a draw takes from the shared Mersenne Twister.
template <typename Source, typename Draw> int wordsConsumed(Draw draw) {
    Source source(42);
    draw(source);
    const uint32_t nextWord = source.nextUInt32();
    Source reference(42);
    for (int words = 0; words < 10000; ++words) {
        if (reference.nextUInt32() == nextWord) {
            return words;
        }
    }
    return -1;
}

} // namespace

TEST(MersenneTwister, BothSourcesProduceTheReferenceWordStream) {
    NumPyRandomSource numpy5489(5489);
    TorchRandomSource torch5489(5489);
    NumPyRandomSource numpy42(42);
    TorchRandomSource torch42(42);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(numpy5489.nextUInt32(), kMt5489[i]);
        EXPECT_EQ(torch5489.nextUInt32(), kMt5489[i]);
        EXPECT_EQ(numpy42.nextUInt32(), kMt42[i]);
        EXPECT_EQ(torch42.nextUInt32(), kMt42[i]);
    }
    // Across the regeneration of the state vector, both still agree.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(numpy42.nextUInt32(), torch42.nextUInt32());
    }
}

TEST(MersenneTwister, SixtyFourBitValuesOrderTheirHalvesPerLibrary) {
    NumPyRandomSource numpy(42);
    TorchRandomSource torch(42);
    EXPECT_EQ(numpy.next(), (uint64_t{kMt42[1]} << 32) | kMt42[0]);
    EXPECT_EQ(torch.next(), (uint64_t{kMt42[0]} << 32) | kMt42[1]);
}

TEST(NumPyRandomSource, MatchesRandnBitForBit) {
    NumPyRandomSource source(42);
    expectExactly(source.normalArray(10), kNumPyRandn42);

    // Scaling is value × stdev + mean on the same stream.
    NumPyRandomSource scaled(42);
    EXPECT_EQ(scaled.nextNormal(2.0, 3.0), kNumPyRandn42[0] * 3.0 + 2.0);
}

TEST(NumPyRandomSource, OddLengthLeavesTheCachedGaussianForTheNextCall) {
    NumPyRandomSource source(42);
    expectExactly(source.normalArray(3), {kNumPyRandn42[0], kNumPyRandn42[1], kNumPyRandn42[2]});
    ASSERT_TRUE(source.state.nextGauss.has_value());
    EXPECT_EQ(*source.state.nextGauss, kNumPyRandn42[3]);
    EXPECT_EQ(source.state.pos, 8);
    EXPECT_EQ(source.normalArray(2), slice(kNumPyRandn42, 3, 5));
    EXPECT_EQ(source.nextGauss(), kNumPyRandn42[5]);
}

TEST(TorchRandomSource, SerialPathMatchesPyTorchBelowSixteenValues) {
    TorchRandomSource source(42);
    expectExactly(source.normalArray(15), kTorchSerial15);
    // The fifteenth value came from a pair whose sine half stays cached.
    EXPECT_TRUE(source.state.nextGauss.has_value());
}

TEST(TorchRandomSource, BulkPathFollowsTheBlockAlgorithm) {
    TorchRandomSource source16(42);
    expectExactly(source16.normalArray(16), kTorchBulk16);
    TorchRandomSource source17(42);
    expectExactly(source17.normalArray(17), kTorchBulk17);
    TorchRandomSource source32(42);
    expectExactly(source32.normalArray(32), kTorchBulk32);
    // The bulk path neither reads nor fills the cache.
    EXPECT_FALSE(source32.state.nextGauss.has_value());
}

TEST(TorchRandomSource, BulkPathLandsNextToPyTorchFloat32Output) {
    TorchRandomSource source16(42);
    const std::vector<double> sixteen = source16.normalArray(16);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_NEAR(static_cast<float>(sixteen[i]), kTorchFloat32_16[i], 1e-6) << i;
    }
    TorchRandomSource source32(42);
    const std::vector<double> thirtyTwo = source32.normalArray(32);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_NEAR(static_cast<float>(thirtyTwo[i]), kTorchFloat32_32[i], 1e-6) << i;
    }

    // A whole SD latent, [1, 4, 64, 64].
    TorchRandomSource latentSource(42);
    const NormalArray latent = latentSource.normalShapedArray({1, 4, 64, 64});
    ASSERT_EQ(latent.values.size(), 16384u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_NEAR(static_cast<float>(latent.values[i]), kTorchLatentFirst8[i], 1e-6);
        EXPECT_NEAR(static_cast<float>(latent.values[16376 + i]), kTorchLatentLast8[i], 1e-6);
    }
    double sum = 0.0;
    for (double value : latent.values) {
        sum += static_cast<float>(value);
    }
    EXPECT_NEAR(sum, kTorchLatentSum, 1e-3);
}

TEST(TorchRandomSource, WordsConsumedByCount) {
    auto draw = [](int count) {
        return [count](TorchRandomSource& source) { source.normalArray(count); };
    };
    EXPECT_EQ(wordsConsumed<TorchRandomSource>(draw(15)), 32);
    EXPECT_EQ(wordsConsumed<TorchRandomSource>(draw(16)), 16);
    EXPECT_EQ(wordsConsumed<TorchRandomSource>(draw(17)), 17 + 32);
    EXPECT_EQ(wordsConsumed<TorchRandomSource>(draw(0)), 0);
}

TEST(NvRandomSource, PhiloxReproducesKnownAnswerVectors) {
    for (const PhiloxVector& vector : kPhiloxVectors) {
        EXPECT_EQ(NvRandomSource::philox(vector.counter, vector.key[0], vector.key[1]),
                  vector.expected);
    }
}

TEST(NvRandomSource, EachRequestUsesTheNextOffset) {
    NvRandomSource source(42, 0);
    const std::vector<double> first = source.normalArray(40);
    const std::vector<double> second = source.normalArray(40);
    EXPECT_EQ(source.offset, 2u);
    EXPECT_NE(first, second);

    NvRandomSource resumed(42, 1);
    EXPECT_EQ(resumed.normalArray(40), second);

    // Values depend on the index only, not on the request's length.
    NvRandomSource shorter(42, 0);
    EXPECT_EQ(shorter.normalArray(3), std::vector<double>(first.begin(), first.begin() + 3));

    // An empty request still counts; a single value is a request of its own.
    NvRandomSource counting(42, 0);
    EXPECT_TRUE(counting.normalArray(0).empty());
    EXPECT_EQ(counting.offset, 1u);
    EXPECT_EQ(counting.nextNormal(), second[0]);
    EXPECT_EQ(counting.offset, 2u);
}

TEST(NvRandomSource, ValuesFollowTheDocumentedTransform) {
    // Index 0 of offset 0 with seed 0 is the first Random123 vector's output.
    NvRandomSource source(0, 0);
    const double value = source.nextNormal();
    const double u = static_cast<double>(0x6627e8d5u) * 0x1p-32 + 0x1p-33;
    const double v =
        static_cast<double>(0xe169c58du) * std::bit_cast<double>(uint64_t{0x3E1921FB54442D18}) +
        std::bit_cast<double>(uint64_t{0x3E0921FB54442D18});
    EXPECT_EQ(value, std::sqrt(std::log(u) * -2.0) * std::sin(v));

    // The high half of the seed is the second key word.
    NvRandomSource wide(uint64_t{0xffffffff} << 32 | 0xffffffffu, 0xffffffffu - 1);
    EXPECT_NO_THROW(wide.normalArray(1));
}

TEST(NvRandomSource, RefusesTheRequestThatWouldOverflowTheOffset) {
    NvRandomSource source(1, std::numeric_limits<uint32_t>::max());
    EXPECT_THROW(source.normalArray(4), std::overflow_error);
    EXPECT_EQ(source.offset, std::numeric_limits<uint32_t>::max());
}

TEST(RandomSource, ShapedArraysAndBadShapes) {
    for (StableDiffusionRNG kind : {StableDiffusionRNG::numpyRNG, StableDiffusionRNG::torchRNG,
                                    StableDiffusionRNG::nvidiaRNG}) {
        auto source = makeRandomSource(kind, 7);
        const NormalArray noise = source->normalShapedArray({1, 4, 8, 8}, 0.0, 1.0);
        EXPECT_EQ(noise.shape, (Shape{1, 4, 8, 8}));
        EXPECT_EQ(noise.values.size(), 256u);
        // The same seed gives the same noise: a fresh source repeats it.
        EXPECT_EQ(makeRandomSource(kind, 7)->normalShapedArray({1, 4, 8, 8}).values, noise.values);
        EXPECT_EQ(source->normalShapedArray({}).values.size(), 1u);
        EXPECT_THROW(source->normalShapedArray({2, -3}), std::invalid_argument);
        EXPECT_THROW(source->normalShapedArray({1LL << 40, 1LL << 40}), std::overflow_error);
        EXPECT_THROW(source->normalArray(-1), std::invalid_argument);
    }
}
