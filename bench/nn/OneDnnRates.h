#pragma once

#include <string>

// What oneDNN's own kernels reach on this machine, measured in the same run
// as the networks: a convolution and a matrix multiply of the denoising
// network's sizes with every layout left to oneDNN (formats `any`), timed on
// the compute threads. The share of these a network reaches says how much
// of the library's speed the network's own layout and calls keep.
struct OneDnnRate {
    std::string kernel; // oneDNN's name for the implementation it chose
    double gflops = 0;  // best of several runs; 0 where oneDNN has no kernel
};

struct OneDnnRates {
    OneDnnRate convolution; // 3×3, 2×320×64×64 → 320
    OneDnnRate matmul;      // 8192×320 by 320×1280
};

// `bfloat16`: bfloat16 operands with float32 results; otherwise float32.
OneDnnRates measureOneDnnRates(bool bfloat16);

// The rate of a 3×3 convolution of a 2×`channels`×`size`×`size` batch onto
// `channels` channels, through oneDNN with formats `any`.
OneDnnRate measureOneDnnConvolution(bool bfloat16, long channels, long size);
