// Kernel sources of every shape the language allows, for the front-end tests, the mutation test and the
// lex-and-parse benchmark. Each is a complete source; together they use every declaration, statement and
// expression form.
#pragma once
#include <string>
#include <vector>

struct krvk_sample_kernel {
  const char* name;
  const char* source;
  // One entry per declaration in source order: "struct NAME/FIELDS", "const NAME", "inline NAME",
  // "kernel NAME", followed by " reduce(OP)" or " reduce(FIELD:OP,...)" when the kernel reduces.
  std::vector<std::string> declarations;
};

inline const std::vector<krvk_sample_kernel>& krvk_sample_kernels() {
  static const std::vector<krvk_sample_kernel> samples = {
      {"map",
       "// y = a*x + y over two buffers\n"
       "kernel void saxpy(f32* y, const f32* x, f32 a) {\n"
       "  y[gid] = a * x[gid] + y[gid];\n"
       "}\n"
       "kernel void scale_u8(u8* p, u32 n) {\n"
       "  if (gid >= n) return;\n"
       "  p[gid] = u8((u32(p[gid]) * 3u) >> 1);\n"
       "}\n",
       {"kernel saxpy", "kernel scale_u8"}},
      {"reductions",
       "kernel f32 sum(const f32* x) reduce(+) { return x[gid]; }\n"
       "kernel u32 peak(const u32* x) reduce(max) { return x[gid]; }\n"
       "kernel i64 low(const i64* x) reduce(min) { return x[gid]; }\n"
       "kernel u64 bits(const u64* x) reduce(|) { return x[gid] & 0xFF00FF00FF00FF00; }\n"
       "kernel u8 parity(const u8* x) reduce(^) { return x[gid]; }\n"
       "kernel bool all(const u8* x) reduce(&) { return x[gid] != 0; }\n",
       {"kernel sum reduce(+)", "kernel peak reduce(max)", "kernel low reduce(min)", "kernel bits reduce(|)",
        "kernel parity reduce(^)", "kernel all reduce(&)"}},
      {"struct reduction",
       "kernel struct Stats { f32 sum; f32 hi; u32 n; };\n"
       "kernel Stats stats(const f32* x) reduce(sum: +, hi: max, n: +) {\n"
       "  Stats s;\n"
       "  s.sum = x[gid]; s.hi = x[gid]; s.n = 1;\n"
       "  return s;\n"
       "}\n"
       "kernel Stats stats_list(const f32* x) reduce(sum: +, hi: max, n: +) {\n"
       "  return {x[gid], x[gid], 1};\n"
       "}\n",
       {"struct Stats/3", "kernel stats reduce(sum:+,hi:max,n:+)", "kernel stats_list reduce(sum:+,hi:max,n:+)"}},
      {"2-D",
       "kernel const f32 NINTH = 1.0f / 9.0f;\n"
       "kernel void blur(f32* dst, const f32* src) {\n"
       "  i32 x = i32(gid_x), y = i32(gid_y), w = i32(gsize_x), h = i32(gsize_y);\n"
       "  if (x == 0 || y == 0 || x + 1 >= w || y + 1 >= h) {\n"
       "    dst[gid] = src[gid];\n"
       "    return;\n"
       "  }\n"
       "  f32 acc = 0.0f;\n"
       "  for (i32 dy = -1; dy <= 1; dy++)\n"
       "    for (i32 dx = -1; dx <= 1; dx++) acc += src[(y + dy) * w + x + dx];\n"
       "  dst[gid] = acc * NINTH;\n"
       "}\n",
       {"const NINTH", "kernel blur"}},
      {"vector structs",
       "cstruct Particle { f32x3 pos, vel; f32 mass; u8 flags[4]; }\n"
       "struct Pair { Particle a; Particle b; }\n"
       "kernel const f32 G = 9.81f;\n"
       "kernel void step(Particle* p, f32 dt) {\n"
       "  f32x3 v = p[gid].vel + f32x3(0.0f, -G * dt, 0.0f);\n"
       "  p[gid].vel = v;\n"
       "  p[gid].pos.x += v.x * dt;\n"
       "  (p + gid)->flags[0] = u8(sizeof(Particle) & 255);\n"
       "  f32x4 q = f32x4(1.0f, 2.0f, 3.0f, 4.0f);\n"
       "  p[gid].mass = q.w * f32(sizeof(f32x4));\n"
       "}\n",
       {"struct Particle/4", "struct Pair/2", "const G", "kernel step"}},
      {"helpers and locals",
       "/* helpers\n   used by the kernels below */\n"
       "inline f32 clamp01(f32 v) { return v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v; }\n"
       "inline void swap(f32* a, f32* b) { f32 t = *a; *a = *b; *b = t; }\n"
       "kernel const u32 TAPS = 3;\n"
       "kernel void smooth(f32* y, const f32* x) {\n"
       "  f32 w[3] = {0.25f, 0.5f, 0.25f,};\n"
       "  f32x2 pts[2] = {{1.0f, 2.0f}, {3.0f, 4.0f}};\n"
       "  u32 idx[TAPS];\n"
       "  f32 s = 0.0f;\n"
       "  u32 i = 0;\n"
       "  while (true) {\n"
       "    if (i >= TAPS) break;\n"
       "    idx[i] = i;\n"
       "    if (gid + i < 1) { i++; continue; }\n"
       "    s += w[i] * x[gid + i - 1];\n"
       "    ++i;\n"
       "  }\n"
       "  unchecked {\n"
       "    y[gid] = clamp01(s + pts[1].y * 0.0f);\n"
       "  }\n"
       "  unchecked y[gid] = -(-y[gid]);\n"
       "  i32 bitsy = ~0 ^ (1 << 3) | 0b101 & 0o7;\n"
       "  bool flag = !(bitsy % 2 == 0) && bitsy != 0 || false;\n"
       "  ;\n"
       "}\n",
       {"inline clamp01", "inline swap", "const TAPS", "kernel smooth"}},
      {"line directives",
       "#line 100 \"generated.k\"\n"
       "kernel void fill(u32* p, u32 v) {\n"
       "  # line 200\n"
       "  p[gid] = v + u32(gid) * 2u;\n"
       "}\n"
       "kernel void none(void) {}\n",
       {"kernel fill", "kernel none"}},
  };
  return samples;
}
