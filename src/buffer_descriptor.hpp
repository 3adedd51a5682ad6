// BufferDescriptor: the metadata record of a zero-copy buffer in shared
// memory (segment name, byte size, shape, element type name). It carries
// the four values only; it never touches shared memory itself.
#pragma once

#include "py/ref.hpp"

namespace kavex {

// The class object (borrowed), created on first use.
PyObject* buffer_descriptor_type();

}  // namespace kavex
