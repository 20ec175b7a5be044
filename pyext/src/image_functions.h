#pragma once
// The module's four image functions, registered after the pipeline functions.

#include "py_ref.h"

namespace tessalumen::py {

extern const PyMethodDef READ_IMAGE_METHOD;
extern const PyMethodDef DECODE_IMAGE_METHOD;
extern const PyMethodDef ENCODE_IMAGE_METHOD;
extern const PyMethodDef WRITE_IMAGE_METHOD;

}  // namespace tessalumen::py
