// The row kernels are built twice on x86-64, for AVX2 and for any
// processor, from one source; processeur_avx2 tells which one this machine
// runs. (The choice is a plain test, not an ifunc: ifuncs run before the
// sanitizers' runtimes and do not exist on Windows.)
#ifndef PROCESSEUR_H
#define PROCESSEUR_H

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define CIBLE_AVX2 __attribute__((target("avx2")))
#endif

inline bool processeur_avx2()
{
#ifdef CIBLE_AVX2
    __builtin_cpu_init();  // may run before the constructors that would do it
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// Helpers of the kernels, inlined into each of their builds.
#if defined(__GNUC__)
#define TOUJOURS_EN_LIGNE inline __attribute__((always_inline))
#else
#define TOUJOURS_EN_LIGNE inline
#endif
#define EN_LIGNE static TOUJOURS_EN_LIGNE

#endif
