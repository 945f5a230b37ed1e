#include "sysinfo/isa_table.hpp"

#include <cstring>
#include <iterator>

namespace talvo2 {

namespace {

using S = SystemInfo;

// The AVX family; any one of the AVX-512 subsets counts as AVX-512.
const IsaTableEntry avxTable[] = {
    {S::ISA_AVX, "avx", "avx", 1, ECX, 28, 256},
    {S::ISA_AVX2, "avx2", "avx2", 7, EBX, 5, 256},
    {S::ISA_AVX512, "avx512", "avx512f", 7, EBX, 16, 512},
    {S::ISA_AVX512, "avx512", "avx512cd", 7, EBX, 28, 512},
    {S::ISA_AVX512, "avx512", "avx512pf", 7, EBX, 26, 512},
    {S::ISA_AVX512, "avx512", "avx512er", 7, EBX, 27, 512},
    {S::ISA_AVX512, "avx512", "avx512vl", 7, EBX, 31, 512},
    {S::ISA_AVX512, "avx512", "avx512bw", 7, EBX, 30, 512},
    {S::ISA_AVX512, "avx512", "avx512dq", 7, EBX, 17, 512},
    {S::ISA_AVX512, "avx512", "avx512ifma", 7, EBX, 21, 512},
    {S::ISA_AVX512, "avx512", "avx512_4vnniw", 7, EDX, 2, 512},
    {S::ISA_AVX512, "avx512", "avx512_4fmaps", 7, EDX, 3, 512},
    {S::ISA_AVX512, "avx512", "avx512_vpopcntdq", 7, ECX, 14, 512},
    {S::ISA_AVX512, "avx512", "avx512_vnni", 7, ECX, 11, 512},
};

// The SSE family. "sse4" is a name text may carry; its leaf is one no pass looks at, so it is
// never detected.
const IsaTableEntry sseTable[] = {
    {S::ISA_SSE, "sse", "sse", 1, EDX, 25, 128},
    {S::ISA_SSE2, "sse2", "sse2", 1, EDX, 26, 128},
    {S::ISA_SSE3, "sse3", "sse3", 1, ECX, 0, 128},
    {S::ISA_SSSE3, "ssse3", "ssse3", 1, ECX, 9, 128},
    {S::ISA_SSE4, "sse4", "sse4", 0xFFFFFFFEu, EAX, 0, 128},
    {S::ISA_SSE4_1, "sse4_1", "sse4_1", 1, ECX, 19, 128},
    {S::ISA_SSE4_2, "sse4_2", "sse4_2", 1, ECX, 20, 128},
};

const IsaTableEntry mmxEntry[] = {
    {S::ISA_MMX, "mmx", "mmx", 1, EDX, 23, 64},
};

struct Family {
    const IsaTableEntry* begin;
    const IsaTableEntry* end;
};

// The order every lookup searches in.
const Family searchOrder[] = {
    {std::begin(avxTable), std::end(avxTable)},
    {std::begin(sseTable), std::end(sseTable)},
    {std::begin(mmxEntry), std::end(mmxEntry)},
};

bool hits(const IsaTableEntry& row, uint32_t leaf, const uint32_t registers[4]) {
    return row.cpuidLeaf == leaf && ((registers[row.cpuidRegister] >> row.cpuidBit) & 1u) != 0;
}

void scan(const IsaTableEntry* begin, const IsaTableEntry* end, uint32_t leaf,
          const uint32_t registers[4], SystemInfo::IsaExtensions& familyMax,
          int32_t& vectorLength) {
    for (const IsaTableEntry* row = begin; row != end; ++row) {
        if (!hits(*row, leaf, registers)) continue;
        familyMax = row->isa;
        if (row->vectorLength > vectorLength) vectorLength = row->vectorLength;
    }
}

bool matches(const char* wanted, const char* actual) {
    return !wanted || std::strcmp(wanted, actual) == 0;
}

}  // namespace

void applyIsaPass(uint32_t leaf, const uint32_t registers[4], IsaRecord& record) {
    if (leaf == 1) {
        scan(std::begin(sseTable), std::end(sseTable), leaf, registers, record.sseMax,
             record.maxVectorLength);
        scan(std::begin(mmxEntry), std::end(mmxEntry), leaf, registers, record.mmxMax,
             record.maxVectorLength);
    }
    if (leaf == 1 || leaf == 7) {
        scan(std::begin(avxTable), std::end(avxTable), leaf, registers, record.avxMax,
             record.maxVectorLength);
    }
}

const IsaTableEntry* findIsaRow(const char* abbreviation, const char* cpuinfoFlag) {
    if (!abbreviation && !cpuinfoFlag) return nullptr;
    for (const Family& family : searchOrder) {
        for (const IsaTableEntry* row = family.begin; row != family.end; ++row) {
            if (matches(abbreviation, row->abbreviation) && matches(cpuinfoFlag, row->cpuinfoFlag))
                return row;
        }
    }
    return nullptr;
}

const IsaTableEntry* findIsaRow(SystemInfo::IsaExtensions isa) {
    if (isa == SystemInfo::ISA_NONE) return nullptr;
    for (const Family& family : searchOrder) {
        for (const IsaTableEntry* row = family.begin; row != family.end; ++row) {
            if (row->isa == isa) return row;
        }
    }
    return nullptr;
}

}  // namespace talvo2
