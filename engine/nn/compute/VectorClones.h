#pragma once

// Marks a plain loop function to be compiled twice, for the x86-64 baseline
// and for AVX2 with FMA; the loader picks the clone the CPU can run.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define DRAVELIN_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define DRAVELIN_VECTOR_CLONES
#endif

// The same with an AVX-512 clone besides, for the element-wise loops every
// convolution's input and every attention's weights pass through (rounding
// to bfloat16, the activations, a group norm's scale and shift): on a core
// with AVX-512 each takes half the instructions.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define DRAVELIN_WIDE_VECTOR_CLONES                                                                \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define DRAVELIN_WIDE_VECTOR_CLONES
#endif
