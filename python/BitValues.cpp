// SPDX-License-Identifier: Apache-2.0
#include "python/BitValues.h"

#include <string>

#include "python/PythonErrors.h"

namespace csepython {

size_t byteCount(uint32_t bitCount) {
    if (bitCount == 0) throw usageError("the bit count must be at least 1");
    return (static_cast<size_t>(bitCount) + 7) / 8;
}

std::vector<uint8_t> intToBits(const py::int_& value, uint32_t bitCount) {
    const size_t size = byteCount(bitCount);
    if (PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
        throw usageError("a negative value cannot be shifted: " +
                         std::string(py::str(static_cast<const py::object&>(value))));
    }
    const auto used = value.attr("bit_length")().cast<uint64_t>();
    if (used > bitCount) {
        throw usageError(std::string(py::str(py::module_::import("builtins").attr("hex")(value))) +
                         " does not fit in " + std::to_string(bitCount) + " bits");
    }
    const py::bytes little = value.attr("to_bytes")(size, "little");
    const std::string_view text = little;
    return {text.begin(), text.end()};
}

py::int_ bitsToInt(const uint8_t* bits, size_t size) {
    const py::bytes raw(reinterpret_cast<const char*>(bits), size);
    const auto intType =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type));
    return intType.attr("from_bytes")(raw, "little");
}

BitsView::BitsView(const py::buffer& value, uint32_t bitCount) : info_(value.request()) {
    const size_t size = byteCount(bitCount);
    if (info_.itemsize != 1 || info_.ndim > 1 || (info_.ndim == 1 && info_.strides[0] != 1)) {
        throw usageError(
            "the value must be bytes, a bytearray or a contiguous memoryview of bytes");
    }
    if (static_cast<size_t>(info_.size) != size) {
        throw usageError(std::to_string(bitCount) + " bits take " + std::to_string(size) +
                         " bytes, the value has " + std::to_string(info_.size));
    }
    data_ = static_cast<const uint8_t*>(info_.ptr);
    size_ = size;
    const unsigned spare = static_cast<unsigned>(size * 8 - bitCount);
    if (spare != 0 && (data_[size - 1] >> (8 - spare)) != 0) {
        throw usageError("the value has bits set above bit " + std::to_string(bitCount - 1) +
                         " in its last byte");
    }
}

uint32_t bitCountOf(const py::buffer& value) {
    const py::buffer_info info = value.request();
    const auto bits = static_cast<uint64_t>(info.size) * static_cast<uint64_t>(info.itemsize) * 8;
    if (bits == 0 || bits > UINT32_MAX) throw usageError("the value must hold 1 to 2^32-1 bits");
    return static_cast<uint32_t>(bits);
}

bool isBytesLike(const py::object& value) {
    return PyObject_CheckBuffer(value.ptr()) != 0 && !py::isinstance<py::int_>(value);
}

py::int_ intValue(const py::object& value) {
    if (!py::isinstance<py::int_>(value)) {
        throw py::type_error("a value to shift must be an int or a bytes-like object, not " +
                             std::string(py::str(value.get_type().attr("__name__"))));
    }
    return value;
}

std::vector<uint8_t> valueBits(const py::object& value, std::optional<uint32_t>& bits,
                               const char* call) {
    if (isBytesLike(value)) {
        if (!bits) bits = bitCountOf(value);
        const BitsView view(value, *bits);
        return {view.data(), view.data() + view.size()};
    }
    if (!bits) throw usageError(std::string(call) + " of an int needs bits");
    return intToBits(intValue(value), *bits);
}

}  // namespace csepython
