# The compute core and the networks built on it: oneDNN for convolutions,
# matrix products, softmax and layer norm; our own loops for the rest.

set(DRAVELIN_NN_SOURCES
    # every network kind, for the runtime's registry
    nn/BuiltInNetworks.cpp
    # compute core: tensors, weights, configuration reading, threads
    nn/compute/AlignedBuffer.cpp
    nn/compute/Bfloat16.cpp
    nn/compute/ComputeContext.cpp
    nn/compute/ComputeWaitPolicy.cpp
    nn/compute/CpuQuota.cpp
    nn/compute/ConfigReader.cpp
    nn/compute/FeatureMap.cpp
    nn/compute/Matrix.cpp
    nn/compute/Profiler.cpp
    nn/compute/WeightReader.cpp
    # layers
    nn/layers/Activation.cpp
    nn/layers/ActivationKernels.cpp
    nn/layers/AttentionKernels.cpp
    nn/layers/AttentionTiles.cpp
    nn/layers/ChannelTransform.cpp
    nn/layers/Convolution.cpp
    nn/layers/ConvolutionInput.cpp
    nn/layers/ConvolutionPrimitive.cpp
    nn/layers/CrossAttention.cpp
    nn/layers/GegluProjection.cpp
    nn/layers/GroupNorm.cpp
    nn/layers/LayerNorm.cpp
    nn/layers/Linear.cpp
    nn/layers/MultiHeadAttention.cpp
    nn/layers/PatchEmbedding.cpp
    nn/layers/PixelTokens.cpp
    nn/layers/ScaledDotProductAttention.cpp
    nn/layers/TapProduct.cpp
    nn/layers/TokenEmbedding.cpp
    # blocks built from layers
    nn/blocks/AttentionBlock.cpp
    nn/blocks/BasicTransformerBlock.cpp
    nn/blocks/GegluFeedForward.cpp
    nn/blocks/MidBlock2D.cpp
    nn/blocks/ResnetBlock2D.cpp
    nn/blocks/TimestepEmbedding.cpp
    nn/blocks/Transformer2D.cpp
    nn/blocks/UNetBlock2D.cpp
    nn/blocks/UNetBlockFactory.cpp
    # networks, each with its configuration and kinds
    nn/networks/ImageInputShape.cpp
    nn/networks/clip/ClipEncoderLayer.cpp
    nn/networks/clip/ClipTextConfig.cpp
    nn/networks/clip/ClipTextKinds.cpp
    nn/networks/clip/ClipTextModel.cpp
    nn/networks/safety/ClipVisionTransformer.cpp
    nn/networks/safety/SafetyCheckerConfig.cpp
    nn/networks/safety/SafetyCheckerKind.cpp
    nn/networks/safety/StableDiffusionSafetyChecker.cpp
    nn/networks/controlnet/ControlNetConditioningEmbedding.cpp
    nn/networks/controlnet/ControlNetConfig.cpp
    nn/networks/controlnet/ControlNetKind.cpp
    nn/networks/controlnet/ControlNetModel.cpp
    nn/networks/unet/DenoisingInputs.cpp
    nn/networks/taesd/TinyAutoencoderBlock.cpp
    nn/networks/taesd/TinyAutoencoderConfig.cpp
    nn/networks/taesd/TinyAutoencoderKinds.cpp
    nn/networks/taesd/TinyDecoder.cpp
    nn/networks/taesd/TinyEncoder.cpp
    nn/networks/unet/TextTimeEmbedding.cpp
    nn/networks/unet/UNet2DCondition.cpp
    nn/networks/unet/UNetConfig.cpp
    nn/networks/unet/UNetKind.cpp
    nn/networks/vae/VaeBands.cpp
    nn/networks/vae/VaeConfig.cpp
    nn/networks/vae/VaeDecoder.cpp
    nn/networks/vae/VaeEncoder.cpp
    nn/networks/vae/VaeKinds.cpp
)
list(TRANSFORM DRAVELIN_NN_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
target_sources(dravelin_nn PRIVATE ${DRAVELIN_NN_SOURCES})
# The layers' headers hold oneDNN objects, so its headers go to users too.
target_link_libraries(dravelin_nn PUBLIC dravelin_runtime DNNL::dnnl PRIVATE OpenMP::OpenMP_CXX)

# The element-wise kernels are plain loops that must vectorise: comparisons
# may not trap, and an AVX2 clone is chosen at run time where the CPU has it.
set_source_files_properties(
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/compute/Bfloat16.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/layers/ActivationKernels.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/layers/AttentionKernels.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/layers/ChannelTransform.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/layers/GroupNorm.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/nn/layers/PixelTokens.cpp
    PROPERTIES COMPILE_OPTIONS "-fno-trapping-math")
