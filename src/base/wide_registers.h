// Whether this CPU has AVX2, asked once per process. Code compiled for it
// (target("avx2")) beside a plain version is chosen by this at run time,
// not as the program loads, which sanitizers' runtimes are not ready for.
#pragma once

namespace quen_merge {

inline bool CpuHasWideRegisters() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

}  // namespace quen_merge
