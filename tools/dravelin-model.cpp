// Describe, run or time a model bundle from the command line.

#include "model/ModelTool.h"

#include <iostream>

int main(int argc, char** argv) {
    return dravelin::runModelTool(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                  std::cerr);
}
