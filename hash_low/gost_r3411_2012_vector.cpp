/*
 * The vector path: g_N with GFNI and AVX-512 (F, BW, VBMI) on x86-64.
 *
 * A 512-bit value lives in one 64-byte register, kept transposed: byte
 * 8j + r holds byte j of word r, so 64-bit lane j holds byte position j of
 * all eight words. That is the layout in which GF2P8AFFINEQB produces L's
 * output, so every step's result is ready as the next step's input. One LPS
 * step of a transposed value x:
 *
 * S: 64 substitutions at once: two two-table byte permutes (pi(0..127),
 *    pi(128..255)) and a select on each byte's top bit.
 * P and L: output byte j of word r is the exclusive-or over c of
 *    M_cj(y_cr), where y_cr is byte r of word c after S and M_cj is the 8x8
 *    bit matrix that takes a byte at position c of a word to byte j of its
 *    image under l. GF2P8AFFINEQB applies one matrix per lane to the lane's
 *    eight bytes, so eight terms k = 0..7 cover it: in term k, lane j holds
 *    word c = j ^ k of y (bytes r = 0..7 in order) and is multiplied by
 *    M_(j^k)j. Four byte permutes (gather) build the terms k = 0, 2, 4, 6
 *    straight from transposed y, which is where P happens; swapping the two
 *    lanes of each 128-bit half (no lane crossing, so cheap) turns term k
 *    into term k ^ 1.
 *
 * The terms are summed in three-input exclusive-ors (VPTERNLOGQ), and each
 * sum also takes in what the next step's input needs (C_i, or K for t).
 *
 * Both chains are serial, K_(i+1) = LPS(K_i ^ C_i) and t_i = LPS(t_(i-1) ^
 * K_i), and every t step needs the K of its own round. Across the blocks of
 * one Update call h stays in a register, transposed.
 *
 * One message is bound by the latency of those chains: every round computes
 * K before t, which lets the processor give the K chain its units first.
 * Several messages given together (GOSTR3411_2012_UpdateMulti) are bound by
 * the two execution units that do all the byte permutes and GF2P8AFFINEQB
 * (15 of the about 25 operations of a step). If every chain started its step
 * at once, all would wait for their permutes together and then all for their
 * products, leaving the units idle at the start and end of each round; so
 * there a step is cut in two halves (S and the gathers; the products and
 * their sum) and the t chain runs half a step behind K, each half of one
 * chain next to the other half of the other chain. The matrices and the
 * second halves of pi are read from memory at every use (loads are cheap),
 * which leaves the registers to the messages' state. Four messages run as
 * two pairs. What one and two messages reach is in docs/benchmark.md.
 *
 * That body suits processors with two units for byte permutes. Where every
 * byte permute and lane swap shares one port (and a two-table permute takes
 * two operations there and a third elsewhere), that port bounds even one
 * message, and the second body, "vector-lean", spends fewer of them: the
 * product of term k ^ 1 is the product of term k with the lane-swapped
 * matrices, swapped afterwards, so the four odd products are summed first
 * and swapped once. A step then takes 9 operations on that port instead of
 * 12, for about 25 instead of 29 in all. The engine picks the body by the
 * processor's maker (gost_vector_prefers_lean).
 */
#include <cpuid.h>
#include <immintrin.h>

#include "gost_r3411_2012_paths.h"

#if defined(__GNUC__) && !defined(__clang__)
/* GCC 12's intrinsics make the "don't care" operand of an unmasked operation
 * by initialising a variable with itself; inlined here, that trips
 * -Wuninitialized and -Wmaybe-uninitialized although no value of it is ever
 * used. */
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define VECTOR_TARGET __attribute__((target("gfni,avx512f,avx512bw,avx512vbmi")))
#define VECTOR_INLINE VECTOR_TARGET inline __attribute__((always_inline))

int gost_vector_available(void)
{
    enum {
        LEAF1_ECX_OSXSAVE = 1u << 27,
        LEAF7_EBX_AVX512F = 1u << 16,
        LEAF7_EBX_AVX512BW = 1u << 30,
        LEAF7_ECX_AVX512VBMI = 1u << 1,
        LEAF7_ECX_GFNI = 1u << 8,
        /* XCR0: SSE, AVX, opmask, upper halves of zmm0-15, zmm16-31 */
        XCR0_AVX512_STATE = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7),
    };
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return 0;
    }
    __cpuid(1, eax, ebx, ecx, edx);
    if ((ecx & LEAF1_ECX_OSXSAVE) == 0) {
        return 0;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const unsigned ebx_needed = LEAF7_EBX_AVX512F | LEAF7_EBX_AVX512BW;
    const unsigned ecx_needed = LEAF7_ECX_AVX512VBMI | LEAF7_ECX_GFNI;
    if ((ebx & ebx_needed) != ebx_needed || (ecx & ecx_needed) != ecx_needed) {
        return 0;
    }
    /* The processor has the instructions; the operating system must also save
     * and restore the registers they use. */
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    return (xcr0_low & XCR0_AVX512_STATE) == XCR0_AVX512_STATE;
}

int gost_vector_prefers_lean(void)
{
    /* "GenuineIntel" in EBX, EDX, ECX of leaf 0. */
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    return ebx == 0x756e6547u && edx == 0x49656e69u && ecx == 0x6c65746eu;
}

namespace {

/* 0x80 in every byte: GF2P8AFFINEQB matrix rows that all pick bit 7. */
const uint64_t top_bit_rows = 0x8080808080808080ULL;

/* What stays in registers: the first table of each S lookup and the gather
 * indices (byte permutes take their index from a register), and the top-bit
 * rows: broadcast from memory at every use, they would take one of the two
 * busy units each time. */
struct Constants {
    __m512i sbox_low, sbox_high; /* pi(0..63), pi(128..191) */
    __m512i gather[4];
    __m512i top_rows; /* top_bit_rows in every lane */
    /* pi(64..127), pi(192..255): in registers for the lean body alone. */
    __m512i sbox_low2, sbox_high2;
};

/* An LPS result as four parts, whose exclusive-or is the value; the step that
 * uses it folds in one more input at no extra depth. */
struct Parts {
    __m512i p, q, r5, r7;
};

/* The first half of a step's result: terms 0, 2, 4 and 6 of S(x). */
struct Terms {
    __m512i t0, t2, t4, t6;
};

/* Lane j takes lane j ^ 1. */
VECTOR_INLINE __m512i swap_lanes(__m512i v)
{
    return _mm512_shuffle_epi32(v, _MM_PERM_BADC);
}

VECTOR_INLINE void load_constants(Constants *k)
{
    k->sbox_low = _mm512_loadu_si512(lps_vector_sbox);
    k->sbox_high = _mm512_loadu_si512(lps_vector_sbox + 128);
    for (int i = 0; i < 4; i++) {
        k->gather[i] = _mm512_loadu_si512(lps_vector_gather[i]);
    }
    k->top_rows = _mm512_set1_epi64((long long)top_bit_rows);
    k->sbox_low2 = _mm512_loadu_si512(lps_vector_sbox + 64);
    k->sbox_high2 = _mm512_loadu_si512(lps_vector_sbox + 192);
}

/* p, hidden from the compiler, so that what it points to is read again at
 * every use, as an instruction's memory operand, instead of taking a
 * register for the whole loop. */
template <typename T> VECTOR_INLINE const T *in_memory(const T *p)
{
    __asm__ volatile("" : "+r"(p));
    return p;
}

VECTOR_INLINE __m512i xor3(__m512i a, __m512i b, __m512i c)
{
    return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

/* Bytes of pi(0..127) where the byte's top bit is clear, of pi(128..255)
 * where it is set. The choice takes a byte mask made by GF2P8AFFINEQB (every
 * row of the matrix picks the top bit) and one three-input logic operation:
 * moving the top bits into a mask register takes as much of the busy units
 * and longer. The lean body keeps all of pi in registers: it runs one
 * computation at a time with registers to spare. */
template <bool Lean> VECTOR_INLINE __m512i substitute(__m512i x, const Constants &k)
{
    const uint8_t *sbox = in_memory(lps_vector_sbox);
    const __m512i low2 = Lean ? k.sbox_low2 : _mm512_loadu_si512(sbox + 64);
    const __m512i high2 = Lean ? k.sbox_high2 : _mm512_loadu_si512(sbox + 192);
    const __m512i low = _mm512_permutex2var_epi8(k.sbox_low, x, low2);
    const __m512i high = _mm512_permutex2var_epi8(k.sbox_high, x, high2);
    const __m512i top = _mm512_gf2p8affine_epi64_epi8(x, k.top_rows, 0);
    return _mm512_ternarylogic_epi64(top, high, low, 0xca); /* top ? high : low */
}

VECTOR_INLINE __m512i multiply(__m512i v, const uint64_t (*matrices)[8], int k)
{
    return _mm512_gf2p8affine_epi64_epi8(v, _mm512_loadu_si512(matrices[k]), 0);
}

/* S, then the gathers: the terms of P and L. */
template <bool Lean = false> VECTOR_INLINE Terms lps_first(__m512i x, const Constants &k)
{
    const __m512i y = substitute<Lean>(x, k);
    return {_mm512_permutexvar_epi8(k.gather[0], y), _mm512_permutexvar_epi8(k.gather[1], y),
            _mm512_permutexvar_epi8(k.gather[2], y), _mm512_permutexvar_epi8(k.gather[3], y)};
}

/* The products of the terms (term k ^ 1 is term k with its lanes swapped),
 * in parts. */
VECTOR_INLINE Parts lps_second(const Terms &t)
{
    const uint64_t(*m)[8] = in_memory(lps_vector_matrices);
    Parts out;
    out.p = xor3(multiply(t.t0, m, 0), multiply(t.t2, m, 2), multiply(t.t4, m, 4));
    out.q = xor3(multiply(t.t6, m, 6), multiply(swap_lanes(t.t0), m, 1),
                 multiply(swap_lanes(t.t2), m, 3));
    out.r5 = multiply(swap_lanes(t.t4), m, 5);
    out.r7 = multiply(swap_lanes(t.t6), m, 7);
    return out;
}

/* LPS of a transposed value. */
VECTOR_INLINE Parts lps_transposed(__m512i x, const Constants &k)
{
    return lps_second(lps_first(x, k));
}

VECTOR_INLINE __m512i sum(const Parts &v)
{
    return xor3(v.p, v.q, _mm512_xor_si512(v.r5, v.r7));
}

VECTOR_INLINE __m512i sum_with(const Parts &v, __m512i extra)
{
    return xor3(v.p, v.q, xor3(v.r5, v.r7, extra));
}

VECTOR_INLINE __m512i constant(int i)
{
    return _mm512_loadu_si512(lps_vector_constants[i]);
}

/* h = g_N(h, m) with N n, all transposed, for one computation. */
VECTOR_INLINE void compress_alone(__m512i *h, __m512i n, __m512i m, const Constants &k)
{
    Parts key_parts = lps_transposed(_mm512_xor_si512(*h, n), k);
    __m512i key = sum(key_parts);                      /* K_1 */
    __m512i key_in = sum_with(key_parts, constant(0)); /* K_1 ^ C_1 */
    __m512i t_in = _mm512_xor_si512(key, m);
    for (int i = 1; i < 12; i++) {
        key_parts = lps_transposed(key_in, k);
        const Parts t_parts = lps_transposed(t_in, k);
        key = sum(key_parts); /* K_(i+1) */
        key_in = sum_with(key_parts, constant(i));
        t_in = sum_with(t_parts, key); /* t_i ^ K_(i+1) */
    }
    key_parts = lps_transposed(key_in, k); /* K_13 */
    const Parts t_parts = lps_transposed(t_in, k);
    *h =
        xor3(xor3(*h, m, sum(t_parts)), key_parts.p, xor3(key_parts.q, key_parts.r5, key_parts.r7));
}

/* h[l] = g_N(h[l], m[l]) with N n[l], for L independent computations, all
 * transposed. Each chain's steps are cut in halves, and the t chain runs half
 * a step behind K: while one half of K_j is computed, the other half of
 * t_(j-1) is, so that every moment has both kinds of work for the units. */
#define EACH_LANE _Pragma("GCC unroll 4") for (int l = 0; l < L; l++)
template <int L>
VECTOR_INLINE void compress_together(__m512i h[L], const __m512i n[L], const __m512i m[L],
                                     const Constants &k)
{
    Terms key_terms[L], t_terms[L];
    Parts key_parts[L], t_parts[L];
    __m512i key[L], key_in[L], t_in[L];
    EACH_LANE key_terms[l] = lps_first(_mm512_xor_si512(h[l], n[l]), k);
    EACH_LANE
    {
        key_parts[l] = lps_second(key_terms[l]);
        key[l] = sum(key_parts[l]);                      /* K_1 */
        key_in[l] = sum_with(key_parts[l], constant(0)); /* K_1 ^ C_1 */
        t_in[l] = _mm512_xor_si512(key[l], m[l]);
    }
    EACH_LANE key_terms[l] = lps_first(key_in[l], k); /* K_2 */
    for (int j = 2; j < 13; j++) {
        EACH_LANE
        {
            t_terms[l] = lps_first(t_in[l], k); /* t_(j-1) */
            key_parts[l] = lps_second(key_terms[l]);
        }
        EACH_LANE
        {
            key[l] = sum(key_parts[l]); /* K_j */
            key_in[l] = sum_with(key_parts[l], constant(j - 1));
            key_terms[l] = lps_first(key_in[l], k); /* K_(j+1) */
            t_parts[l] = lps_second(t_terms[l]);
            t_in[l] = sum_with(t_parts[l], key[l]); /* t_(j-1) ^ K_j */
        }
    }
    EACH_LANE
    {
        key_parts[l] = lps_second(key_terms[l]); /* K_13 */
        t_terms[l] = lps_first(t_in[l], k);      /* t_12 */
    }
    EACH_LANE
    {
        t_parts[l] = lps_second(t_terms[l]);
        h[l] = xor3(xor3(h[l], m[l], sum(t_parts[l])), key_parts[l].p,
                    xor3(key_parts[l].q, key_parts[l].r5, key_parts[l].r7));
    }
}

/* The lean body. */

/* An LPS result of the lean body in parts: the value is
 * d ^ d3 ^ swap_lanes(e). */
struct LeanParts {
    __m512i d, d3, e;
};

/* Term 2g + 1 is term 2g with its lanes swapped; its product with
 * matrices[2g + 1] is the product of term 2g with those matrices' lanes
 * swapped, swapped back. So the four odd products are summed unswapped,
 * together with extra (which the value then holds swapped), and swapped
 * once. */
VECTOR_INLINE LeanParts lean_second(const Terms &t, __m512i extra)
{
    const uint64_t(*m)[8] = in_memory(lps_vector_matrices);
    const uint64_t(*ms)[8] = in_memory(lps_vector_matrices_swapped);
    LeanParts out;
    const __m512i e = xor3(multiply(t.t0, ms, 0), multiply(t.t2, ms, 1), extra);
    out.d = xor3(multiply(t.t0, m, 0), multiply(t.t2, m, 2), multiply(t.t4, m, 4));
    out.e = xor3(e, multiply(t.t4, ms, 2), multiply(t.t6, ms, 3));
    out.d3 = multiply(t.t6, m, 6);
    return out;
}

VECTOR_INLINE __m512i lean_sum(const LeanParts &v)
{
    return xor3(v.d, v.d3, swap_lanes(v.e));
}

VECTOR_INLINE __m512i lean_sum_with(const LeanParts &v, __m512i extra)
{
    return xor3(v.d, _mm512_xor_si512(v.d3, extra), swap_lanes(v.e));
}

/* C_(i+1) with its lanes swapped, in a register. */
VECTOR_INLINE __m512i swapped_constant(int i)
{
    __m512i c = _mm512_loadu_si512(lps_vector_constants_swapped[i]);
    __asm__("" : "+v"(c));
    return c;
}

/* As compress_together, by the lean body, which runs one computation this
 * way too: with all byte permutes on one port, the half a step between the
 * chains fills that port's gaps there as well. In round j both chains take
 * C_j, swapped, into the odd products' sum: the K chain keeps K_j ^ C_j, the
 * input of its next step, and the t chain adds that, whose C_j cancels its
 * own. */
template <int L>
VECTOR_INLINE void compress_together_lean(__m512i h[L], const __m512i n[L], const __m512i m[L],
                                          const Constants &k)
{
    const __m512i zero = _mm512_setzero_si512();
    Terms key_terms[L], t_terms[L];
    LeanParts key_parts[L], t_parts[L];
    __m512i key_in[L], t_in[L];
    EACH_LANE key_terms[l] = lps_first<true>(_mm512_xor_si512(h[l], n[l]), k);
    EACH_LANE
    {
        const __m512i key = lean_sum(lean_second(key_terms[l], zero)); /* K_1 */
        key_in[l] = _mm512_xor_si512(key, constant(0));
        t_in[l] = _mm512_xor_si512(key, m[l]);
    }
    EACH_LANE key_terms[l] = lps_first<true>(key_in[l], k); /* K_2 */
    for (int j = 2; j < 13; j++) {
        const __m512i c = swapped_constant(j - 1);
        EACH_LANE
        {
            t_terms[l] = lps_first<true>(t_in[l], k); /* t_(j-1) */
            key_parts[l] = lean_second(key_terms[l], c);
        }
        EACH_LANE
        {
            key_in[l] = lean_sum(key_parts[l]);           /* K_j ^ C_j */
            key_terms[l] = lps_first<true>(key_in[l], k); /* K_(j+1) */
            t_parts[l] = lean_second(t_terms[l], c);
            t_in[l] = lean_sum_with(t_parts[l], key_in[l]); /* t_(j-1) ^ K_j */
        }
    }
    EACH_LANE
    {
        key_parts[l] = lean_second(key_terms[l], zero); /* K_13 */
        t_terms[l] = lps_first<true>(t_in[l], k);       /* t_12 */
    }
    EACH_LANE
    {
        t_parts[l] = lean_second(t_terms[l], zero);
        h[l] = xor3(xor3(h[l], m[l], key_parts[l].d),
                    xor3(key_parts[l].d3, t_parts[l].d, t_parts[l].d3),
                    swap_lanes(_mm512_xor_si512(key_parts[l].e, t_parts[l].e)));
    }
}

/* The lean body's matrices in registers, for one computation alone: the
 * products then wait for no load. */
struct LeanMatrices {
    __m512i m[4];  /* matrices 0, 2, 4, 6 */
    __m512i ms[4]; /* matrices 1, 3, 5, 7, lanes swapped */
};

VECTOR_INLINE void load_lean_matrices(LeanMatrices *x)
{
    for (int g = 0; g < 4; g++) {
        x->m[g] = _mm512_loadu_si512(lps_vector_matrices[2 * g]);
        x->ms[g] = _mm512_loadu_si512(lps_vector_matrices_swapped[g]);
    }
}

VECTOR_INLINE __m512i affine(__m512i v, __m512i matrix)
{
    return _mm512_gf2p8affine_epi64_epi8(v, matrix, 0);
}

/* The products of a step's terms and their sum, with extra (lanes swapped)
 * and plain (as it is) folded in. The odd products come first, so that their
 * sum is swapped while the even ones are made, and the last product enters
 * the last exclusive-or. */
VECTOR_INLINE __m512i lean_products(const Terms &t, __m512i extra, __m512i plain,
                                    const LeanMatrices &mx)
{
    const __m512i o0 = affine(t.t0, mx.ms[0]);
    const __m512i o1 = affine(t.t2, mx.ms[1]);
    const __m512i o2 = affine(t.t4, mx.ms[2]);
    const __m512i o3 = affine(t.t6, mx.ms[3]);
    const __m512i odd = swap_lanes(xor3(xor3(o0, o1, extra), o2, o3));
    const __m512i e0 = affine(t.t0, mx.m[0]);
    const __m512i e2 = affine(t.t2, mx.m[1]);
    const __m512i e4 = affine(t.t4, mx.m[2]);
    const __m512i e6 = affine(t.t6, mx.m[3]);
    return xor3(xor3(e0, e2, odd), _mm512_xor_si512(e4, plain), e6);
}

/* One computation by the lean body, the t chain half a step behind K as in
 * compress_together_lean, with the matrices in registers. */
VECTOR_INLINE void compress_alone_lean(__m512i *h, __m512i n, __m512i m, const Constants &k,
                                       const LeanMatrices &mx)
{
    const __m512i zero = _mm512_setzero_si512();
    const __m512i key =
        lean_products(lps_first<true>(_mm512_xor_si512(*h, n), k), zero, zero, mx); /* K_1 */
    __m512i key_in = _mm512_xor_si512(key, constant(0));                            /* K_1 ^ C_1 */
    __m512i t_in = _mm512_xor_si512(key, m);
    Terms key_terms = lps_first<true>(key_in, k); /* K_2 */
    for (int i = 1; i < 12; i++) {
        const __m512i c = swapped_constant(i);
        const Terms t_terms = lps_first<true>(t_in, k); /* t_i */
        key_in = lean_products(key_terms, c, zero, mx); /* K_(i+1) ^ C_(i+1) */
        t_in = lean_products(t_terms, c, key_in, mx);   /* t_i ^ K_(i+1) */
        key_terms = lps_first<true>(key_in, k);
    }
    const Terms t_terms = lps_first<true>(t_in, k); /* t_12 */
    const __m512i last =
        lean_products(key_terms, zero, _mm512_xor_si512(*h, m), mx); /* K_13 ^ h ^ m */
    *h = lean_products(t_terms, zero, last, mx);
}

VECTOR_INLINE __m512i transpose(__m512i v, const Constants &k)
{
    return _mm512_permutexvar_epi8(k.gather[0], v);
}

/* N (as it lies in the context) after one more block. Within a call N stays
 * in a register: 512 is added to its low word, which is put back in place,
 * unless the addition carries out of it; that rare case goes through the
 * common addition. Counting N in memory and reading it back whole for the
 * next block measured slower. */
VECTOR_INLINE __m512i add_block_bits(__m512i count)
{
    const uint64_t low = (uint64_t)_mm_cvtsi128_si64(_mm512_castsi512_si128(count));
    if (__builtin_expect(low <= UINT64_MAX - 512, 1)) {
        const uint64_t next = low + 512;
        return _mm512_mask_set1_epi64(count, 1, (long long)next);
    }
    uint64_t words[8];
    _mm512_storeu_si512(words, count);
    gost_add_bits(words, 512);
    return _mm512_loadu_si512(words);
}

/* nblocks blocks from data[l] into contexts[l], l < L, the L computations
 * together. h and N stay in registers from block to block, h transposed. A
 * block is read where it lies, once as a register (its words are the lanes:
 * x86-64 is little-endian) and once word by word for Sigma: copying it
 * first, or reading it whole from words stored on the way, makes the wide
 * read wait for narrow stores at every block. */
template <int L, bool Lean>
VECTOR_INLINE void blocks_together(GOSTR3411_2012_CTX *const contexts[],
                                   const uint8_t *const data[], uint64_t nblocks)
{
    Constants k;
    load_constants(&k);
    LeanMatrices mx;
    if (Lean && L == 1) {
        load_lean_matrices(&mx);
    }
    __m512i h[L], count[L];
    EACH_LANE
    {
        h[l] = transpose(_mm512_loadu_si512(contexts[l]->h), k);
        count[l] = _mm512_loadu_si512(contexts[l]->N);
    }
    for (uint64_t b = 0; b < nblocks; b++) {
        __m512i n[L], message[L];
        EACH_LANE
        {
            n[l] = transpose(count[l], k);
            message[l] = transpose(_mm512_loadu_si512(data[l] + 64 * b), k);
        }
        if (Lean && L == 1) {
            compress_alone_lean(h, n[0], message[0], k, mx);
        } else if (Lean) {
            compress_together_lean<L>(h, n, message, k);
        } else if (L == 1) {
            compress_alone(h, n[0], message[0], k);
        } else {
            compress_together<L>(h, n, message, k);
        }
        EACH_LANE
        {
            count[l] = add_block_bits(count[l]);
            gost_add_block(contexts[l]->Sigma, data[l] + 64 * b);
        }
    }
    EACH_LANE
    {
        _mm512_storeu_si512(contexts[l]->h, transpose(h[l], k));
        _mm512_storeu_si512(contexts[l]->N, count[l]);
    }
}

template <bool Lean> VECTOR_TARGET void g_n(const uint64_t N[8], uint64_t h[8], const uint64_t m[8])
{
    Constants k;
    load_constants(&k);
    __m512i state = transpose(_mm512_loadu_si512(h), k);
    const __m512i n = transpose(_mm512_loadu_si512(N), k);
    const __m512i message = transpose(_mm512_loadu_si512(m), k);
    if (Lean) {
        LeanMatrices mx;
        load_lean_matrices(&mx);
        compress_alone_lean(&state, n, message, k, mx);
    } else {
        compress_alone(&state, n, message, k);
    }
    _mm512_storeu_si512(h, transpose(state, k));
}

template <bool Lean>
__attribute__((noinline)) VECTOR_TARGET void blocks_one(GOSTR3411_2012_CTX *context,
                                                        const uint8_t *data, uint64_t nblocks);

template <bool Lean>
VECTOR_TARGET void blocks_any(GOSTR3411_2012_CTX *const contexts[], const uint8_t *const data[],
                              uint64_t nblocks, unsigned count)
{
    switch (count) {
    case 1:
        /* The lean body's one computation keeps its own registers. */
        if (Lean) {
            blocks_one<true>(contexts[0], data[0], nblocks);
            break;
        }
        blocks_together<1, Lean>(contexts, data, nblocks);
        break;
    case 2:
        blocks_together<2, Lean>(contexts, data, nblocks);
        break;
    case 3:
        blocks_together<3, Lean>(contexts, data, nblocks);
        break;
    default:
        /* Four at once hold more state than the registers: two pairs are
         * faster. */
        blocks_together<2, Lean>(contexts, data, nblocks);
        blocks_together<2, Lean>(contexts + 2, data + 2, nblocks);
        break;
    }
}

template <bool Lean>
__attribute__((noinline)) VECTOR_TARGET void blocks_one(GOSTR3411_2012_CTX *context,
                                                        const uint8_t *data, uint64_t nblocks)
{
    blocks_together<1, Lean>(&context, &data, nblocks);
}

} // namespace

const gost_path gost_vector_path = {"vector", g_n<false>, blocks_one<false>, blocks_any<false>};
const gost_path gost_vector_lean_path = {"vector-lean", g_n<true>, blocks_one<true>,
                                         blocks_any<true>};
