#pragma once
// The register functions of axiolink_ext: read_register, write_register and
// set_control_mode, each on one axiolink.Damiao and its bus.

#include <Python.h>

namespace axiolink::python::ext {

// The module's functions, ending with an empty entry.
PyMethodDef* register_functions() noexcept;

}  // namespace axiolink::python::ext
