// WebSocket byte work: masking (in place and while copying) and UTF-8 validation (ASCII and
// mixed text), against memcpy of the same buffer in the same run. Build and run: see
// bench/README.md.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "ws/mask.hpp"
#include "ws/utf8_stream.hpp"

namespace {

using namespace velmora::ws;

const MaskKey kKey{0x37, 0xfa, 0x21, 0x3d};

// Text of the given size: all ASCII, or a mix of 1- to 4-byte sequences (Latin, Cyrillic,
// CJK, emoji; about 45% of the bytes outside ASCII).
std::string text(size_t n, bool mixed) {
  const std::string unit = mixed ? "Hello, \xd0\xbc\xd0\xb8\xd1\x80! \xe4\xbd\xa0\xe5\xa5\xbd "
                                   "\xf0\x9f\x8c\x8d na\xc3\xafve caf\xc3\xa9, plain words. "
                                 : "{\"type\":\"message\",\"id\":12345,\"text\":\"plain words\"} ";
  std::string s;
  while (s.size() + unit.size() <= n)
    s += unit;
  s.append(n - s.size(), 'x');
  return s;
}

void BM_memcpy(benchmark::State& state) {
  std::vector<uint8_t> src(size_t(state.range(0)), 1), dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_mask_in_place(benchmark::State& state) {
  std::vector<uint8_t> buf(size_t(state.range(0)) + 1, 1);
  for (auto _ : state) {
    // From an odd address and phase, as a frame's payload after its header starts.
    mask_in_place(buf.data() + 1, buf.size() - 1, kKey, 3);
    benchmark::DoNotOptimize(buf.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_mask_copy(benchmark::State& state) {
  std::vector<uint8_t> src(size_t(state.range(0)) + 6, 1), dst(size_t(state.range(0)));
  for (auto _ : state) {
    mask_copy(dst.data(), src.data() + 6, dst.size(), kKey, 0);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void utf8(benchmark::State& state, bool mixed) {
  const std::string s = text(size_t(state.range(0)), mixed);
  for (auto _ : state) {
    bool ascii;
    bool ok = validate_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size(), ascii);
    benchmark::DoNotOptimize(ok);
    if (!ok || ascii == mixed) state.SkipWithError("wrong verdict");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_utf8_ascii(benchmark::State& state) {
  utf8(state, false);
}
void BM_utf8_mixed(benchmark::State& state) {
  utf8(state, true);
}

}  // namespace

BENCHMARK(BM_memcpy)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_mask_in_place)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_mask_copy)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_utf8_ascii)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_utf8_mixed)->Arg(16 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();
