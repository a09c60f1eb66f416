/* Counts the C library's allocation calls of a process it is preloaded into
 * (LD_PRELOAD), for python_allocations.py: run with PYTHONMALLOC=malloc, every
 * object the interpreter or an extension allocates is one call here.
 * axiolink_bench_allocations() returns the count so far. */

#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);

static unsigned long long allocations;

void* malloc(size_t size) {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED);
    return __libc_realloc(block, size);
}

unsigned long long axiolink_bench_allocations(void) {
    return __atomic_load_n(&allocations, __ATOMIC_RELAXED);
}
