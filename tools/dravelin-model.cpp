// Describe, run or time a model bundle from the command line.

#include "model/ModelTool.h"
#include "nn/compute/ComputeWaitPolicy.h"

#include <iostream>

int main(int argc, char** argv) {
    // May start the program again, so before anything else.
    dravelin::usePassiveComputeWaiting(argv);
    return dravelin::runModelTool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                  std::cerr);
}
