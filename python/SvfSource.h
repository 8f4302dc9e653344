// SPDX-License-Identifier: Apache-2.0
// An SVF file object (text or binary) as a std::istream for the streaming player. The player runs
// with the GIL released; each refill takes the GIL for one read() of the object.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <streambuf>
#include <vector>

namespace csepython {

namespace py = pybind11;

class PythonFileBuffer : public std::streambuf {
  public:
    explicit PythonFileBuffer(py::object file) : file_(std::move(file)) {}

    // The exception read() raised, if any (the stream ended there); GIL held to look.
    std::optional<py::error_already_set>& failure() { return failure_; }

  protected:
    int_type underflow() override;

  private:
    py::object file_;
    std::vector<char> chunk_;
    std::optional<py::error_already_set> failure_;
};

}  // namespace csepython
