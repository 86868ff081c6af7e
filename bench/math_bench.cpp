// Math operations called through the fast-function table, each with the plain forms (argument 0:
// the table reset to its plain contents) and with the forms selected for this processor, with
// the 3DNow! path switched off (argument 1: SSE2 where the processor has it). The array forms
// report bytes read plus written; BM_Memcpy moves the same traffic as TransformPoint3Array.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "lyr/math.h"
#include "memcpy_pair.h"
#include "math/fast_functions.h"
#include "platform/platform.h"

namespace {

using namespace lyr;

constexpr uint32_t kElements = 1u << 20;
constexpr int kSmall = 1024;

void UseForms(benchmark::State& state) {
  SelectFastFunctions(0);
  if (state.range(0) == 0) {
    state.SetLabel("plain");
    return;
  }
  platform::SetRegistryOverride("DisablePSGP", platform::RegistryValueKind::kMissing, 0);
  platform::SetRegistryOverride("DisableLyrPSGP", platform::RegistryValueKind::kDword, 2);
  uint32_t s = SelectFastFunctions(1);
  state.SetLabel(s == kSelectionSse2 ? "sse2" : s == kSelectionSse ? "sse" : "scalar");
}

std::vector<float> RandomFloats(size_t n, float lo, float hi) {
  std::mt19937 gen(42);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(gen);
  return v;
}

Matrix SomeMatrix() {
  Matrix m;
  Vector3 axis = {0.3f, 0.5f, -0.8f};
  BuildRotationAxis(&m, &axis, 0.7f);
  m.m[3][0] = 1;
  m.m[3][1] = -2;
  m.m[3][2] = 3;
  return m;
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<char> src(kElements * sizeof(Vector3), 1), dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 *
                          static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_Memcpy);

template <class Out, class Fn>
void ArrayBench(benchmark::State& state, Fn fn) {
  UseForms(state);
  std::vector<float> in = RandomFloats(kElements * 3, -10, 10);
  std::vector<Out> out(kElements);
  Matrix m = SomeMatrix();
  for (auto _ : state) {
    fn(out.data(), reinterpret_cast<const Vector3*>(in.data()), &m);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kElements *
                          static_cast<int64_t>(sizeof(Vector3) + sizeof(Out)));
}

void BM_TransformPoint3Array(benchmark::State& state) {
  ArrayBench<Vector3>(state, [](Vector3* o, const Vector3* i, const Matrix* m) {
    TransformPoint3Array(o, sizeof(Vector3), i, sizeof(Vector3), m, kElements);
  });
}
BENCHMARK(BM_TransformPoint3Array)->Arg(0)->Arg(1);

// The same transform timed against memcpy of its input onto its output (12 MB each way), the
// two alternating; argument 1: an affine matrix, 0: a projective one.
void BM_TransformPoint3ArrayVsMemcpy(benchmark::State& state) {
  UseForms(state);
  std::vector<float> in = RandomFloats(kElements * 3, -10, 10);
  std::vector<Vector3> out(kElements);
  Matrix m = SomeMatrix();
  if (state.range(1) == 0) m.m[2][3] = 0.01f;
  lyrbench::AgainstMemcpy(
      state,
      [&] {
        TransformPoint3Array(out.data(), sizeof(Vector3),
                             reinterpret_cast<const Vector3*>(in.data()), sizeof(Vector3), &m,
                             kElements);
      },
      out.data(), in.data(), in.size() * sizeof(float));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kElements * 2 *
                          static_cast<int64_t>(sizeof(Vector3)));
}
BENCHMARK(BM_TransformPoint3ArrayVsMemcpy)
    ->ArgNames({"forms", "affine"})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({0, 1})
    ->UseManualTime();

void BM_TransformVector3Array(benchmark::State& state) {
  ArrayBench<Vector4>(state, [](Vector4* o, const Vector3* i, const Matrix* m) {
    TransformVector3Array(o, sizeof(Vector4), i, sizeof(Vector3), m, kElements);
  });
}
BENCHMARK(BM_TransformVector3Array)->Arg(0)->Arg(1);

void BM_FloatToHalfArray(benchmark::State& state) {
  UseForms(state);
  std::vector<float> in = RandomFloats(kElements, -70000, 70000);
  std::vector<Half> out(kElements);
  for (auto _ : state) {
    FloatToHalfArray(out.data(), in.data(), kElements);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kElements *
                          static_cast<int64_t>(sizeof(float) + sizeof(Half)));
}
BENCHMARK(BM_FloatToHalfArray)->Arg(0)->Arg(1);

// Single operations over kSmall inputs per iteration; items = operations.
template <class In, class Out, class Fn>
void SmallBench(benchmark::State& state, Fn fn, float lo = -1, float hi = 1) {
  UseForms(state);
  constexpr size_t kFloats = sizeof(In) / sizeof(float);
  std::vector<float> raw = RandomFloats(kSmall * kFloats, lo, hi);
  std::vector<In> in(kSmall);
  std::memcpy(in.data(), raw.data(), raw.size() * sizeof(float));
  std::vector<Out> out(kSmall);
  for (auto _ : state) {
    for (int i = 0; i < kSmall; ++i) fn(&out[i], &in[i], &in[(i + 1) & (kSmall - 1)]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSmall);
}

void BM_MultiplyMatrix(benchmark::State& state) {
  SmallBench<Matrix, Matrix>(
      state, [](Matrix* o, const Matrix* a, const Matrix* b) { MultiplyMatrix(o, a, b); });
}
BENCHMARK(BM_MultiplyMatrix)->Arg(0)->Arg(1);

void BM_InvertMatrix(benchmark::State& state) {
  SmallBench<Matrix, Matrix>(state, [](Matrix* o, const Matrix* a, const Matrix*) {
    benchmark::DoNotOptimize(InvertMatrix(o, nullptr, a));
  });
}
BENCHMARK(BM_InvertMatrix)->Arg(0)->Arg(1);

void BM_Slerp(benchmark::State& state) {
  SmallBench<Quaternion, Quaternion>(
      state, [](Quaternion* o, const Quaternion* a, const Quaternion* b) { Slerp(o, a, b, 0.3f); });
}
BENCHMARK(BM_Slerp)->Arg(0)->Arg(1);

void BM_MatrixFromQuaternion(benchmark::State& state) {
  SmallBench<Quaternion, Matrix>(
      state, [](Matrix* o, const Quaternion* q, const Quaternion*) { MatrixFromQuaternion(o, q); });
}
BENCHMARK(BM_MatrixFromQuaternion)->Arg(0)->Arg(1);

void BM_NormalizeVector3(benchmark::State& state) {
  SmallBench<Vector3, Vector3>(
      state, [](Vector3* o, const Vector3* v, const Vector3*) { NormalizeVector3(o, v); }, -10, 10);
}
BENCHMARK(BM_NormalizeVector3)->Arg(0)->Arg(1);

}  // namespace
