// Progressive mesh: a full sweep from the base level to the full level and back on a coarse grid
// refined by 50 000 vertex splits (about 100 000 faces at full detail), in splits per second.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "../tests/pmesh/pm_grid.h"
#include "mesh/reference_device.h"

namespace {

struct SweepMesh {
  lyr::Ref<lyr::GraphicsDevice> device;
  lyr::Ref<lyr::ProgressiveMesh> pm;
  uint32_t splits = 0;
};

// Built once: the records are made by the grid helper's model, which takes a moment.
SweepMesh& Mesh(bool codes) {
  static SweepMesh meshes[2];
  SweepMesh& m = meshes[codes];
  if (m.pm) return m;
  lyr::test::PMGridOptions o;
  o.width = o.height = 16;
  o.splits = 50000;
  o.ranges = codes ? 3 : 1;
  o.seed = 5;
  o.varyCodes = codes;
  const lyr::test::PMGrid grid = lyr::test::BuildPMGrid(o);
  lyr::RefDeviceDesc desc;
  if (lyr::LoadReferenceDevice(desc, m.device.put()) != lyr::Ok ||
      lyr::test::MakeGridPM(grid, m.device.get(),
                            lyr::MeshOptions::Index32 | lyr::MeshOptions::IndexSystemMemory |
                                lyr::MeshOptions::VertexSystemMemory,
                            m.pm.put()) != lyr::Ok) {
    std::fprintf(stderr, "progressive mesh benchmark: no reference device or mesh\n");
    return m;
  }
  m.splits = o.splits;
  return m;
}

// up: base to full timed (full to base untimed between); down: the other way.
void Sweep(benchmark::State& state, bool codes, bool up) {
  SweepMesh& m = Mesh(codes);
  if (!m.pm) {
    state.SkipWithError("no mesh");
    return;
  }
  lyr::ProgressiveMesh* pm = m.pm.get();
  pm->SetFaceCount(up ? 0 : 0xFFFFFFFFu);
  for (auto _ : state) {
    if (pm->SetFaceCount(up ? 0xFFFFFFFFu : 0) != lyr::Ok) state.SkipWithError("sweep failed");
    state.PauseTiming();
    pm->SetFaceCount(up ? 0 : 0xFFFFFFFFu);
    state.ResumeTiming();
  }
  state.counters["faces"] = pm->GetMaxFaceCount();
  state.counters["splits/s"] = benchmark::Counter(double(m.splits) * double(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(Sweep, PlainUp, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Sweep, PlainDown, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Sweep, CodesUp, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Sweep, CodesDown, true, false)->Unit(benchmark::kMillisecond);

}  // namespace
