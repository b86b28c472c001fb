// Row loops over the per-pixel functions, built twice: for the x86-64
// baseline and for AVX2, the processor picking at load time. No contraction
// into fused multiply-adds in either (-ffp-contract=off), so both store the
// same bits.
#pragma once

#define ROUGHGC_ROW_CLONES __attribute__((target_clones("avx2", "default")))
