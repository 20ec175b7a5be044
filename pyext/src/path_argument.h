#pragma once
// File-system paths given from Python: a str or an object whose __fspath__
// returns a str.

#include <string>

#include "py_ref.h"

namespace tessalumen::py {

struct PathArgument {
    std::string native;   // the bytes handed to the operating system
    std::string display;  // for messages: the path as given, invalid UTF-8 replaced
};

// Raises TypeError for anything that is not a str path (bytes paths included).
// A NUL byte inside the path is no conversion error; the file functions
// report it when they would open or create the file.
[[nodiscard]] PyResult<PathArgument> to_path(PyObject* value);

}  // namespace tessalumen::py
