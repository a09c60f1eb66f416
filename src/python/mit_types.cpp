#include "mit_types.hpp"

#include <array>
#include <string>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "repr_text.hpp"
#include "types.hpp"

namespace axiolink::python {
namespace {

using damiao::MitLimits;
using damiao::MitSetpoint;

// The five float fields of either record, in declaration order.
template <class Record>
using FloatFields = std::array<float Record::*, 5>;

constexpr FloatFields<MitLimits> kLimitFields = {&MitLimits::p_max, &MitLimits::v_max,
                                                 &MitLimits::kp_max, &MitLimits::kd_max,
                                                 &MitLimits::t_max};
constexpr FloatFields<MitSetpoint> kSetpointFields = {
    &MitSetpoint::q, &MitSetpoint::dq, &MitSetpoint::kp, &MitSetpoint::kd, &MitSetpoint::tau};
constexpr std::array<std::string_view, 5> kLimitNames = {"p_max", "v_max", "kp_max", "kd_max",
                                                         "t_max"};
constexpr std::array<std::string_view, 5> kSetpointNames = {"q", "dq", "kp", "kd", "tau"};

constexpr Signature kLimitsNew{"MitLimits.__new__()", kLimitNames, 0};
constexpr Signature kSetpointNew{"MitSetpoint.__new__()", kSetpointNames, 0};
constexpr Signature kSetpointFunction{"mit_setpoint()", kSetpointNames, 0};

// Fills the given fields of `record` in declaration order; absent ones keep
// their defaults.
template <class Record>
PyResult<Record> convert_fields(const Arguments& matched, const FloatFields<Record>& fields,
                                const std::array<std::string_view, 5>& names) {
    Record record;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (matched[i] == nullptr) {
            continue;
        }
        auto value = to_float(matched[i], names[i]);
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        record.*fields[i] = *value;
    }
    return record;
}

template <class Record>
PyResult<PyRef> repr_fields(std::string_view class_name, const Record& record,
                            const FloatFields<Record>& fields,
                            const std::array<std::string_view, 5>& names) {
    ReprText text;
    text << class_name << "(";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        text << (i == 0 ? "" : ", ") << names[i] << "=";
        text.shortest(record.*fields[i]);
    }
    text << ")";
    return text.to_python();
}

// --- MitLimits -------------------------------------------------------------

PyTypeObject* g_limits_type = nullptr;
PyTypeObject* g_setpoint_type = nullptr;

PyResult<PyRef> limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return match_arguments(kLimitsNew, args, kwargs)
        .and_then([](const Arguments& matched) {
            return convert_fields(matched, kLimitFields, kLimitNames);
        })
        .and_then([type](MitLimits limits) { return wrap(type, limits); });
}

PyResult<PyRef> limits_repr(PyObject* self) {
    return repr_fields("MitLimits", unwrap<MitLimits>(self), kLimitFields, kLimitNames);
}

template <std::size_t Index>
PyResult<PyRef> preset(PyObject*, PyObject*) {
    return as_result(wrap(g_limits_type, damiao::kMitLimitsPresets[Index].limits));
}

// Doc texts "dm4310()\n--\n\n": a text signature and no docstring.
std::array<std::string, damiao::kMitLimitsPresets.size()> g_preset_docs;

template <std::size_t... Index>
constexpr auto preset_functions(std::index_sequence<Index...>) {
    return std::array<PyCFunction, sizeof...(Index)>{entry<preset<Index>>...};
}

constexpr auto kPresetFunctions =
    preset_functions(std::make_index_sequence<damiao::kMitLimitsPresets.size()>());

std::array<PyMethodDef, damiao::kMitLimitsPresets.size() + 1> g_limits_methods{};

void fill_preset_methods() {
    for (std::size_t i = 0; i < kPresetFunctions.size(); ++i) {
        const auto& row = damiao::kMitLimitsPresets[i];
        g_preset_docs[i] = std::string(row.name) + "()\n--\n\n";
        g_limits_methods[i] = {row.name.data(), kPresetFunctions[i], METH_NOARGS | METH_STATIC,
                               g_preset_docs[i].c_str()};
    }
}

PyGetSetDef kLimitsGetters[] = {
    {"p_max", entry<get_float<&MitLimits::p_max>>, nullptr, nullptr, nullptr},
    {"v_max", entry<get_float<&MitLimits::v_max>>, nullptr, nullptr, nullptr},
    {"kp_max", entry<get_float<&MitLimits::kp_max>>, nullptr, nullptr, nullptr},
    {"kd_max", entry<get_float<&MitLimits::kd_max>>, nullptr, nullptr, nullptr},
    {"t_max", entry<get_float<&MitLimits::t_max>>, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot kLimitsSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<limits_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MitLimits>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<limits_repr>)},
    {Py_tp_getset, kLimitsGetters},
    {Py_tp_methods, g_limits_methods.data()},
    {Py_tp_doc,
     const_cast<char*>(
         "MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)\n--\n\n")},
    {},
};

PyType_Spec kLimitsSpec{"axiolink.MitLimits", sizeof(Wrapper<MitLimits>), 0, kClassFlags,
                        kLimitsSlots};

// --- MitSetpoint -----------------------------------------------------------

PyResult<MitSetpoint> convert_setpoint(const Arguments& matched) {
    return convert_fields(matched, kSetpointFields, kSetpointNames);
}

PyResult<PyRef> setpoint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return match_arguments(kSetpointNew, args, kwargs)
        .and_then(convert_setpoint)
        .and_then([type](MitSetpoint setpoint) { return wrap(type, setpoint); });
}

PyResult<PyRef> setpoint_repr(PyObject* self) {
    return repr_fields("MitSetpoint", unwrap<MitSetpoint>(self), kSetpointFields, kSetpointNames);
}

PyGetSetDef kSetpointGetters[] = {
    {"q", entry<get_float<&MitSetpoint::q>>, nullptr, nullptr, nullptr},
    {"dq", entry<get_float<&MitSetpoint::dq>>, nullptr, nullptr, nullptr},
    {"kp", entry<get_float<&MitSetpoint::kp>>, nullptr, nullptr, nullptr},
    {"kd", entry<get_float<&MitSetpoint::kd>>, nullptr, nullptr, nullptr},
    {"tau", entry<get_float<&MitSetpoint::tau>>, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot kSetpointSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<setpoint_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MitSetpoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<setpoint_repr>)},
    {Py_tp_getset, kSetpointGetters},
    {Py_tp_doc, const_cast<char*>("MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n")},
    {},
};

PyType_Spec kSetpointSpec{"axiolink.MitSetpoint", sizeof(Wrapper<MitSetpoint>), 0, kClassFlags,
                          kSetpointSlots};

// --- mit_setpoint() --------------------------------------------------------

PyResult<PyRef> mit_setpoint_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    // Argument errors, and whatever a __float__ raises, propagate as they are;
    // only failing to create the result is an internal failure.
    return mit_setpoint_type().and_then([&](PyTypeObject* type) {
        return match_arguments(kSetpointFunction, args, nargs, kwnames)
            .and_then(convert_setpoint)
            .and_then([type](MitSetpoint setpoint) { return as_result(wrap(type, setpoint)); });
    });
}

PyMethodDef kMitSetpointFunction = {"mit_setpoint", fastcall_entry<mit_setpoint_function>(),
                                    METH_FASTCALL | METH_KEYWORDS,
                                    "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
                                    "Build a `MitSetpoint` (handy when keyword args are awkward)."};

}  // namespace

PyResult<PyTypeObject*> mit_limits_type() {
    if (g_limits_type == nullptr) {
        fill_preset_methods();
    }
    return type_once(g_limits_type, kLimitsSpec);
}

PyResult<PyTypeObject*> mit_setpoint_type() {
    return type_once(g_setpoint_type, kSetpointSpec);
}

PyResult<PyRef> new_mit_setpoint_function(PyObject* module) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return already_set();
    }
    return checked(PyCMethod_New(&kMitSetpointFunction, module, module_name.get(), nullptr));
}

}  // namespace axiolink::python
