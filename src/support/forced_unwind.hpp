#pragma once
// Telling a forced unwind apart inside a catch-all handler.
//
// pthread_exit and thread cancellation end a thread by unwinding its stack
// (the interpreter ends a daemon thread so at exit, where it takes the
// interpreter lock back). Such an unwind is not an error: a handler that
// catches everything must rethrow it, or the thread would go on where it
// was meant to end. Catching abi::__forced_unwind by reference binds the
// reference to null, as it carries no exception object, so instead this
// asks the runtime for the type of what was caught: a forced unwind has
// none.

#include <cxxabi.h>

namespace axiolink {

// Call only inside a `catch (...)` block.
inline bool caught_forced_unwind() noexcept {
    return abi::__cxa_current_exception_type() == nullptr;
}

}  // namespace axiolink
