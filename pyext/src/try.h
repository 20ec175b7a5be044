#pragma once
// Early return on a raised Python exception:
//     PY_TRY(auto height, reader.size("height"));
// declares `height` from the value of a `PyResult`, or returns `raised()`
// from the enclosing function when the result holds the exception.

#include "py_ref.h"

#define TESSALUMEN_PY_TRY_CONCAT_(a, b) a##b
#define TESSALUMEN_PY_TRY_NAME_(line) TESSALUMEN_PY_TRY_CONCAT_(py_try_result_, line)
#define PY_TRY(declaration, expression)                                          \
    auto TESSALUMEN_PY_TRY_NAME_(__LINE__) = (expression);                       \
    if (!TESSALUMEN_PY_TRY_NAME_(__LINE__)) return ::tessalumen::py::raised();   \
    declaration = std::move(*TESSALUMEN_PY_TRY_NAME_(__LINE__))
#define PY_CHECK(expression)                                                     \
    do {                                                                         \
        if (!(expression)) return ::tessalumen::py::raised();                    \
    } while (false)
