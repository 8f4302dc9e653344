// SPDX-License-Identifier: Apache-2.0
#include "python/SvfSource.h"

#include <string_view>

namespace csepython {

namespace {
constexpr size_t kChunkBytes = 1 << 16;
}

PythonFileBuffer::int_type PythonFileBuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    py::gil_scoped_acquire acquire;
    if (failure_) return traits_type::eof();
    try {
        py::object data = file_.attr("read")(kChunkBytes);
        if (py::isinstance<py::str>(data)) data = data.attr("encode")("utf-8");
        const std::string_view text = py::bytes(data);
        if (text.empty()) return traits_type::eof();
        chunk_.assign(text.begin(), text.end());
    } catch (py::error_already_set& error) {
        failure_.emplace(std::move(error));
        return traits_type::eof();
    }
    setg(chunk_.data(), chunk_.data(), chunk_.data() + chunk_.size());
    return traits_type::to_int_type(*gptr());
}

}  // namespace csepython
