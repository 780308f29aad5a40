#include "kernel/native/c_prelude.h"

// The text is written as the C it is; tabs indent it, as they indent the translated functions.
static const char kPrelude[] = R"C(
#include <stdint.h>
#include <string.h>
#include <math.h>

#if defined(__FAST_MATH__)
#error "kernels need IEEE arithmetic: __FAST_MATH__ is defined (as -ffast-math and -Ofast define it)"
#elif defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "kernels need IEEE arithmetic: __FINITE_MATH_ONLY__ is 1 (as -ffinite-math-only makes it)"
#endif
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0 && __FLT_EVAL_METHOD__ != 16 && __FLT_EVAL_METHOD__ != 32
#if __FLT_EVAL_METHOD__ == 1
#error "kernels need float arithmetic in float precision: __FLT_EVAL_METHOD__ is 1 (float evaluated as double)"
#elif __FLT_EVAL_METHOD__ == 2
#error "kernels need float and double arithmetic in their own precision: __FLT_EVAL_METHOD__ is 2 (evaluated as long double, as x87 arithmetic is)"
#elif __FLT_EVAL_METHOD__ == -1
#error "kernels need float and double arithmetic in their own precision: __FLT_EVAL_METHOD__ is -1 (precision not determined, as where x87 and SSE arithmetic mix)"
#else
#define K_STRING(x) #x
#define K_VALUE(x) K_STRING(x)
#pragma message("__FLT_EVAL_METHOD__ is " K_VALUE(__FLT_EVAL_METHOD__))
#error "kernels need float and double arithmetic in their own precision: __FLT_EVAL_METHOD__ is none of 0, 16 and 32 (the value is in the note above)"
#endif
#endif
#if defined(_M_FP_FAST)
#error "kernels need IEEE arithmetic: _M_FP_FAST is defined (as /fp:fast defines it); build them with /fp:precise or /fp:strict"
#elif defined(_M_FP_CONTRACT)
#error "kernels need IEEE arithmetic: _M_FP_CONTRACT is defined (as /fp:contract defines it); build them without it"
#endif

#if defined(__clang__)
#pragma float_control(precise, on)
#pragma STDC FP_CONTRACT OFF
#if defined(__x86_64__) || defined(__i386__)
#define K_HELD __attribute__((target("no-fma,no-fma4")))
#else
#define K_HELD
#endif
#elif defined(__GNUC__)
#pragma GCC optimize("no-unsafe-math-optimizations", "fp-contract=off", "no-associative-math", "no-reciprocal-math", "signed-zeros", "trapping-math")
#define K_HELD
#else
#define K_HELD
#endif

typedef union kreg { int64_t i; uint64_t u; double d; float f; uint8_t* p; } kreg;
typedef struct kptr { uint8_t* base; uint64_t count; uint64_t stride; uint64_t bytes; } kptr;
typedef struct ktrap { uint32_t code; uint32_t pc; uint64_t gid; int64_t value; double fvalue; uint64_t limit; } ktrap;

#if defined(_MSC_VER)
#include <intrin.h>
#define K_EXPORT __declspec(dllexport) K_HELD
#define K_UNLIKELY(x) (x)
static __inline uint32_t k_aadd32(uint8_t* p, uint32_t v) { return (uint32_t)_InterlockedExchangeAdd((volatile long*)p, (long)v); }
static __inline uint64_t k_aadd64(uint8_t* p, uint64_t v) { return (uint64_t)_InterlockedExchangeAdd64((volatile long long*)p, (long long)v); }
static __inline uint64_t k_mulhi(uint64_t a, uint64_t b) { return __umulh(a, b); }
#define K_INLINE static __inline K_HELD
#define K_OPAQUE(v) ((void)0)
K_INLINE float k_negf(float v) { uint32_t b; memcpy(&b, &v, 4); b ^= 0x80000000u; memcpy(&v, &b, 4); return v; }
K_INLINE double k_negd(double v) { uint64_t b; memcpy(&b, &v, 8); b ^= 0x8000000000000000u; memcpy(&v, &b, 8); return v; }
#else
#if defined(_WIN32)
#define K_EXPORT __declspec(dllexport) K_HELD
#else
#define K_EXPORT __attribute__((visibility("default"))) K_HELD
#endif
#define K_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define K_INLINE static inline K_HELD
K_INLINE uint32_t k_aadd32(uint8_t* p, uint32_t v) { return __atomic_fetch_add((uint32_t*)p, v, __ATOMIC_RELAXED); }
K_INLINE uint64_t k_aadd64(uint8_t* p, uint64_t v) { return __atomic_fetch_add((uint64_t*)p, v, __ATOMIC_RELAXED); }
#if defined(__SIZEOF_INT128__)
K_INLINE uint64_t k_mulhi(uint64_t a, uint64_t b) { return (uint64_t)(((unsigned __int128)a * b) >> 64); }
#else
K_INLINE uint64_t k_mulhi(uint64_t a, uint64_t b)
{
	const uint64_t al = (uint32_t)a, ah = a >> 32, bl = (uint32_t)b, bh = b >> 32;
	const uint64_t ll = al * bl, lh = al * bh, hl = ah * bl, hh = ah * bh;
	const uint64_t mid = (ll >> 32) + (uint32_t)lh + (uint32_t)hl;
	return hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
}
#endif
#if defined(__SSE2__)
#define K_OPAQUE(v) __asm__("" : "+x"(v))
#elif defined(__aarch64__)
#define K_OPAQUE(v) __asm__("" : "+w"(v))
#else
#define K_OPAQUE(v) __asm__("" : "+m"(v))
#endif
K_INLINE float k_negf(float v) { K_OPAQUE(v); v = -v; K_OPAQUE(v); return v; }
K_INLINE double k_negd(double v) { K_OPAQUE(v); v = -v; K_OPAQUE(v); return v; }
#endif

/* The C library's math functions, called through pointers whose values the compiler cannot know, so that
   it neither computes a call of a constant itself nor rewrites a call (cos(atan(x)), pow(x, 2.0)). */
#define K_LIBM1(name) static float (*volatile const k_##name##f)(float) = name##f; \
	static double (*volatile const k_##name)(double) = name;
#define K_LIBM2(name) static float (*volatile const k_##name##f)(float, float) = name##f; \
	static double (*volatile const k_##name)(double, double) = name;
K_LIBM1(round) K_LIBM1(sin) K_LIBM1(cos) K_LIBM1(tan) K_LIBM1(asin) K_LIBM1(acos) K_LIBM1(atan)
K_LIBM1(exp) K_LIBM1(log) K_LIBM1(log2) K_LIBM1(log10) K_LIBM2(pow) K_LIBM2(atan2) K_LIBM2(fmod)

K_INLINE int64_t k_i32(uint64_t v) { return (int64_t)(int32_t)(uint32_t)v; }
K_INLINE int64_t k_u32(uint64_t v) { return (int64_t)(uint32_t)v; }
K_INLINE float k_fmin(float a, float b) { return b < a ? b : a; }
K_INLINE float k_fmax(float a, float b) { return a < b ? b : a; }
K_INLINE double k_dmin(double a, double b) { return b < a ? b : a; }
K_INLINE double k_dmax(double a, double b) { return a < b ? b : a; }
K_INLINE int64_t k_divc_u32(int64_t x, uint64_t m) { return (int64_t)k_mulhi(m, (uint32_t)x); }
K_INLINE int64_t k_modc_u32(int64_t x, uint64_t m, uint32_t d) { return (int64_t)k_mulhi(m * (uint32_t)x, d); }
K_INLINE int64_t k_divc_i32(int64_t x, uint64_t m)
{
	const uint32_t ux = x < 0 ? 0u - (uint32_t)x : (uint32_t)x;
	const int64_t q = k_divc_u32(ux, m);
	return x < 0 ? -q : q;
}
K_INLINE int64_t k_modc_i32(int64_t x, uint64_t m, uint32_t d)
{
	const uint32_t ux = x < 0 ? 0u - (uint32_t)x : (uint32_t)x;
	const int64_t r = k_modc_u32(ux, m, d);
	return x < 0 ? -r : r;
}
/* target: 2 i8, 3 u8, 4 i16, 5 u16, 6 i32, 7 u32, 8 i64, 9 u64 (krvk_prim) */
K_INLINE int k_f2i(double v, int target, int64_t* out)
{
	double t;
	int ok;
	if (!(v == v)) return 0;
	t = trunc(v);
	switch (target)
	{
	case 2: ok = -128.0 <= t && t <= 127.0; break;
	case 3: ok = 0.0 <= t && t <= 255.0; break;
	case 4: ok = -32768.0 <= t && t <= 32767.0; break;
	case 5: ok = 0.0 <= t && t <= 65535.0; break;
	case 6: ok = -2147483648.0 <= t && t < 2147483648.0; break;
	case 7: ok = 0.0 <= t && t < 4294967296.0; break;
	case 8: ok = -9223372036854775808.0 <= t && t < 9223372036854775808.0; break;
	case 9: ok = 0.0 <= t && t < 18446744073709551616.0; break;
	default: return 0;
	}
	if (!ok) return 0;
	*out = target == 9 ? (int64_t)(uint64_t)t : (int64_t)t;
	return 1;
}

#define K_TRAP(c, pc_, v, lim) do { trap->code = (c); trap->pc = (pc_); trap->gid = gid; trap->value = (int64_t)(v); trap->limit = (uint64_t)(lim); return (c); } while (0)
#define K_TRAPF(c, pc_, fv) do { trap->code = (c); trap->pc = (pc_); trap->gid = gid; trap->fvalue = (fv); return (c); } while (0)
)C";

const char* const krvk_c_prelude = kPrelude;
