#pragma once
// Which thread runs the interpreter's signal handlers: the main thread, and
// in a forked child the thread that forked (the interpreter makes it the
// main thread there). Each module built with this file keeps its own
// record.

#include "failure.hpp"

namespace axiolink::python {

// Learns the thread at import (once per module) and follows it across forks.
PyResult<void> watch_signal_thread();
// Whether the calling thread runs the handlers; callable without the
// interpreter lock.
bool in_signal_thread() noexcept;

}  // namespace axiolink::python
