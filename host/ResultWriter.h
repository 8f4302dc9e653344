// SPDX-License-Identifier: Apache-2.0
// Where a session's results go: a table and lines of text for people, or one JSON document for
// scripts. Errors are printed on stderr either way; the writer records them for the document.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "diagnosis/ChainDiagnosis.h"
#include "svf/SvfPlayback.h"

namespace csehost {

struct ScanRow {
    uint32_t device = 0;  // 0 = nearest TDI
    uint32_t idcode = 0;  // 0: the device answered with a BYPASS bit
    bool irLengthKnown = false;
    uint32_t irLength = 0;
};

using csediag::verdictName;
using csediag::Verdict;
using DiagnosisCheck = csediag::Check;

class ResultWriter {
  public:
    virtual ~ResultWriter() = default;
    // command: the command as written; origin: "FILE:LINE" inside a run script, else empty.
    virtual void scanTable(const std::string& command, const std::vector<ScanRow>& rows) = 0;
    // One result value, e.g. field "tdo" and "0x01", "idcode", "state".
    virtual void value(const std::string& command, const std::string& origin,
                       const std::string& field, const std::string& text, uint32_t bitCount) = 0;
    virtual void diagnosis(const std::vector<DiagnosisCheck>& checks) = 0;
    // An SVF file played: its summary line, and in the document its counts and mismatches.
    virtual void svfResult(const std::string& command, const std::string& origin,
                           const std::string& summary, const csesvf::SvfResult& /*result*/) {
        value(command, origin, "summary", summary, 0);
    }
    // A note that belongs to a result (printed on stderr as text, kept in the document).
    virtual void note(const std::string& text) = 0;
    virtual void error(const std::string& reason) = 0;
    // Writes what is still held back; exitStatus is the program's.
    virtual void finish(int exitStatus) = 0;
};

[[nodiscard]] std::unique_ptr<ResultWriter> makeTextWriter(FILE* results, bool quiet);
[[nodiscard]] std::unique_ptr<ResultWriter> makeJsonWriter(FILE* results);

}  // namespace csehost
