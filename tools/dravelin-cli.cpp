// Generates images from the command line; see --help.

#include "cli/GenerateCommand.h"
#include "nn/compute/ComputeWaitPolicy.h"

#include <iostream>

int main(int argc, char** argv) {
    // May start the program again, so before anything else.
    dravelin::usePassiveComputeWaiting(argv);
    return dravelin::runGenerateCommand(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                        std::cerr);
}
