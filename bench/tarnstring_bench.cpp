// TarnString beside std::string doing the same work: copy, append, and
// formatting 32 and 100 characters.
#include "tarn/TarnString.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

using tarn::TarnString;

namespace {

const std::string kText(100, 'x');

void TarnCopy(benchmark::State& state) {
    const TarnString s(kText.c_str());
    for (auto _ : state) {
        TarnString copy(s);
        benchmark::DoNotOptimize(copy.c_str());
    }
}
BENCHMARK(TarnCopy);

void StdCopy(benchmark::State& state) {
    const std::string s(kText);
    for (auto _ : state) {
        std::string copy(s);
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(StdCopy);

void TarnAppend(benchmark::State& state) {
    const TarnString piece("0123456789");
    for (auto _ : state) {
        TarnString s;
        for (int i = 0; i < 10; ++i) s.append(piece);
        benchmark::DoNotOptimize(s.c_str());
    }
}
BENCHMARK(TarnAppend);

void StdAppend(benchmark::State& state) {
    const std::string piece("0123456789");
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < 10; ++i) s.append(piece);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(StdAppend);

void TarnFormat(benchmark::State& state) {
    const std::string arg(static_cast<size_t>(state.range(0)) - 4, 'y');
    for (auto _ : state) {
        TarnString s;
        s.format("%s%04d", arg.c_str(), 7);
        benchmark::DoNotOptimize(s.c_str());
    }
}
BENCHMARK(TarnFormat)->Arg(32)->Arg(100);

void StdFormat(benchmark::State& state) {
    const std::string arg(static_cast<size_t>(state.range(0)) - 4, 'y');
    for (auto _ : state) {
        // The usual std::string idiom: measure, then format into the string.
        const int n = std::snprintf(nullptr, 0, "%s%04d", arg.c_str(), 7);
        std::string s(static_cast<size_t>(n), '\0');
        std::snprintf(s.data(), s.size() + 1, "%s%04d", arg.c_str(), 7);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(StdFormat)->Arg(32)->Arg(100);

}  // namespace
