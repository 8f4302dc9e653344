// SPDX-License-Identifier: Apache-2.0
// Python values to bit buffers and back: ints of any size and bytes-like objects, bit 0 shifted
// first (bit k in bit k % 8 of byte k / 8), as cse-host prints and reads them.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace csepython {

namespace py = pybind11;

// The bytes (bitCount + 7) / 8 hold; refuses counts of 0 with a UsageError.
[[nodiscard]] size_t byteCount(uint32_t bitCount);

// A non-negative int that fits in bitCount bits, as a bit buffer; UsageError otherwise.
[[nodiscard]] std::vector<uint8_t> intToBits(const py::int_& value, uint32_t bitCount);
[[nodiscard]] py::int_ bitsToInt(const uint8_t* bits, size_t size);

// A bytes-like value seen in place (no copy); its length must be byteCount(bitCount) and the bits
// above bitCount in its last byte zero. The view keeps the object's buffer exported while alive.
class BitsView {
  public:
    BitsView(const py::buffer& value, uint32_t bitCount);
    [[nodiscard]] const uint8_t* data() const { return data_; }
    [[nodiscard]] size_t size() const { return size_; }

  private:
    py::buffer_info info_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// The bit count a bytes-like value stands for when none is given: all its bits.
[[nodiscard]] uint32_t bitCountOf(const py::buffer& value);

// Whether a value to shift is given as bytes (and comes back as bytes) rather than an int.
[[nodiscard]] bool isBytesLike(const py::object& value);
// A value to shift as an int; TypeError for anything else.
[[nodiscard]] py::int_ intValue(const py::object& value);
// What a scan shifts: the bits of an int or of a bytes-like value; `bits` absent takes all of a
// bytes value's bits (an int needs it: UsageError naming `call`).
[[nodiscard]] std::vector<uint8_t> valueBits(const py::object& value, std::optional<uint32_t>& bits,
                                             const char* call);

}  // namespace csepython
