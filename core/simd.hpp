#pragma once

// The few 128-bit operations that the move batch's passes and the ASCII
// upper-casing are written in, each one or two instructions on SSE2 (every
// x86-64 processor) and on Advanced SIMD (every AArch64 processor), so that
// each kernel has one source for both.
//
// VOSTRAL_SIMD is 1 where one of the two serves. It is 0 on other processors
// and when the build asks for the portable passes (VOSTRAL_SCALAR_KERNELS);
// then nothing below is declared and no vector code is compiled at all.
//
// The operations are defined here, not in a source file, because each must
// be inlined into its kernel's loop to be worth anything.

#include <cstdint>

#if !defined(VOSTRAL_SCALAR_KERNELS) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#define VOSTRAL_SIMD 1
#define VOSTRAL_SIMD_SSE2 1
// Little-endian only: the kernels read a 32-bit lane as two 16-bit ones, low
// half first. MSVC's ARM64 target is always little-endian.
#elif !defined(VOSTRAL_SCALAR_KERNELS) && ((defined(__aarch64__) && defined(__ARM_NEON) && defined(__BYTE_ORDER__) && \
                                            __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ||                             \
                                           defined(_M_ARM64))
#include <arm_neon.h>
#define VOSTRAL_SIMD 1
#define VOSTRAL_SIMD_NEON 1
#else
#define VOSTRAL_SIMD 0
#endif

#if VOSTRAL_SIMD

namespace vostral::core::simd {

// Sixteen bytes, read as 8-, 16- or 32-bit lanes as each operation says;
// lane 0 is the lowest address. Signed unless an operation says otherwise.

#if defined(VOSTRAL_SIMD_SSE2)

using Vec = __m128i;

inline Vec load(const void* at) noexcept { return _mm_loadu_si128(static_cast<const __m128i*>(at)); }
inline void store(void* at, Vec v) noexcept { _mm_storeu_si128(static_cast<__m128i*>(at), v); }

// x in the lowest 32-bit lane, 0 in the others; and that lane read back.
inline Vec from_u32(std::uint32_t x) noexcept { return _mm_cvtsi32_si128(static_cast<int>(x)); }
inline std::uint32_t to_u32(Vec v) noexcept { return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v)); }

inline Vec splat_i8(std::int8_t x) noexcept { return _mm_set1_epi8(static_cast<char>(x)); }
inline Vec splat_i16(std::int16_t x) noexcept { return _mm_set1_epi16(x); }
inline Vec splat_i32(std::int32_t x) noexcept { return _mm_set1_epi32(x); }

inline Vec add_i8(Vec a, Vec b) noexcept { return _mm_add_epi8(a, b); }
// All ones in each byte lane where a > b, zero elsewhere.
inline Vec greater_i8(Vec a, Vec b) noexcept { return _mm_cmpgt_epi8(a, b); }
inline Vec and_bits(Vec a, Vec b) noexcept { return _mm_and_si128(a, b); }
inline Vec xor_bits(Vec a, Vec b) noexcept { return _mm_xor_si128(a, b); }
inline bool any_high_bit(Vec v) noexcept { return _mm_movemask_epi8(v) != 0; }

inline Vec add_i16(Vec a, Vec b) noexcept { return _mm_add_epi16(a, b); }
inline Vec add_saturated_i16(Vec a, Vec b) noexcept { return _mm_adds_epi16(a, b); }
inline Vec max_i16(Vec a, Vec b) noexcept { return _mm_max_epi16(a, b); }
inline Vec min_i16(Vec a, Vec b) noexcept { return _mm_min_epi16(a, b); }
// 32-bit lane k: a[2k] * b[2k] + a[2k+1] * b[2k+1], from 16-bit lanes.
inline Vec multiply_add_pairs_i16(Vec a, Vec b) noexcept { return _mm_madd_epi16(a, b); }

inline Vec sub_i32(Vec a, Vec b) noexcept { return _mm_sub_epi32(a, b); }
// All ones (-1) in each 32-bit lane where a == b, zero elsewhere.
inline Vec equal_i32(Vec a, Vec b) noexcept { return _mm_cmpeq_epi32(a, b); }
// The 32-bit lanes of low, then of high, saturated to 16 bits.
inline Vec narrow_i32(Vec low, Vec high) noexcept { return _mm_packs_epi32(low, high); }
// a0 b0 a1 b1 in 32-bit lanes; a0 b0 in 64-bit ones.
inline Vec interleave_low_i32(Vec a, Vec b) noexcept { return _mm_unpacklo_epi32(a, b); }
inline Vec interleave_low_i64(Vec a, Vec b) noexcept { return _mm_unpacklo_epi64(a, b); }

// Byte lane i + Bytes takes byte lane i; the lowest Bytes become 0.
template <int Bytes>
Vec shift_up(Vec v) noexcept {
  return _mm_slli_si128(v, Bytes);
}
// The highest 16-bit lane in all eight.
inline Vec splat_last_i16(Vec v) noexcept {
  const Vec last = _mm_shufflehi_epi16(v, 0xFF);
  return _mm_unpackhi_epi64(last, last);
}
// Across the lanes.
inline std::int32_t sum_i32(Vec v) noexcept {
  v = _mm_add_epi32(v, _mm_srli_si128(v, 8));
  return _mm_cvtsi128_si32(_mm_add_epi32(v, _mm_srli_si128(v, 4)));
}
inline std::int16_t lowest_i16(Vec v) noexcept {
  v = _mm_min_epi16(v, _mm_srli_si128(v, 8));
  v = _mm_min_epi16(v, _mm_srli_si128(v, 4));
  v = _mm_min_epi16(v, _mm_srli_si128(v, 2));
  return static_cast<std::int16_t>(_mm_cvtsi128_si32(v) & 0xFFFF);
}

#else  // VOSTRAL_SIMD_NEON

// One type for every lane width, as SSE2 has it, so that the kernels read
// alike; the reinterpretations cost nothing. (MSVC gives every vector type the
// same name, so these helpers cannot be overloads.)
using Vec = uint8x16_t;
inline int8x16_t as_i8(Vec v) noexcept { return vreinterpretq_s8_u8(v); }
inline int16x8_t as_i16(Vec v) noexcept { return vreinterpretq_s16_u8(v); }
inline int32x4_t as_i32(Vec v) noexcept { return vreinterpretq_s32_u8(v); }
inline Vec of_i16(int16x8_t v) noexcept { return vreinterpretq_u8_s16(v); }
inline Vec of_i32(int32x4_t v) noexcept { return vreinterpretq_u8_s32(v); }
inline Vec of_u32(uint32x4_t v) noexcept { return vreinterpretq_u8_u32(v); }

inline Vec load(const void* at) noexcept { return vld1q_u8(static_cast<const std::uint8_t*>(at)); }
inline void store(void* at, Vec v) noexcept { vst1q_u8(static_cast<std::uint8_t*>(at), v); }

inline Vec from_u32(std::uint32_t x) noexcept { return of_u32(vsetq_lane_u32(x, vdupq_n_u32(0), 0)); }
inline std::uint32_t to_u32(Vec v) noexcept { return vgetq_lane_u32(vreinterpretq_u32_u8(v), 0); }

inline Vec splat_i8(std::int8_t x) noexcept { return vreinterpretq_u8_s8(vdupq_n_s8(x)); }
inline Vec splat_i16(std::int16_t x) noexcept { return of_i16(vdupq_n_s16(x)); }
inline Vec splat_i32(std::int32_t x) noexcept { return of_i32(vdupq_n_s32(x)); }

inline Vec add_i8(Vec a, Vec b) noexcept { return vaddq_u8(a, b); }
inline Vec greater_i8(Vec a, Vec b) noexcept { return vcgtq_s8(as_i8(a), as_i8(b)); }
inline Vec and_bits(Vec a, Vec b) noexcept { return vandq_u8(a, b); }
inline Vec xor_bits(Vec a, Vec b) noexcept { return veorq_u8(a, b); }
// No movemask here: the largest byte has its high bit if any does.
inline bool any_high_bit(Vec v) noexcept { return vmaxvq_u8(v) >= 0x80; }

inline Vec add_i16(Vec a, Vec b) noexcept { return of_i16(vaddq_s16(as_i16(a), as_i16(b))); }
inline Vec add_saturated_i16(Vec a, Vec b) noexcept { return of_i16(vqaddq_s16(as_i16(a), as_i16(b))); }
inline Vec max_i16(Vec a, Vec b) noexcept { return of_i16(vmaxq_s16(as_i16(a), as_i16(b))); }
inline Vec min_i16(Vec a, Vec b) noexcept { return of_i16(vminq_s16(as_i16(a), as_i16(b))); }
// Widening products of the low and the high halves, then sums of neighbours.
inline Vec multiply_add_pairs_i16(Vec a, Vec b) noexcept {
  const int32x4_t low = vmull_s16(vget_low_s16(as_i16(a)), vget_low_s16(as_i16(b)));
  const int32x4_t high = vmull_high_s16(as_i16(a), as_i16(b));
  return of_i32(vpaddq_s32(low, high));
}

inline Vec sub_i32(Vec a, Vec b) noexcept { return of_i32(vsubq_s32(as_i32(a), as_i32(b))); }
inline Vec equal_i32(Vec a, Vec b) noexcept { return of_u32(vceqq_s32(as_i32(a), as_i32(b))); }
inline Vec narrow_i32(Vec low, Vec high) noexcept {
  return of_i16(vqmovn_high_s32(vqmovn_s32(as_i32(low)), as_i32(high)));
}
inline Vec interleave_low_i32(Vec a, Vec b) noexcept { return of_i32(vzip1q_s32(as_i32(a), as_i32(b))); }
inline Vec interleave_low_i64(Vec a, Vec b) noexcept {
  return vreinterpretq_u8_s64(vzip1q_s64(vreinterpretq_s64_u8(a), vreinterpretq_s64_u8(b)));
}

// The top 16 - Bytes bytes of zero, then v's lowest: one extract.
template <int Bytes>
Vec shift_up(Vec v) noexcept {
  return vextq_u8(vdupq_n_u8(0), v, 16 - Bytes);
}
inline Vec splat_last_i16(Vec v) noexcept { return of_i16(vdupq_laneq_s16(as_i16(v), 7)); }
inline std::int32_t sum_i32(Vec v) noexcept { return vaddvq_s32(as_i32(v)); }
inline std::int16_t lowest_i16(Vec v) noexcept { return vminvq_s16(as_i16(v)); }

#endif

}  // namespace vostral::core::simd

#endif
