#include "kernel/native/ieee_check.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "platform/library.h"

namespace {

// The inputs are bit patterns copied into floats, so the text needs no hexadecimal float literal (C++
// before 17 has none) and no decimal one a compiler could round otherwise. One load per value: a
// rewrite such as (a + b) - b into a needs to see the same value twice.
constexpr const char* kCheckText = R"C(
/* Answers to IEEE cases from inputs the compiler cannot see, for the loader to compare with the
   interpreters' (kernel/native/ieee_check.h). */
static volatile const uint64_t k_ieee_d64[] = {0x0000000000000000ULL, 0x4000000000000000ULL, 0x3fb999999999999aULL,
	0x4024000000000000ULL, 0xbff0000000000000ULL, 0x4341c37937e08000ULL, 0x3ff0000000000000ULL, 0x8000000000000000ULL,
	0x0010000000000000ULL, 0x0000000000000001ULL, 0x401c000000000000ULL, 0x7ff8000000000000ULL};
static volatile const uint32_t k_ieee_f32[] = {0x7fc00000u, 0x40000000u, 0x3dcccccdu, 0x41200000u, 0xbf800000u, 0x40400000u};
K_INLINE double k_ieee_d(int i) { const uint64_t b = k_ieee_d64[i]; double d; memcpy(&d, &b, 8); return d; }
K_INLINE float k_ieee_f(int i) { const uint32_t b = k_ieee_f32[i]; float f; memcpy(&f, &b, 4); return f; }
K_INLINE uint64_t k_ieee_of_d(double d) { uint64_t b; memcpy(&b, &d, 8); return b; }
K_INLINE uint64_t k_ieee_of_f(float f) { uint32_t b; memcpy(&b, &f, 4); return b; }
K_EXPORT uint32_t krvk_ieee_answers(uint64_t* answers, uint32_t room)
{
	uint64_t a[22];
	uint32_t n = 0, i;
	const double dn = k_ieee_d(11), big = k_ieee_d(5);
	const float fn = k_ieee_f(0), ten = k_ieee_f(3);
	double d;
	float f;
	a[n++] = dn == dn;
	a[n++] = dn != dn;
	a[n++] = fn == fn;
	a[n++] = fn != fn;
	a[n++] = dn < k_ieee_d(6);
	a[n++] = fn <= k_ieee_f(1);
	a[n++] = k_ieee_of_d(dn == dn ? dn : 0.0);
	a[n++] = k_ieee_of_f(fn != fn ? 1.0f : 2.0f);
	f = 1.0f;
	if (!(fn == fn)) goto k_ieee_unequal;
	f = 2.0f;
k_ieee_unequal:
	a[n++] = k_ieee_of_f(f);
	d = sqrt(k_ieee_d(1));
	a[n++] = k_ieee_of_d(d * d);
	f = sqrtf(k_ieee_f(1));
	a[n++] = k_ieee_of_f(f * f);
	f = sqrtf(ten);
	a[n++] = k_ieee_of_f(f);
	a[n++] = k_ieee_of_f(1.0f / f);
	a[n++] = k_ieee_of_d(k_ieee_d(10) / 3.0);
	a[n++] = k_ieee_of_f(k_ieee_f(5) / 13.0f);
	d = k_ieee_d(2) * k_ieee_d(3);
	a[n++] = k_ieee_of_d(d + k_ieee_d(4));
	f = k_ieee_f(2) * ten;
	a[n++] = k_ieee_of_f(f + k_ieee_f(4));
	a[n++] = k_ieee_of_d(k_ieee_d(7) + 0.0);
	d = k_ieee_d(6) + big;
	a[n++] = k_ieee_of_d(d - big);
	a[n++] = k_ieee_of_d(k_ieee_d(8) * 0.25);
	a[n++] = k_ieee_of_d(k_ieee_d(9) * 2.0);
	for (i = 0; i < n && i < room; i++) answers[i] = a[i];
	return n;
}
)C";

// One case: what the C text computes, and IEEE arithmetic's answer (a float's or a double's bits, or
// 0 or 1 for a test), which is what the interpreters give.
struct ieee_case {
  std::string_view text;
  uint64_t due;
};

constexpr std::array<ieee_case, 21> kCases = {{
    {"NaN == NaN (f64)", 0},
    {"NaN != NaN (f64)", 1},
    {"NaN == NaN (f32)", 0},
    {"NaN != NaN (f32)", 1},
    {"NaN < 1.0", 0},
    {"NaN <= 2.0f", 0},
    {"NaN == NaN ? NaN : 0.0", 0},
    {"NaN != NaN ? 1.0f : 2.0f", 0x3f800000},
    {"a jump on NaN == NaN (f32)", 0x3f800000},
    {"sqrt(2.0) * sqrt(2.0)", 0x4000000000000001},
    {"sqrtf(2.0f) * sqrtf(2.0f)", 0x3fffffff},
    {"sqrtf(10.0f)", 0x404a62c2},
    {"1.0f / sqrtf(10.0f)", 0x3ea1e89b},
    {"7.0 / 3.0", 0x4002aaaaaaaaaaab},
    {"3.0f / 13.0f", 0x3e6c4ec5},
    {"0.1 * 10.0 + -1.0", 0},
    {"0.1f * 10.0f + -1.0f", 0},
    {"-0.0 + 0.0", 0},
    {"(1.0 + 1e16) - 1e16", 0},
    {"0x1p-1022 * 0.25 (a subnormal)", 0x0004000000000000},
    {"0x1p-1074 * 2.0 (a subnormal)", 2},
}};

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

const char* const krvk_ieee_check_text = kCheckText;

std::string krvk_ieee_refusal(krvk_ieee_answers_fn answers) {
  std::array<uint64_t, kCases.size()> given{};
  const uint32_t count = answers(given.data(), static_cast<uint32_t>(given.size()));
  if (count != kCases.size())
    return "its IEEE self-check answers " + std::to_string(count) + " cases where " + std::to_string(kCases.size()) +
           " are asked: it was built from another version's kernel C";
  for (size_t i = 0; i < kCases.size(); ++i) {
    if (given[i] == kCases[i].due) continue;
    return "its float arithmetic differs from the interpreters' IEEE arithmetic: " + std::string(kCases[i].text) +
           " gave " + hex(given[i]) + " where " + hex(kCases[i].due) +
           " is due (a flag of its build lets the compiler change float results)";
  }
  return "";
}

namespace {

krvk_ieee_answers_fn answers_of(void* library) {
  std::string missing;
  return reinterpret_cast<krvk_ieee_answers_fn>(krv_platform::library_symbol(library, krvk_ieee_check_symbol, missing));
}

}  // namespace

void krvk_ieee_ask(void* library) {
  std::array<uint64_t, kCases.size()> given{};
  if (const krvk_ieee_answers_fn answers = answers_of(library)) answers(given.data(), static_cast<uint32_t>(given.size()));
}

std::string krvk_ieee_library_refusal(void* library) {
  const krvk_ieee_answers_fn answers = answers_of(library);
  if (answers == nullptr)
    return std::string("it has no IEEE self-check (") + krvk_ieee_check_symbol +
           "): it was not built from this version's kernel C";
  return krvk_ieee_refusal(answers);
}
