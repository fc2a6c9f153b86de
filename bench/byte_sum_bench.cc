// The checksum runs over every byte of a package twice per run (verification and
// the header reader's scripts): it should run near memory speed.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/package_format.h"

static void byte_sum_chunk(benchmark::State& state)
{
    std::vector<uint8_t> data((size_t)state.range(0));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)(i * 131 + 7);
    uint32_t sum = 0;
    for (auto _ : state) {
        sum = byte_sum(sum, data.data(), (int)data.size());
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(byte_sum_chunk)->Arg(4096)->Arg(1 << 20);
