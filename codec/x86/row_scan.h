// x86/row_scan.h - the sort stage's nearest-row scan with AVX2 and AVX-512.
//
// Included by sort.cpp inside its own namespace (cpu.h has the intrinsics), after the rule a scan
// keeps (Nearer) and the plain scan (NearestRow): every scan here gives the
// plain scan's answer. Built with the instructions named per function and
// chosen at run time, so the programs still run on a processor without them.
#pragma once

#if CPU_X86_WIDE
// Two 32-byte compares and two bit counts per row.
__attribute__((target("avx2,popcnt"))) inline int NearestRowAvx2(const std::uint8_t* grid, const std::uint8_t* open,
                                                                 int count, const std::uint8_t* reference) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reference));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reference + 32));
    int best = StartDistance;
    int choice = NoRow;
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* row = grid + open[k] * SortRowBytes;
        const auto a = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row)), low)));
        const auto b = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32)), high)));
        const int d = SortRowBytes - __builtin_popcount(a) - __builtin_popcount(b);
        if (Nearer(d, k, &best, &choice))
            break;
    }
    return choice;
}

// One 64-byte compare into a mask and one bit count per row.
__attribute__((target("avx512f,avx512bw,popcnt"))) inline int NearestRowAvx512(const std::uint8_t* grid,
                                                                               const std::uint8_t* open, int count,
                                                                               const std::uint8_t* reference) {
    const __m512i ref = _mm512_loadu_si512(reference);
    int best = StartDistance;
    int choice = NoRow;
    for (int k = 0; k < count; ++k) {
        const __mmask64 equal = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(grid + open[k] * SortRowBytes), ref);
        const int d = SortRowBytes - __builtin_popcountll(equal);
        if (Nearer(d, k, &best, &choice))
            break;
    }
    return choice;
}

// The widest scan this processor runs; null: none of these.
inline NearestRowScan WideRowScan() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("popcnt"))
        return NearestRowAvx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"))
        return NearestRowAvx2;
    return nullptr;
}
#else
inline NearestRowScan WideRowScan() {
    return nullptr;
}
#endif
