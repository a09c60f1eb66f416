#include "motor_state.hpp"

#include "boundary.hpp"
#include "repr_text.hpp"
#include "types.hpp"

namespace axiolink::python {
namespace {

using damiao::MotorState;

PyTypeObject* g_type = nullptr;

PyResult<PyRef> repr(PyObject* self) {
    const MotorState& state = unwrap<MotorState>(self);
    ReprText text;
    text << "MotorState(motor_id=";
    text.decimal(state.motor_id) << ", error=";
    text.decimal(state.error) << ", position=";
    text.four_decimals(state.position) << ", velocity=";
    text.four_decimals(state.velocity) << ", torque=";
    text.four_decimals(state.torque) << ", t_mos=";
    text.decimal(state.t_mos) << ", t_rotor=";
    text.decimal(state.t_rotor) << ")";
    return text.to_python();
}

PyGetSetDef kGetters[] = {
    {"motor_id", entry<get_unsigned<&MotorState::motor_id>>, nullptr, nullptr, nullptr},
    {"error", entry<get_unsigned<&MotorState::error>>, nullptr, nullptr, nullptr},
    {"position", entry<get_float<&MotorState::position>>, nullptr, nullptr, nullptr},
    {"velocity", entry<get_float<&MotorState::velocity>>, nullptr, nullptr, nullptr},
    {"torque", entry<get_float<&MotorState::torque>>, nullptr, nullptr, nullptr},
    {"t_mos", entry<get_unsigned<&MotorState::t_mos>>, nullptr, nullptr, nullptr},
    {"t_rotor", entry<get_unsigned<&MotorState::t_rotor>>, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MotorState>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<repr>)},
    {Py_tp_getset, kGetters},
    {},
};

PyType_Spec kSpec{"axiolink.MotorState", sizeof(Wrapper<MotorState>), 0, kClassFlags, kSlots};

}  // namespace

PyResult<PyTypeObject*> motor_state_type() {
    return type_once(g_type, kSpec);
}

PyResult<PyRef> new_motor_state(const MotorState& state) {
    return as_result(
        motor_state_type().and_then([&](PyTypeObject* type) { return wrap(type, state); }));
}

}  // namespace axiolink::python
