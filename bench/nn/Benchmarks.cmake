# The networks at full size: speed per network and per layer type against the
# machine's own FMA ceiling, and the peak memory of a decode. Random weights
# are written by the same code the slow tests use, unless a directory of
# bundles is given.
add_executable(dravelin-bench-networks
    nn/networks_bench.cpp
    nn/FmaCeiling.cpp
    nn/OneDnnRates.cpp
    ${PROJECT_SOURCE_DIR}/tests/nn/support/FullSizeModels.cpp)
target_include_directories(dravelin-bench-networks PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(dravelin-bench-networks PRIVATE dravelin::engine dravelin_warnings)

# A full-size SDXL directory: its denoising network and decoder at 1024 × 1024.
add_executable(dravelin-bench-sdxl nn/sdxl_bench.cpp nn/FmaCeiling.cpp)
target_link_libraries(dravelin-bench-sdxl PRIVATE dravelin::engine dravelin_warnings)

# Single layers, each way this build can run them, with oneDNN's own rate.
add_executable(dravelin-bench-layers nn/layers_bench.cpp nn/OneDnnRates.cpp)
target_link_libraries(dravelin-bench-layers PRIVATE dravelin::engine dravelin_warnings)

# The attention alone at the full-size networks' shapes.
add_executable(dravelin-bench-attention nn/attention_bench.cpp)
target_link_libraries(dravelin-bench-attention PRIVATE dravelin::engine dravelin_warnings)
