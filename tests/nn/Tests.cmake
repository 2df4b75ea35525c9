# The compute core against straightforward loops, and the networks against
# the fixtures of tools/reference/nn_reference.py.
add_library(dravelin_nn_test_support STATIC
    nn/support/FullSizeModels.cpp
    nn/support/NetworkFixtures.cpp
    nn/support/ReferenceLoops.cpp)
target_include_directories(dravelin_nn_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(dravelin_nn_test_support
    PUBLIC dravelin::engine GTest::gtest
    PRIVATE dravelin_warnings)
target_compile_definitions(dravelin_nn_test_support
    PRIVATE DRAVELIN_NN_FIXTURES="${CMAKE_CURRENT_SOURCE_DIR}/nn/fixtures")

dravelin_test(test_nn
    nn/ActivationTests.cpp
    nn/AttentionTests.cpp
    nn/ClipTextModelTests.cpp
    nn/ControlNetTests.cpp
    nn/ComputeThreadsTests.cpp
    nn/ConvolutionTests.cpp
    nn/EndToEndTests.cpp
    nn/FeatureMapTests.cpp
    nn/ImageInputReferenceTests.cpp
    nn/LoraTests.cpp
    nn/NormalizationTests.cpp
    nn/SafetyCheckerTests.cpp
    nn/PrecisionTests.cpp
    nn/PromptConventionsTests.cpp
    nn/TinyAutoencoderTests.cpp
    nn/UNetTests.cpp
    nn/XLConditioningTests.cpp
    nn/VaeTests.cpp)
target_link_libraries(test_nn PRIVATE dravelin_nn_test_support dravelin_cli_tool dravelin_model_tool)
# With oneDNN held below AVX-512 BF16, bfloat16 must count as unavailable
# rather than fail when a network is built.
add_test(NAME test_nn_capped_isa COMMAND test_nn --gtest_filter=ComputePrecision*)
set_tests_properties(test_nn_capped_isa PROPERTIES
                     ENVIRONMENT "DRAVELIN_PRECISION=float32;ONEDNN_MAX_CPU_ISA=AVX2")

# Full-size SD 1.5 networks: minutes, not seconds, so only with `ctest -L slow`.
add_executable(test_nn_full_size nn/FullSizeTests.cpp)
target_link_libraries(test_nn_full_size PRIVATE dravelin_nn_test_support dravelin_test_support dravelin_warnings
                      GTest::gtest dravelin_test_main)
add_test(NAME test_nn_full_size COMMAND test_nn_full_size)
set_tests_properties(test_nn_full_size PROPERTIES LABELS slow TIMEOUT 1800
                     ENVIRONMENT DRAVELIN_PRECISION=float32)
