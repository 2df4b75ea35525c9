// The test programs' main: their compute threads wait passively, as the tools'
// and the window's do. CTest runs test programs side by side, and threads that
// spin while they wait take the core another program needs, which slowed the
// small networks' tests tenfold.
#include "nn/compute/ComputeWaitPolicy.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    dravelin::usePassiveComputeWaiting(argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
