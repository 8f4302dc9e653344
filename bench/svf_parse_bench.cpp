// SVF parsing alone, in MB/s of SVF text: the 4-Mbit file of scripts/bench.sh's SVF row (20 SDR of
// 200,000 bits with TDI, TDO and MASK), built in memory and parsed by cse-host's parser.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "host/SvfParser.h"

namespace {

std::string hexDigits(std::mt19937_64& random, size_t digits) {
    std::string text;
    text.reserve(digits);
    for (size_t i = 0; i < digits; ++i) text += "0123456789ABCDEF"[random() & 15];
    return text;
}

std::string fourMegabitFile() {
    std::mt19937_64 random(13);
    std::string text = "TRST OFF;\nENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n";
    const std::string mask = "FF" + std::string(49998, 'F');  // 200,000 bits
    for (int scan = 0; scan < 20; ++scan) {
        text += "SDR 200000 TDI(" + hexDigits(random, 50000) + ")\n  TDO(" +
                hexDigits(random, 50000) + ")\n  MASK(" + mask + ");\n";
    }
    return text;
}

void svfParse(benchmark::State& state) {
    const std::string text = fourMegabitFile();
    std::vector<csehost::SvfCommand> commands;
    for (auto _ : state) {
        csehost::SvfError error;
        if (!csehost::parseSvf(text, commands, error)) state.SkipWithError(error.message.c_str());
        benchmark::DoNotOptimize(commands.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(svfParse)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
