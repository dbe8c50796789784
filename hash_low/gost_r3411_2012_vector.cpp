/*
 * The vector path: g_N with GFNI and AVX-512 (F, BW, VBMI) on x86-64.
 *
 * A 512-bit value lives in one 64-byte register, kept transposed: byte
 * 8j + r holds byte j of word r, so 64-bit lane j holds byte position j of
 * all eight words. That is the layout in which GF2P8AFFINEQB produces L's
 * output, so every step's result is ready as the next step's input. One LPS
 * step of a transposed value x:
 *
 * S: 64 substitutions at once, pi held in four registers: two two-table byte
 *    permutes (pi(0..127), pi(128..255)) and a select on each byte's top bit.
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
 * K_i), and every t step needs the K of its own round; so every round
 * computes K before t, which lets the processor give the K chain its
 * execution units first. Across the blocks of one Update call h stays in a
 * register, transposed.
 *
 * One message is bound by the latency of those chains. Several messages
 * given together (GOSTR3411_2012_UpdateMulti) run their rounds interleaved
 * in one loop, which the processor's units can keep up with; the steps then
 * take the forms with fewer operations (see substitute and linear).
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
        leaf1_ecx_osxsave = 1u << 27,
        leaf7_ebx_avx512f = 1u << 16,
        leaf7_ebx_avx512bw = 1u << 30,
        leaf7_ecx_avx512vbmi = 1u << 1,
        leaf7_ecx_gfni = 1u << 8,
        /* XCR0: SSE, AVX, opmask, upper halves of zmm0-15, zmm16-31 */
        xcr0_avx512_state = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7),
    };
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return 0;
    }
    __cpuid(1, eax, ebx, ecx, edx);
    if ((ecx & leaf1_ecx_osxsave) == 0) {
        return 0;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const unsigned ebx_needed = leaf7_ebx_avx512f | leaf7_ebx_avx512bw;
    const unsigned ecx_needed = leaf7_ecx_avx512vbmi | leaf7_ecx_gfni;
    if ((ebx & ebx_needed) != ebx_needed || (ecx & ecx_needed) != ecx_needed) {
        return 0;
    }
    /* The processor has the instructions; the operating system must also save
     * and restore the registers they use. */
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    return (xcr0_low & xcr0_avx512_state) == xcr0_avx512_state;
}

namespace {

struct Constants {
    __m512i top_bit; /* 0x80 in every byte: GF2P8AFFINEQB rows that pick bit 7 */
    __m512i sbox[4];
    __m512i matrix[8];
    __m512i odd_matrix[4]; /* swap_lanes(matrix[2i + 1]): see linear */
    __m512i gather[4];
};

/* An LPS result as four parts, whose exclusive-or is the value; the step that
 * uses it folds in one more input at no extra depth. */
struct Parts {
    __m512i p, q, r5, r7;
};

/* Lane j takes lane j ^ 1. */
VECTOR_INLINE __m512i swap_lanes(__m512i v)
{
    return _mm512_shuffle_epi32(v, _MM_PERM_BADC);
}

VECTOR_INLINE void load_constants(Constants *k)
{
    k->top_bit = _mm512_set1_epi8((char)0x80);
    for (int i = 0; i < 4; i++) {
        k->sbox[i] = _mm512_loadu_si512(lps_vector_sbox + 64 * i);
        k->gather[i] = _mm512_loadu_si512(lps_vector_gather[i]);
    }
    for (int i = 0; i < 8; i++) {
        k->matrix[i] = _mm512_loadu_si512(lps_vector_matrices[i]);
    }
    for (int i = 0; i < 4; i++) {
        k->odd_matrix[i] = swap_lanes(k->matrix[2 * i + 1]);
    }
}

VECTOR_INLINE __m512i xor3(__m512i a, __m512i b, __m512i c)
{
    return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

/* Bytes of pi(0..127) where the byte's top bit is clear, of pi(128..255)
 * where it is set.
 *
 * One computation alone is bound by the latency of its serial steps: there
 * the choice takes a byte mask made by GF2P8AFFINEQB (every row of the matrix
 * picks the top bit) and one three-input logic operation, as moving a
 * vector's top bits into a mask register takes longer on the processors
 * measured. Several computations together (TOGETHER) are bound by
 * throughput, chiefly of GF2P8AFFINEQB, so there the choice goes through a
 * mask register and a byte blend instead. */
template <bool TOGETHER> VECTOR_INLINE __m512i substitute(__m512i x, const Constants &k)
{
    const __m512i low = _mm512_permutex2var_epi8(k.sbox[0], x, k.sbox[1]);
    const __m512i high = _mm512_permutex2var_epi8(k.sbox[2], x, k.sbox[3]);
    if (TOGETHER) {
        return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
    }
    const __m512i top = _mm512_gf2p8affine_epi64_epi8(x, k.top_bit, 0);
    return _mm512_ternarylogic_epi64(top, high, low, 0xca); /* top ? high : low */
}

VECTOR_INLINE __m512i multiply(__m512i v, __m512i matrix)
{
    return _mm512_gf2p8affine_epi64_epi8(v, matrix, 0);
}

/* P and L, given terms 0, 2, 4 and 6 (lane j holding word j ^ k); term
 * k ^ 1 is term k with its lanes swapped. One computation alone swaps each
 * term, so that every product can start as early as possible. Several
 * together (TOGETHER) save byte permutes: the sum of the odd terms' products
 * is swap_lanes of the even terms multiplied by the odd matrices swapped
 * (lane j ^ 1 of matrix k ^ 1 takes word j ^ k to byte j ^ 1), one swap
 * instead of four. */
template <bool TOGETHER>
VECTOR_INLINE Parts linear(__m512i term0, __m512i term2, __m512i term4, __m512i term6,
                           const Constants &k)
{
    Parts out;
    out.p = xor3(multiply(term0, k.matrix[0]), multiply(term2, k.matrix[2]),
                 multiply(term4, k.matrix[4]));
    if (TOGETHER) {
        out.q = multiply(term6, k.matrix[6]);
        out.r5 = swap_lanes(xor3(
            multiply(term0, k.odd_matrix[0]), multiply(term2, k.odd_matrix[1]),
            _mm512_xor_si512(multiply(term4, k.odd_matrix[2]), multiply(term6, k.odd_matrix[3]))));
        out.r7 = _mm512_setzero_si512(); /* the compiler drops its exclusive-ors */
        return out;
    }
    out.q = xor3(multiply(term6, k.matrix[6]), multiply(swap_lanes(term0), k.matrix[1]),
                 multiply(swap_lanes(term2), k.matrix[3]));
    out.r5 = multiply(swap_lanes(term4), k.matrix[5]);
    out.r7 = multiply(swap_lanes(term6), k.matrix[7]);
    return out;
}

/* LPS of a transposed value; TOGETHER when several computations run
 * interleaved. */
template <bool TOGETHER> VECTOR_INLINE Parts lps_transposed(__m512i x, const Constants &k)
{
    const __m512i y = substitute<TOGETHER>(x, k);
    return linear<TOGETHER>(
        _mm512_permutexvar_epi8(k.gather[0], y), _mm512_permutexvar_epi8(k.gather[1], y),
        _mm512_permutexvar_epi8(k.gather[2], y), _mm512_permutexvar_epi8(k.gather[3], y), k);
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

/* h[l] = g_N(h[l], m[l]) with N n[l], for L independent computations, all
 * transposed. One computation is two serial chains, K_(i+1) = LPS(K_i ^ C_i)
 * and t_i = LPS(t_(i-1) ^ K_i), and each step waits for the one before it;
 * the steps of other computations fill the execution units meanwhile. */
#define EACH_LANE _Pragma("GCC unroll 4") for (int l = 0; l < L; l++)
template <int L>
VECTOR_INLINE void compress(__m512i h[L], const __m512i n[L], const __m512i m[L],
                            const Constants &k)
{
    Parts key_parts[L];
    __m512i key[L], key_in[L], t_in[L];
    EACH_LANE
    {
        key_parts[l] = lps_transposed<(L > 1)>(_mm512_xor_si512(h[l], n[l]), k);
        key[l] = sum(key_parts[l]);                      /* K_1 */
        key_in[l] = sum_with(key_parts[l], constant(0)); /* K_1 ^ C_1 */
        t_in[l] = _mm512_xor_si512(key[l], m[l]);
    }
    for (int i = 1; i < 12; i++) {
        Parts t_parts[L];
        EACH_LANE
        {
            key_parts[l] = lps_transposed<(L > 1)>(key_in[l], k);
            t_parts[l] = lps_transposed<(L > 1)>(t_in[l], k);
        }
        EACH_LANE
        {
            key[l] = sum(key_parts[l]); /* K_(i+1) */
            key_in[l] = sum_with(key_parts[l], constant(i));
            t_in[l] = sum_with(t_parts[l], key[l]); /* t_i ^ K_(i+1) */
        }
    }
    EACH_LANE
    {
        key_parts[l] = lps_transposed<(L > 1)>(key_in[l], k); /* K_13 */
        const Parts t_parts = lps_transposed<(L > 1)>(t_in[l], k);
        h[l] = xor3(xor3(h[l], m[l], sum(t_parts)), key_parts[l].p,
                    xor3(key_parts[l].q, key_parts[l].r5, key_parts[l].r7));
    }
}

VECTOR_INLINE __m512i transpose(__m512i v, const Constants &k)
{
    return _mm512_permutexvar_epi8(k.gather[0], v);
}

VECTOR_TARGET void vector_g_n(const uint64_t N[8], uint64_t h[8], const uint64_t m[8])
{
    Constants k;
    load_constants(&k);
    __m512i state[1] = {transpose(_mm512_loadu_si512(h), k)};
    const __m512i n[1] = {transpose(_mm512_loadu_si512(N), k)};
    const __m512i message[1] = {transpose(_mm512_loadu_si512(m), k)};
    compress<1>(state, n, message, k);
    _mm512_storeu_si512(h, transpose(state[0], k));
}

/* nblocks blocks from data[l] into contexts[l], l < L, the L computations
 * together. h stays in a register, transposed, from block to block; the
 * words of m are the lanes of a register (x86-64 is little-endian). */
template <int L>
VECTOR_INLINE void blocks_together(GOSTR3411_2012_CTX *const contexts[],
                                   const uint8_t *const data[], uint64_t nblocks)
{
    Constants k;
    load_constants(&k);
    __m512i h[L];
    EACH_LANE h[l] = transpose(_mm512_loadu_si512(contexts[l]->h), k);
    for (uint64_t b = 0; b < nblocks; b++) {
        uint64_t m[L][8];
        __m512i n[L], message[L];
        EACH_LANE
        {
            gost_take_block(contexts[l], data[l] + 64 * b, m[l]);
            n[l] = transpose(_mm512_loadu_si512(contexts[l]->N), k);
            message[l] = transpose(_mm512_loadu_si512(m[l]), k);
        }
        compress<L>(h, n, message, k);
        EACH_LANE gost_count_block(contexts[l], 512, m[l]);
    }
    EACH_LANE _mm512_storeu_si512(contexts[l]->h, transpose(h[l], k));
}

VECTOR_TARGET void vector_blocks(GOSTR3411_2012_CTX *context, const uint8_t *data, uint64_t nblocks)
{
    blocks_together<1>(&context, &data, nblocks);
}

VECTOR_TARGET void vector_blocks_multi(GOSTR3411_2012_CTX *const contexts[],
                                       const uint8_t *const data[], uint64_t nblocks,
                                       unsigned count)
{
    switch (count) {
    case 1:
        blocks_together<1>(contexts, data, nblocks);
        break;
    case 2:
        blocks_together<2>(contexts, data, nblocks);
        break;
    case 3:
        blocks_together<3>(contexts, data, nblocks);
        break;
    default:
        blocks_together<4>(contexts, data, nblocks);
        break;
    }
}

} // namespace

const gost_path gost_vector_path = {"vector", vector_g_n, vector_blocks, vector_blocks_multi};
