# The compute core and the networks built on it: oneDNN for convolutions,
# matrix products, softmax and layer norm; our own loops for the rest.

# Debian's oneDNN runs its kernels on OpenMP threads; our own loops share them.
find_package(dnnl CONFIG REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)

set(DRAVELIN_NN_SOURCES
    nn/ActivationKernels.cpp
    nn/Activation.cpp
    nn/AlignedBuffer.cpp
    nn/AttentionBlock.cpp
    nn/BasicTransformerBlock.cpp
    nn/ChannelTransform.cpp
    nn/ClipEncoderLayer.cpp
    nn/ClipTextConfig.cpp
    nn/ClipTextKinds.cpp
    nn/ClipTextModel.cpp
    nn/ComputeContext.cpp
    nn/ConfigReader.cpp
    nn/Convolution.cpp
    nn/CrossAttention.cpp
    nn/ConvolutionInput.cpp
    nn/FeatureMap.cpp
    nn/GegluFeedForward.cpp
    nn/GroupNorm.cpp
    nn/LayerNorm.cpp
    nn/Linear.cpp
    nn/Matrix.cpp
    nn/MidBlock2D.cpp
    nn/MultiHeadAttention.cpp
    nn/Profiler.cpp
    nn/ResnetBlock2D.cpp
    nn/ScaledDotProductAttention.cpp
    nn/TimestepEmbedding.cpp
    nn/Transformer2D.cpp
    nn/UNet2DCondition.cpp
    nn/UNetConfig.cpp
    nn/UNetKind.cpp
    nn/VaeConfig.cpp
    nn/VaeDecoder.cpp
    nn/VaeEncoder.cpp
    nn/VaeKinds.cpp
    nn/WeightReader.cpp
)
list(TRANSFORM DRAVELIN_NN_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
target_sources(dravelin_engine PRIVATE ${DRAVELIN_NN_SOURCES})
# The layers' headers hold oneDNN objects, so its headers go to users too.
target_link_libraries(dravelin_engine PUBLIC DNNL::dnnl PRIVATE OpenMP::OpenMP_CXX)

# The element-wise kernels are plain loops that must vectorise: comparisons
# may not trap, and an AVX2 clone is chosen at run time where the CPU has it.
set_source_files_properties(
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/ActivationKernels.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/ChannelTransform.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/GroupNorm.cpp
    PROPERTIES COMPILE_OPTIONS "-fno-trapping-math")
