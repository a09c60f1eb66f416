#pragma once
// axiolink_ext.MotorGroup: motors on one or more buses, commanded together.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "damiao/group.hpp"
#include "failure.hpp"

namespace axiolink::python::ext {

PyResult<PyTypeObject*> motor_group_type();

// A MotorGroup object's payload (for the servo loop, which drives a group).
struct PyMotorGroup {
    PyMotorGroup(damiao::MotorGroup made, PyRef motor_tuple, std::vector<PyRef> buses,
                 std::uint64_t ms)
        : group(std::move(made)),
          motors(std::move(motor_tuple)),
          bus_objects(std::move(buses)),
          timeout_ms(ms),
          late(group.members().size()) {}

    damiao::MotorGroup group;
    PyRef motors;                    // tuple of axiolink.Damiao, in member order
    std::vector<PyRef> bus_objects;  // the distinct SocketCanTransport objects, by bus index
    std::uint64_t timeout_ms;
    // Late answers per member since the group was made, from every thread's
    // cycles.
    std::vector<std::atomic<std::uint64_t>> late;
};

}  // namespace axiolink::python::ext
