#include "control_setpoint.hpp"

#include <array>
#include <tuple>

#include "args.hpp"
#include "boundary.hpp"
#include "damiao/modes.hpp"
#include "mit_types.hpp"
#include "repr_text.hpp"
#include "types.hpp"

namespace axiolink::python {
namespace {

using damiao::ControlSetpoint;

PyTypeObject* g_type = nullptr;

PyResult<PyRef> make(ControlSetpoint setpoint) {
    return as_result(
        control_setpoint_type().and_then([&](PyTypeObject* type) { return wrap(type, setpoint); }));
}

// Converts the first N matched arguments to floats, in declaration order.
template <std::size_t N>
PyResult<std::array<float, N>> floats(const Arguments& matched,
                                      const std::array<std::string_view, N>& names) {
    std::array<float, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        auto value = to_float(matched[i], names[i]);
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        values[i] = *value;
    }
    return values;
}

constexpr std::array<std::string_view, 1> kMitParams = {"setpoint"};
constexpr std::array<std::string_view, 2> kPosVelParams = {"position", "velocity"};
constexpr std::array<std::string_view, 1> kVelParams = {"velocity"};
constexpr std::array<std::string_view, 3> kForcePosParams = {"position", "velocity_limit",
                                                             "torque_ratio"};

PyResult<PyRef> mit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature kSignature{"ControlSetpoint.mit()", kMitParams, 1};
    auto matched = match_arguments(kSignature, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    return mit_setpoint_type()
        .and_then([&](PyTypeObject* type) {
            return to_instance((*matched)[0], "setpoint", type, "MitSetpoint");
        })
        .and_then([](PyObject* setpoint) { return make(unwrap<damiao::MitSetpoint>(setpoint)); });
}

// The three float-only kinds share one body.
template <class Kind, std::size_t N, const std::array<std::string_view, N>& Params,
          const Signature& Sig>
PyResult<PyRef> float_kind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return match_arguments(Sig, args, nargs, kwnames)
        .and_then([](const Arguments& matched) { return floats(matched, Params); })
        .and_then([](const std::array<float, N>& values) {
            return std::apply([](auto... v) { return make(Kind{v...}); }, values);
        });
}

constexpr Signature kPosVelSignature{"ControlSetpoint.pos_vel()", kPosVelParams, 2};
constexpr Signature kVelSignature{"ControlSetpoint.vel()", kVelParams, 1};
constexpr Signature kForcePosSignature{"ControlSetpoint.force_pos()", kForcePosParams, 3};

PyResult<PyRef> repr(PyObject* self) {
    ReprText text;
    text << "ControlSetpoint.";
    std::visit(
        [&text](const auto& kind) {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, damiao::MitSetpoint>) {
                text << "mit(q=";
                text.shortest(kind.q) << ", dq=";
                text.shortest(kind.dq) << ", kp=";
                text.shortest(kind.kp) << ", kd=";
                text.shortest(kind.kd) << ", tau=";
                text.shortest(kind.tau);
            } else if constexpr (std::is_same_v<Kind, damiao::PosVelSetpoint>) {
                text << "pos_vel(position=";
                text.shortest(kind.position) << ", velocity=";
                text.shortest(kind.velocity);
            } else if constexpr (std::is_same_v<Kind, damiao::VelSetpoint>) {
                text << "vel(";
                text.shortest(kind.velocity);
            } else {
                text << "force_pos(position=";
                text.shortest(kind.position) << ", velocity_limit=";
                text.shortest(kind.velocity_limit) << ", torque_ratio=";
                text.shortest(kind.torque_ratio);
            }
        },
        unwrap<ControlSetpoint>(self));
    text << ")";
    return text.to_python();
}

PyResult<PyRef> mode(PyObject* self, void*) {
    return result_object(PyLong_FromLong(damiao::control_mode(unwrap<ControlSetpoint>(self))));
}

PyMethodDef kMethods[] = {
    {"mit", fastcall_entry<mit>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "mit(setpoint)\n--\n\nMIT impedance setpoint (control mode 1)."},
    {"pos_vel",
     fastcall_entry<float_kind<damiao::PosVelSetpoint, 2, kPosVelParams, kPosVelSignature>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "pos_vel(position, velocity)\n--\n\nPOS_VEL setpoint (control mode 2)."},
    {"vel", fastcall_entry<float_kind<damiao::VelSetpoint, 1, kVelParams, kVelSignature>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "vel(velocity)\n--\n\nVEL setpoint (control mode 3)."},
    {"force_pos",
     fastcall_entry<float_kind<damiao::ForcePosSetpoint, 3, kForcePosParams, kForcePosSignature>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "force_pos(position, velocity_limit, torque_ratio)\n--\n\nFORCE_POS setpoint (control mode "
     "4)."},
    {},
};

PyGetSetDef kGetters[] = {
    {"mode", entry<mode>, nullptr,
     "Numeric control mode (matches the value written to register 10).", nullptr},
    {},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ControlSetpoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<repr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {},
};

PyType_Spec kSpec{"axiolink.ControlSetpoint", sizeof(Wrapper<ControlSetpoint>), 0, kClassFlags,
                  kSlots};

}  // namespace

PyResult<PyTypeObject*> control_setpoint_type() {
    return type_once(g_type, kSpec);
}

}  // namespace axiolink::python
