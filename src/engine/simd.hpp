// Function multiversioning for hot loops.
//
// SEGMORA_TARGET_CLONES marks a function to be compiled for AVX2 and for the
// baseline, picked at load time. The loops inside are plain C++ that the
// compiler vectorises across independent sums, so every sum keeps the order
// the code states and the result is identical in both clones.
#pragma once

//
// SEGMORA_TARGET_CLONES_WIDE adds an AVX-512 (x86-64-v4) clone, for the noise
// kernels, whose lanes are independent draws.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SEGMORA_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#define SEGMORA_TARGET_CLONES_WIDE __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define SEGMORA_TARGET_CLONES
#define SEGMORA_TARGET_CLONES_WIDE
#endif
