// SPDX-License-Identifier: Apache-2.0
// Results as one JSON document for scripts and CI, written when the program ends:
//   {"exitStatus": 0, "ok": true, "results": [...], "notes": [...], "error": "..."}
// A scan result is {"command", "devices": [{"device", "openocdPosition", "idcode", ...}]}; a
// value is {"command", "origin"?, FIELD, "bits"?}; diagnose gives {"command", "checks": [{"name",
// "verdict", "reason", "figures"?}], "faults", "warnings"}; svf gives {"command", "summary", "scans",
// "checks", "mismatchCount", "mismatches": [{"file", "line", "command", "expected", "read",
// "mask", "firstBit", "playedAfter"?, "playedUpToLine"?}], "repetitions"?}.
#include <nlohmann/json.hpp>

#include <cmath>
#include <map>

#include "session/HexBits.h"
#include "diagnosis/ChainDiagnosis.h"
#include "diagnosis/IdcodeFields.h"
#include "host/ResultWriter.h"

namespace csehost {

using csesession::hexNumber;
namespace {

// Counts (devices, bits) as integers, measurements (ms, rates) as numbers with a fraction.
nlohmann::json figuresObject(const std::map<std::string, double>& figures) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [name, value] : figures) {
        if (csediag::isCountFigure(name)) {
            object[name] = static_cast<int64_t>(std::llround(value));
        } else {
            object[name] = value;
        }
    }
    return object;
}

class JsonOutput : public ResultWriter {
  public:
    explicit JsonOutput(FILE* stream) : stream_(stream) {}

    void scanTable(const std::string& command, const std::vector<ScanRow>& rows) override {
        nlohmann::json devices = nlohmann::json::array();
        const auto count = static_cast<uint32_t>(rows.size());
        for (const ScanRow& row : rows) {
            const csediag::IdcodeFields fields = csediag::idcodeFields(row.idcode);
            nlohmann::json device = {{"device", row.device},
                                     {"openocdPosition", count - 1 - row.device}};
            device["idcode"] = fields.present ? nlohmann::json(hexNumber(row.idcode, 8)) : nullptr;
            // A device without an IDCODE has none of its fields: null, not left out.
            device["version"] = fields.present ? nlohmann::json(fields.version) : nullptr;
            device["part"] = fields.present ? nlohmann::json(hexNumber(fields.part, 4)) : nullptr;
            device["bank"] = fields.present ? nlohmann::json(fields.bank) : nullptr;
            device["id"] = fields.present ? nlohmann::json(hexNumber(fields.id, 2)) : nullptr;
            device["irLength"] = row.irLengthKnown ? nlohmann::json(row.irLength) : nullptr;
            devices.push_back(device);
        }
        results_.push_back(
            {{"command", command},
             {"devices", devices},
             {"order", "device 0 is nearest TDI; openocdPosition 0 is nearest TDO"}});
    }

    void value(const std::string& command, const std::string& origin, const std::string& field,
               const std::string& text, uint32_t bitCount) override {
        nlohmann::json result = {{"command", command}, {field, text}};
        if (!origin.empty()) result["origin"] = origin;
        if (bitCount != 0) result["bits"] = bitCount;
        results_.push_back(result);
    }

    void diagnosis(const std::vector<DiagnosisCheck>& checks) override {
        nlohmann::json list = nlohmann::json::array();
        unsigned faults = 0;
        unsigned warnings = 0;
        for (const DiagnosisCheck& check : checks) {
            faults += check.verdict == Verdict::kFault ? 1 : 0;
            warnings += check.verdict == Verdict::kWarning ? 1 : 0;
            list.push_back({{"name", check.name},
                            {"verdict", verdictName(check.verdict)},
                            {"reason", check.reason}});
            if (!check.figures.empty()) list.back()["figures"] = figuresObject(check.figures);
        }
        results_.push_back({{"command", "diagnose"},
                            {"checks", list},
                            {"faults", faults},
                            {"warnings", warnings}});
    }

    void svfResult(const std::string& command, const std::string& origin,
                   const std::string& summary, const csesvf::SvfResult& played) override {
        nlohmann::json mismatches = nlohmann::json::array();
        for (const csesvf::Mismatch& m : played.mismatches) {
            mismatches.push_back({{"file", m.file},
                                  {"line", m.line},
                                  {"command", m.command},
                                  {"expected", m.expected},
                                  {"read", m.read},
                                  {"mask", m.mask},
                                  {"firstBit", m.firstBit}});
            if (m.playedAfter != 0) {
                mismatches.back()["playedAfter"] = m.playedAfter;
                mismatches.back()["playedUpToLine"] = m.playedUpToLine;
            }
        }
        nlohmann::json result = {{"command", command},           {"summary", summary},
                                 {"scans", played.scans},        {"checks", played.checks},
                                 {"mismatchCount", played.mismatchCount},
                                 {"mismatches", mismatches}};
        if (played.repetitions != 0) result["repetitions"] = played.repetitions;
        if (!origin.empty()) result["origin"] = origin;
        results_.push_back(result);
    }

    void note(const std::string& text) override { notes_.push_back(text); }

    void error(const std::string& reason) override {
        if (error_.empty()) error_ = reason;  // the first is the cause
    }

    void finish(int exitStatus) override {
        nlohmann::json document = {
            {"exitStatus", exitStatus}, {"ok", exitStatus == 0}, {"results", results_}};
        if (!notes_.empty()) document["notes"] = notes_;
        if (!error_.empty()) document["error"] = error_;
        // Replacement characters keep a stray byte from a chain file from breaking the document.
        const std::string text =
            document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        std::fprintf(stream_, "%s\n", text.c_str());
        std::fflush(stream_);
    }

  private:
    FILE* stream_;
    nlohmann::json results_ = nlohmann::json::array();
    std::vector<std::string> notes_;
    std::string error_;
};

}  // namespace

std::unique_ptr<ResultWriter> makeJsonWriter(FILE* results) {
    return std::make_unique<JsonOutput>(results);
}

}  // namespace csehost
