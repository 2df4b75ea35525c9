#include "runtime/ManagedMLModel.h"
#include "runtime/RuntimeErrors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

class ManagedModel : public ::testing::Test {
protected:
    std::shared_ptr<AffineKind> kind = std::make_shared<AffineKind>();
    ScopedNetworkKind registration{kind};
    TemporaryDirectory directory;
    std::filesystem::path bundle = directory.path() / "Affine.model";

    static float predictFirst(ManagedMLModel& holder) {
        return holder.perform([](Model& model) {
            const ShapedArray x(Shape{1, 3}, 1.0f);
            return model.prediction(FeatureProvider({{"x", x}})).featureValue("y").at({0, 0});
        });
    }
};

} // namespace

TEST_F(ManagedModel, LoadsLazilyAndRetriesAFailedLoad) {
    ManagedMLModel holder(bundle, {});
    EXPECT_EQ(holder.queueLabel(), "managed.Affine.model");
    EXPECT_FALSE(holder.isLoaded());
    holder.unloadResources(); // never loaded: nothing happens

    EXPECT_THROW(holder.loadResources(), ModelLoadError);
    EXPECT_THROW(predictFirst(holder), ModelLoadError);
    EXPECT_FALSE(holder.isLoaded());

    writeAffineBundle(bundle);
    EXPECT_EQ(predictFirst(holder), 1.0f);
    EXPECT_TRUE(holder.isLoaded());
    EXPECT_EQ(kind->builds, 1);
}

TEST_F(ManagedModel, UnloadThenPerformLoadsAgain) {
    writeAffineBundle(bundle);
    ManagedMLModel holder(bundle, {});
    holder.loadResources();
    holder.loadResources();
    EXPECT_EQ(kind->builds, 1);
    holder.unloadResources();
    EXPECT_FALSE(holder.isLoaded());
    EXPECT_EQ(predictFirst(holder), 1.0f);
    EXPECT_EQ(kind->builds, 2);

    holder.unloadResources();
    holder.prewarmResources();
    EXPECT_FALSE(holder.isLoaded());
    EXPECT_EQ(kind->builds, 3);
}

TEST_F(ManagedModel, ErrorsFromTheBodyPassThroughAndKeepTheModel) {
    writeAffineBundle(bundle);
    ManagedMLModel holder(bundle, {});
    EXPECT_THROW(holder.perform([](Model&) -> int { throw std::logic_error("body"); }),
                 std::logic_error);
    EXPECT_TRUE(holder.isLoaded());
    EXPECT_THROW(holder.perform([](Model& model) {
        return model.prediction(FeatureProvider({{"x", ShapedArray(Shape{2, 3})}}));
    }),
                 PredictionError);
}

TEST_F(ManagedModel, ThreadsTakeTurnsOnOneHolder) {
    writeAffineBundle(bundle);
    kind->evaluationMilliseconds = 5;
    auto holder = std::make_shared<ManagedMLModel>(bundle, ModelConfiguration{});
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([holder, &failures, t] {
            for (int i = 0; i < 5; ++i) {
                try {
                    if (t == 0 && i % 2 == 1) {
                        holder->unloadResources();
                    }
                    if (predictFirst(*holder) != 1.0f) {
                        ++failures;
                    }
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(kind->mostAtOnce, 1);
}
