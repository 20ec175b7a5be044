#pragma once
// NumPy arrays that take ownership of a native buffer without copying it: the
// buffer moves into a capsule that becomes the array's base object and is
// released when the array dies.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "numpy_api.h"
#include "py_ref.h"

namespace tessalumen::py {

// A C-contiguous array of the given shape over `data`, whose element count
// must equal the product of the shape.
[[nodiscard]] PyResult<PyRef> array_owning(std::vector<std::uint8_t> data, std::initializer_list<npy_intp> shape);
[[nodiscard]] PyResult<PyRef> array_owning(std::vector<std::uint16_t> data, std::initializer_list<npy_intp> shape);
[[nodiscard]] PyResult<PyRef> array_owning(std::vector<float> data, std::initializer_list<npy_intp> shape);

}  // namespace tessalumen::py
