// Kernel sources for differential runs of native code against the scalar interpreter: maps over every
// element type, reductions (scalar and struct), 2-D kernels, structs and vectors, per-work-item frames
// (local arrays), loops, math, conversions, atomics, and kernels that trap on the random inputs of
// engine_compare.h (indexes past the end, division by zero, float-to-integer overflow, local array
// bounds).
#pragma once

inline const char* const kNativeKernelSuite = R"(
kernel const f32 NINTH = 1.0f / 9.0f;
kernel const u32 TAPS = 3;

struct Body { f32x3 pos; f32x3 vel; }
kernel struct Stats { f32 sum; f32 hi; u32 n; }
cstruct Window { u32 id; i32 samples[3]; u8 flags[2]; }

inline f32 square(f32 x) { return x * x; }
inline f32 clamp01(f32 v) { return v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v; }

kernel void saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }
kernel void daxpy(f64* y, const f64* x, f64 a) { y[gid] = a * x[gid] + y[gid]; }

kernel void int_ops(i32* out, const i32* a, const i32* b) {
  i32 x = a[gid], y = b[gid];
  out[gid] = (x * 3 - y) ^ (x << 2) + (y >> 1) + (x & y | 12) + x / 7 - y % 5 + (-x) + ~y;
}

kernel void unsigned_ops(u32* out, const u32* a, const u32* b) {
  u32 x = a[gid], y = b[gid] | 1u;
  out[gid] = x / y + x % y + (x << (y & 7u)) + (x >> 3) + x / 10u + x % 641u + min(x, y) + max(x, y);
}

kernel void wide_ops(i64* out, const i64* a, u64* u) {
  i64 x = a[gid];
  u64 v = u[gid];
  out[gid] = x * 1000003 - (x >> 3) + x / 3 + (x % 11) + abs(x) + min(x, 5) + max(x, -5);
  u[gid] = v * 0x9E3779B97F4A7C15 + (v >> 7) ^ (v << 5);
}

kernel void narrow_ops(i8* p, u8* q, i16* r, u16* s) {
  p[gid] = i8(i32(p[gid]) * 3 + 1);
  q[gid] = u8(u32(q[gid]) + 200u);
  r[gid] = i16(i32(r[gid]) * i32(r[gid]));
  s[gid] = u16(u32(s[gid]) - 7u);
}

kernel void divide_traps(i32* out, const i32* a, const i32* b) { out[gid] = a[gid] / (b[gid] % 4); }
kernel void past_the_end(f32* y) { y[gid + 3] = y[gid] * 2.0f; }
kernel void narrow_trap(i8* out, const f32* x) { out[gid] = i8(x[gid] * 5.0f); }

kernel void conversions(f32* f, f64* d, i32* i, u64* u) {
  f[gid] = f32(i[gid]) * 0.5f + f32(u[gid]);
  d[gid] = f64(f[gid]) + f64(i[gid]) / 3.0;
  i[gid] = i32(d[gid]);
  u[gid] = u64(abs(d[gid]) * 10.0);
}

kernel void maths(f32* out, const f32* x, f64* d) {
  f32 v = x[gid];
  out[gid] = sqrt(abs(v)) + floor(v) + ceil(v) + round(v) + trunc(v) + sin(v) + cos(v) + atan(v) +
             exp(v * 0.01f) + log(abs(v) + 1.0f) + pow(abs(v), 0.5f) + atan2(v, 2.0f) + min(v, 0.5f) + max(v, -0.5f);
  f64 w = d[gid];
  d[gid] = sqrt(abs(w)) + tan(w * 0.1) + asin(clamp(w * 0.01, -1.0, 1.0)) + log2(abs(w) + 1.0) + log10(abs(w) + 1.0) +
           pow(abs(w), 1.5) + (w - floor(w)) + acos(0.5);
}

kernel f32 sum(const f32* x) reduce(+) { return x[gid]; }
kernel f64 dot(const f64* a, const f64* b) reduce(+) { return a[gid] * b[gid]; }
kernel i32 lowest(const i32* x) reduce(min) { return x[gid]; }
kernel u64 bits(const u64* x) reduce(|) { return x[gid] & 0xFF00FF00FF00FF00; }
kernel u32 parity(const u8* x) reduce(^) { return u32(x[gid]); }
kernel bool all_positive(const f32* x) reduce(&) { return x[gid] > 0.0f; }
kernel f32 peak(const f32* x) reduce(max) { return x[gid]; }

kernel Stats stats(const f32* x) reduce(sum: +, hi: max, n: +) {
  if (u32(gid) >= TAPS * 100u) return {0.0f, -1000.0f, 0u};
  return {square(x[gid]), x[gid], 1u};
}

kernel void coordinates(u32* out) { out[gid] = gid_x + 100u * gid_y; }
kernel void blur(f32* dst, const f32* src) {
  i32 x = i32(gid_x), y = i32(gid_y), w = i32(gsize_x), h = i32(gsize_y);
  if (x == 0 || y == 0 || x + 1 >= w || y + 1 >= h) {
    dst[gid] = src[gid];
    return;
  }
  f32 acc = 0.0f;
  for (i32 dy = -1; dy <= 1; dy++)
    for (i32 dx = -1; dx <= 1; dx++) acc += src[(y + dy) * w + x + dx];
  dst[gid] = acc * NINTH;
}

kernel void step(Body* bodies, f32 dt) {
  Body b = bodies[gid];
  b.pos += b.vel * dt;
  bodies[gid].vel = b.vel * 0.5f;
  bodies[gid].pos = b.pos;
}
kernel void normalise(f32x3* v) { v[gid] = v[gid] / (length(v[gid]) + 1.0f); }
kernel i32 windows(Window* w) reduce(+) {
  w[gid].flags[1] = u8(w[gid].id & 255u);
  return w[gid].samples[0] - w[gid].samples[2];
}

kernel void smooth(f32* y, const f32* x) {
  f32 w[3] = {0.25f, 0.5f, 0.25f};
  u32 idx[3];
  f32 s = 0.0f;
  u32 i = 0;
  while (true) {
    if (i >= TAPS) break;
    idx[i] = i;
    if (gid + i < 1) { i++; continue; }
    if (gid + i > gsize) break;
    s += w[idx[i]] * x[gid + i - 1];
    ++i;
  }
  unchecked { y[gid] = clamp01(s); }
}

kernel void sort4(i32* data) {
  i32 v[4];
  for (u32 i = 0; i < 4u; i++) v[i] = data[(u32(gid) * 4u + i) % u32(gsize)];
  for (u32 i = 0; i < 4u; i++)
    for (u32 j = 0; j + 1u < 4u - i; j++)
      if (v[j] > v[j + 1u]) { i32 t = v[j]; v[j] = v[j + 1u]; v[j + 1u] = t; }
  data[gid] = v[0] + v[3];
}

kernel void array_trap(i32* out, const u32* k) {
  i32 v[5];
  v[k[gid] % 6u] = 1;
  out[gid] = v[0];
}

kernel void histogram(u32* bins, const u8* data) { atomic_add(bins[u32(data[gid]) % 4u], 1u); }

kernel u32 collatz(const u32* x) reduce(max) {
  u32 n = x[gid] % 1000u + 1u;
  u32 steps = 0;
  while (n != 1u) {
    if (n % 2u == 0u) n = n / 2u; else n = 3u * n + 1u;
    steps++;
  }
  return steps;
}
)";
