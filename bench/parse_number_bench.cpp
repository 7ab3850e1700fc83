// ParseNumber on long texts: the time per character should stay flat as the text grows, which
// the fitted complexity (BigO) and its RMS printed at the end show.
#include "number.h"

#include <benchmark/benchmark.h>
#include <string>

namespace {

using miruteka::ParseNumber;

// Each builds a text of about n characters that exercises one part of the reading.
std::u16string padded(std::size_t n) { return u"0.3" + std::u16string(n, u'0') + u"1"; }
std::u16string overflowing(std::size_t n) { return std::u16string(n, u'1'); }
std::u16string blanks(std::size_t n) { return std::u16string(n, u' ') + u"0.3"; }
std::u16string longExponent(std::size_t n) { return u"1e-" + std::u16string(n, u'9'); }
std::u16string badAtTheEnd(std::size_t n) { return std::u16string(n, u'1') + u"x"; }

template <std::u16string (*make)(std::size_t)> void BM_ParseNumber(benchmark::State& state)
{
    const std::u16string text = make(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseNumber(text));
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size() * 2));
}

constexpr std::int64_t shortest = 1 << 10;
constexpr std::int64_t longest = 1 << 22; // about four million characters

BENCHMARK(BM_ParseNumber<padded>)->RangeMultiplier(4)->Range(shortest, longest)->Complexity();
BENCHMARK(BM_ParseNumber<overflowing>)->RangeMultiplier(4)->Range(shortest, longest)->Complexity();
BENCHMARK(BM_ParseNumber<blanks>)->RangeMultiplier(4)->Range(shortest, longest)->Complexity();
BENCHMARK(BM_ParseNumber<longExponent>)->RangeMultiplier(4)->Range(shortest, longest)->Complexity();
BENCHMARK(BM_ParseNumber<badAtTheEnd>)->RangeMultiplier(4)->Range(shortest, longest)->Complexity();

} // namespace

BENCHMARK_MAIN();
