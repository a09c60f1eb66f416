#pragma once
// Telling a forced unwind apart inside a catch-all handler.
//
// pthread_exit and thread cancellation end a thread by unwinding its stack
// (the interpreter ends a daemon thread so at exit, where it takes the
// interpreter lock back). Such an unwind is not an error: a handler that
// catches everything must rethrow it, or the thread would go on where it
// was meant to end. Catching abi::__forced_unwind by reference binds the
// reference to null, as it carries no exception object; instead this asks
// whether what was caught is a C++ exception at all: the runtime hands out
// no exception_ptr for a forced unwind (or any other foreign unwind).

#include <exception>

namespace axiolink {

// Call only inside a `catch (...)` block.
inline bool caught_forced_unwind() noexcept {
    return std::current_exception() == nullptr;
}

}  // namespace axiolink
