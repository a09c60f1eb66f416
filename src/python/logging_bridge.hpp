#pragma once
// The logging facade's sink that forwards records to Python's `logging`.

#include "failure.hpp"

namespace axiolink::python {

// Imports `logging`, registers the sink (default filter Debug) and sets the
// facade's maximum level to Debug. Fails with a Panic when `logging` cannot
// be imported or a sink is already registered in the process.
PyResult<void> install_logging_bridge();

}  // namespace axiolink::python
