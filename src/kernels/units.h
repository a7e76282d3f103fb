// Each unit's table of kernels, built from the next narrower unit's with
// the kernels this one does better put in their place.
#pragma once

#include "kernels/kernels.h"

kernel_table portable_kernels();
kernel_table sse2_kernels();
kernel_table avx2_kernels();
kernel_table avx512_kernels();
kernel_table neon_kernels();
