// codec_bench.cpp - block packing and unpacking speed, per stream flag value
// and kind of data. Each run codes 64 distinct blocks (1 MiB) through a real
// file, as the stream does.
#include <benchmark/benchmark.h>

#include <cstdio>

#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "stream_file.h"
#include "codec/samples.h"

namespace {

constexpr int Blocks = 64;

enum Kind { KindText, KindCode, KindZeros, KindRandom };
const char* const KindNames[] = {"text", "code", "zeros", "random"};

samples::Bytes Sample(int kind, int flags) {
    const std::size_t size = static_cast<std::size_t>(Blocks) * BlockSize;
    samples::Bytes data;
    switch (kind) {
    case KindText: data = samples::Text(size, 1); break;
    case KindCode: data = samples::Code(size, 2); break;
    case KindZeros: data.assign(size, 0); break;
    default: data = samples::RandomBytes(size, 3); break;
    }
    // The sort stage needs an empty row in every block: every 7th row is 0xFF.
    if (flags & FlagSort) {
        for (std::size_t row = 3; row < size / SortRowBytes; row += 7)
            std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(row * SortRowBytes), SortRowBytes, 0xFF);
    }
    return data;
}

// One benchmark run: its data, a codec and a scratch file open for reading
// and writing. Reports the bytes coded when it ends.
struct Run {
    explicit Run(benchmark::State& running)
        : state(running),
          flags(static_cast<int>(running.range(0))),
          kind(static_cast<int>(running.range(1))),
          data(Sample(kind, flags)),
          name(OsTempPath() + "lzx-bench-" + std::to_string(getpid()) + ".bin") {
        DoFopen(name.c_str(), "w+b", &file);
    }

    ~Run() {
        DoFclose(&file);
        std::remove(name.c_str());
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                                static_cast<std::int64_t>(data.size()));
        state.SetLabel(KindNames[kind]);
    }

    void PackAll() {
        DoFseek(&file, 0);
        for (int b = 0; b < Blocks; ++b)
            BlockPack(*codec, data.data() + static_cast<std::size_t>(b) * BlockSize, &file, flags);
    }

    void UnpackAll(samples::Bytes& out) {
        DoFseek(&file, 0);
        for (int b = 0; b < Blocks; ++b)
            BlockUnpack(*codec, &file, out.data() + static_cast<std::size_t>(b) * BlockSize, flags);
    }

    benchmark::State& state;
    const int flags;
    const int kind;
    const samples::Bytes data;
    const std::string name;
    std::unique_ptr<Codec> codec = std::make_unique<Codec>();
    FileRec file;
};

void Pack(benchmark::State& state) {
    Run run(state);
    for (auto _ : state)
        run.PackAll();
    state.counters["ratio"] = static_cast<double>(run.data.size()) / DoFtell(&run.file);
}

void Unpack(benchmark::State& state) {
    Run run(state);
    run.PackAll();
    samples::Bytes out(run.data.size());
    for (auto _ : state)
        run.UnpackAll(out);
    if (out != run.data)
        state.SkipWithError("round trip failed");
}

void Arguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"flags", "data"});
    for (int flags = 0; flags < 4; ++flags)
        for (int kind = 0; kind < 4; ++kind)
            b->Args({flags, kind});
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(Pack)->Apply(Arguments);
BENCHMARK(Unpack)->Apply(Arguments);

}  // namespace

BENCHMARK_MAIN();
