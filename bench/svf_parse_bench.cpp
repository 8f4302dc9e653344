// SPDX-License-Identifier: Apache-2.0
// SVF parsing alone, in MB/s of SVF text: the 4-Mbit file of scripts/bench.sh's SVF row (20 SDR of
// 200,000 bits with TDI, TDO and MASK), built in memory and parsed by the streaming parser of
// svf/, and a file of many short statements (a typical programming file's shape).
#include <benchmark/benchmark.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "svf/SvfParser.h"
#include "svf/SvfPlayback.h"

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

// 100,000 statements of 32 bits each, as programming files write them, with comments.
std::string manyStatementFile() {
    std::mt19937_64 random(17);
    std::string text;
    for (int i = 0; i < 100000; ++i) {
        text += "! word " + std::to_string(i) + "\nSIR 8 TDI(02);\nSDR 32 TDI(" +
                hexDigits(random, 8) + ") TDO(" + hexDigits(random, 8) + ") MASK(FFFFFFFF);\n";
        if (i % 16 == 0) text += "RUNTEST 100 TCK;\n";
    }
    return text;
}

void parseAll(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        std::istringstream stream(text);
        csesvf::SvfInput input(stream, csesvf::kMaxSvfBytes);
        csesvf::SvfParser parser(input);
        csesvf::SvfCommand command;
        csesvf::SvfError error;
        size_t commands = 0;
        while (parser.next(command, error)) ++commands;
        if (!error.message.empty()) state.SkipWithError(error.message.c_str());
        benchmark::DoNotOptimize(commands);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void svfParse(benchmark::State& state) {
    parseAll(state, fourMegabitFile());
}
BENCHMARK(svfParse)->Unit(benchmark::kMillisecond);

void svfParseManyStatements(benchmark::State& state) {
    parseAll(state, manyStatementFile());
}
BENCHMARK(svfParseManyStatements)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
