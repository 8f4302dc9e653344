// SPDX-License-Identifier: Apache-2.0
// Results as people read them: a table for scan, one line per value, one line per check.
#include <cstdio>

#include "session/HexBits.h"
#include "diagnosis/IdcodeFields.h"
#include "host/ResultWriter.h"

namespace csehost {

using csesession::hexNumber;
namespace {

class TextResults : public ResultWriter {
  public:
    TextResults(FILE* results, bool quiet) : results_(results), quiet_(quiet) {}

    void scanTable(const std::string&, const std::vector<ScanRow>& rows) override {
        // The IR length stays the last column, where scripts reading the table find it.
        std::fprintf(results_, "dev  idcode      version  part    bank  id    openocd  irlen\n");
        const auto count = static_cast<uint32_t>(rows.size());
        for (const ScanRow& row : rows) {
            const std::string irLength = row.irLengthKnown ? std::to_string(row.irLength) : "?";
            // OpenOCD lists the device nearest TDO first.
            const uint32_t openOcdPosition = count - 1 - row.device;
            const csediag::IdcodeFields fields = csediag::idcodeFields(row.idcode);
            if (fields.present) {
                std::fprintf(results_, "%3u  %s  %7u  %s  %4u  %s  %7u  %5s\n", row.device,
                             hexNumber(row.idcode, 8).c_str(), fields.version,
                             hexNumber(fields.part, 4).c_str(), fields.bank,
                             hexNumber(fields.id, 2).c_str(), openOcdPosition, irLength.c_str());
            } else {
                std::fprintf(results_, "%3u  %-10s  %7s  %-6s  %4s  %-4s  %7u  %5s\n", row.device,
                             "-", "-", "-", "-", "-", openOcdPosition, irLength.c_str());
            }
        }
        std::fprintf(results_, "%u device%s; dev 0 is nearest TDI, OpenOCD counts from TDO\n",
                     count, count == 1 ? "" : "s");
    }

    void value(const std::string&, const std::string&, const std::string&, const std::string& text,
               uint32_t) override {
        std::fprintf(results_, "%s\n", text.c_str());
    }

    void diagnosis(const std::vector<DiagnosisCheck>& checks) override {
        for (const DiagnosisCheck& check : checks) {
            std::fprintf(results_, "%-7s  %-16s  %s\n", verdictName(check.verdict),
                         check.name.c_str(), check.reason.c_str());
        }
    }

    void note(const std::string& text) override {
        if (!quiet_) std::fprintf(stderr, "cse-host: %s\n", text.c_str());
    }

    void error(const std::string&) override {}
    void finish(int) override { std::fflush(results_); }

  private:
    FILE* results_;
    bool quiet_;
};

}  // namespace

std::unique_ptr<ResultWriter> makeTextWriter(FILE* results, bool quiet) {
    return std::make_unique<TextResults>(results, quiet);
}

}  // namespace csehost
