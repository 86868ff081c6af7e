// Sampling interpolators and sets, and advancing a controller: the per-frame cost of animation.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "lyr/anim.h"

namespace {

using lyr::AnimationController;
using lyr::AnimationSet;
using lyr::KeyFrameInterpolator;
using lyr::Matrix;
using lyr::Quaternion;
using lyr::RotationKey;
using lyr::Vector3;
using lyr::VectorKey;

constexpr double kTicksPerSecond = 30.0;  // one key per tick

// An interpolator with `keys` keys per channel, one per tick, of wobbling values.
KeyFrameInterpolator* MakeInterpolator(const char* name, int keys, float phase) {
  std::vector<VectorKey> s, t;
  std::vector<RotationKey> r;
  for (int i = 0; i < keys; ++i) {
    const float a = 0.1f * static_cast<float>(i) + phase;
    s.push_back({float(i), {1.0f + 0.1f * std::sin(a), 1.0f, 1.0f + 0.1f * std::cos(a)}});
    r.push_back({float(i), {0.0f, std::sin(a * 0.5f), 0.0f, std::cos(a * 0.5f)}});
    t.push_back({float(i), {std::sin(a), std::cos(a), a}});
  }
  KeyFrameInterpolator* out = nullptr;
  LyrCreateKeyFrameInterpolator(name, s.data(), keys, r.data(), keys, t.data(), keys,
                                kTicksPerSecond, &out);
  return out;
}

AnimationSet* MakeSet(const char* name, int interpolators, int keys, float phase) {
  std::vector<KeyFrameInterpolator*> items;
  std::vector<std::string> names;
  for (int i = 0; i < interpolators; ++i) {
    names.push_back("bone" + std::to_string(i));
    items.push_back(MakeInterpolator(names.back().c_str(), keys, phase + 0.37f * float(i)));
  }
  AnimationSet* set = nullptr;
  LyrCreateAnimationSet(name, items.data(), static_cast<uint32_t>(items.size()), &set);
  for (auto* it : items) it->Release();
  return set;
}

// Steadily increasing times, 1/60 s apart: the cached search moves at most one key per call.
void BM_SampleIncreasing(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  KeyFrameInterpolator* it = MakeInterpolator("bone", keys, 0.0f);
  double time = 0.0;
  Vector3 s, t;
  Quaternion r;
  for (auto _ : state) {
    it->Sample(time, &s, &r, &t);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(t);
    time += 1.0 / 60.0;
  }
  it->Release();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SampleIncreasing)->Arg(60)->Arg(6000);

// Random times: every sample may jump backwards and rescan from the first key.
void BM_SampleRandom(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  KeyFrameInterpolator* it = MakeInterpolator("bone", keys, 0.0f);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> dist(0.0, it->Period());
  std::vector<double> times(4096);
  for (double& t : times) t = dist(rng);
  size_t i = 0;
  Vector3 s, t;
  Quaternion r;
  for (auto _ : state) {
    it->Sample(times[i++ & 4095], &s, &r, &t);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(t);
  }
  it->Release();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SampleRandom)->Arg(60)->Arg(6000);

// Every interpolator of a 64-interpolator set sampled once per step.
void BM_SampleSet64(benchmark::State& state) {
  AnimationSet* set = MakeSet("walk", 64, 60, 0.0f);
  std::vector<KeyFrameInterpolator*> items(64);
  for (uint32_t i = 0; i < 64; ++i) set->InterpolatorAt(i, &items[i]);
  double time = 0.0;
  Vector3 s, t;
  Quaternion r;
  for (auto _ : state) {
    for (KeyFrameInterpolator* it : items) {
      it->Sample(time, &s, &r, &t);
      benchmark::DoNotOptimize(s);
      benchmark::DoNotOptimize(r);
      benchmark::DoNotOptimize(t);
    }
    time += 1.0 / 60.0;
  }
  for (auto* it : items) it->Release();
  set->Release();
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_SampleSet64);

// SetTime on a controller with 64 outputs and `tracks` tracks, each playing its own set of 64
// interpolators with 30 keys per second (2 s of keys), time advancing 1/60 s per call. With
// events, every track has a weight or speed change pending or under way most of the time. Items
// are blended outputs: one sampled and blended matrix per output.
void BM_ControllerSetTime(benchmark::State& state) {
  const uint32_t tracks = static_cast<uint32_t>(state.range(0));
  const bool events = state.range(1) != 0;
  AnimationController* c = nullptr;
  LyrCreateAnimationController(64, tracks, tracks, 64, &c);
  std::vector<Matrix> targets(64);
  for (int i = 0; i < 64; ++i) c->RegisterOutput(("bone" + std::to_string(i)).c_str(), &targets[i]);
  for (uint32_t k = 0; k < tracks; ++k) {
    AnimationSet* set = MakeSet(k ? "run" : "walk", 64, 60, 0.5f * float(k));
    c->RegisterSet(set);
    c->SetTrackSet(k, set);
    const lyr::TrackState ts{lyr::PriorityLow, 1.0f / float(k + 1), 1.0f, 1, 0.0};
    c->SetTrackState(k, &ts);
    set->Release();
  }
  double time = 0.0;
  int step = 0;
  for (auto _ : state) {
    if (events && step % 30 == 0) {
      // A new change every half second, each running for a quarter second.
      for (uint32_t k = 0; k < tracks; ++k) {
        c->KeyWeight(k, (step / 30) % 2 ? 0.25f : 1.0f, time + 0.1, 0.25, lyr::TransitionEaseInOut);
        c->KeySpeed(k, (step / 30) % 2 ? 1.5f : 1.0f, time + 0.2, 0.25, lyr::TransitionLinear);
      }
    }
    time += 1.0 / 60.0;
    ++step;
    if (c->SetTime(time) != lyr::Ok) state.SkipWithError("SetTime failed");
    benchmark::DoNotOptimize(targets.data());
  }
  c->Release();
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ControllerSetTime)
    ->ArgNames({"tracks", "events"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1});

}  // namespace
