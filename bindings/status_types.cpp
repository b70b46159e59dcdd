#include "bindings/status_types.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/types.hpp"

namespace qmc::py {
namespace {

// ---- Field values as Python objects (new references, null on failure) ----

PyObject* py(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
PyObject* py(double value) { return PyFloat_FromDouble(value); }
PyObject* py(int value) { return PyLong_FromLong(value); }
PyObject* py(std::uint8_t value) { return PyLong_FromLong(value); }
PyObject* py(std::uint16_t value) { return PyLong_FromLong(value); }
PyObject* py(std::int64_t value) { return PyLong_FromLongLong(value); }
PyObject* py(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
PyObject* py(const std::optional<std::string>& text) { return text ? py(*text) : Py_NewRef(Py_None); }
PyObject* py(const std::vector<std::string>& texts) {
    return sequence_of<Sequence::Tuple>(texts.size(), [&](std::size_t i) { return py(texts[i]); });
}

PyObject* py(const std::array<double, 3>& three) { return Py_BuildValue("(ddd)", three[0], three[1], three[2]); }

// name -> value dicts, in order.
template <class V>
PyObject* py(const std::vector<std::pair<std::string, V>>& items) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (const auto& [name, value] : items) {
        PyObject* item = py(value);
        const bool stored = item != nullptr && PyDict_SetItemString(dict, name.c_str(), item) == 0;
        Py_XDECREF(item);
        if (!stored) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

// One field of a value class: its name and how to read it.
template <class T>
struct Field {
    const char* name;
    PyObject* (*get)(const T&);
};

// The fields of value class `type`, as the table `space::kFields`: each
// QMC_FIELD(member) is named as its member and read with py().
#define QMC_FIELD(member) Field<Value>{#member, [](const Value& v) -> PyObject* { return py(v.member); }},
#define QMC_FIELDS(space, type, ...)                  \
    namespace space {                                 \
    using Value = type;                               \
    constexpr Field<Value> kFields[] = {__VA_ARGS__}; \
    }

QMC_FIELDS(servo, quorvel::ServoStatus,
           QMC_FIELD(name) QMC_FIELD(id) QMC_FIELD(position) QMC_FIELD(velocity) QMC_FIELD(load) QMC_FIELD(voltage)
           QMC_FIELD(temperature) QMC_FIELD(current) QMC_FIELD(moving) QMC_FIELD(errors))
QMC_FIELDS(neck, quorvel::NeckStatus,
           QMC_FIELD(name) QMC_FIELD(can_id) QMC_FIELD(position) QMC_FIELD(velocity) QMC_FIELD(torque)
           QMC_FIELD(temperature_mos) QMC_FIELD(temperature_rotor) QMC_FIELD(enabled) QMC_FIELD(fault)
           QMC_FIELD(turns_off_zero))
QMC_FIELDS(motion_state, MotionStateValue,
           QMC_FIELD(active) QMC_FIELD(target) QMC_FIELD(time_left) QMC_FIELD(set_points))

#undef QMC_FIELDS
#undef QMC_FIELD

// Everything one value class needs, given its C++ value type and fields.
template <class T, const auto& kFields>
struct ValueClass {
    struct Object {
        PyObject_HEAD
        T value;
    };

    static T& value_of(PyObject* self) { return reinterpret_cast<Object*>(self)->value; }

    static PyObject* create(PyTypeObject* type, const T& value) {
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&value_of(self)) T(value);
        return self;
    }

    static void dealloc(PyObject* self) {
        value_of(self).~T();
        free_instance(self);
    }

    template <std::size_t I>
    static PyObject* get(PyObject* self, void*) {
        return kFields[I].get(value_of(self));
    }

    // The fields in order as a tuple (for hash) or a dict (for as_dict).
    static PyObject* as_tuple(PyObject* self) {
        return sequence_of<Sequence::Tuple>(std::size(kFields),
                                            [&](std::size_t i) { return kFields[i].get(value_of(self)); });
    }

    static PyObject* as_dict(PyObject* self, PyObject*) {
        return guarded([&]() -> PyObject* {
            PyObject* dict = PyDict_New();
            if (dict == nullptr) return nullptr;
            for (const auto& field : kFields) {
                PyObject* item = field.get(value_of(self));
                const bool stored = item != nullptr && PyDict_SetItemString(dict, field.name, item) == 0;
                Py_XDECREF(item);
                if (!stored) {
                    Py_DECREF(dict);
                    return nullptr;
                }
            }
            return dict;
        });
    }

    // "ServoStatus(name='left_arm_pitch', id=1, ...)": every field with its repr.
    static PyObject* repr(PyObject* self) {
        return guarded([&]() -> PyObject* {
            const char* full = Py_TYPE(self)->tp_name;
            const char* dot = std::strrchr(full, '.');
            std::string text = std::string(dot != nullptr ? dot + 1 : full) + "(";
            bool first = true;
            for (const auto& field : kFields) {
                PyObject* item = field.get(value_of(self));
                PyObject* item_repr = item != nullptr ? PyObject_Repr(item) : nullptr;
                Py_XDECREF(item);
                if (item_repr == nullptr) return nullptr;
                const char* utf8 = PyUnicode_AsUTF8(item_repr);
                if (utf8 == nullptr) {
                    Py_DECREF(item_repr);
                    return nullptr;
                }
                text += (first ? "" : ", ") + std::string(field.name) + "=" + utf8;
                first = false;
                Py_DECREF(item_repr);
            }
            text += ")";
            return py(text);
        });
    }

    static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
        if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
        const bool equal = value_of(self) == value_of(other);
        return py(op == Py_EQ ? equal : !equal);
    }

    // The hash of the fields' tuple, a dict field counted as the frozenset
    // of its items (equal values, equal hashes).
    static Py_hash_t hash(PyObject* self) {
        PyObject* tuple = as_tuple(self);
        if (tuple == nullptr) return -1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
            PyObject* item = PyTuple_GET_ITEM(tuple, i);
            if (!PyDict_Check(item)) continue;
            PyObject* items = PyDict_Items(item);
            PyObject* frozen = items != nullptr ? PyFrozenSet_New(items) : nullptr;
            Py_XDECREF(items);
            if (frozen == nullptr) {
                Py_DECREF(tuple);
                return -1;
            }
            PyTuple_SET_ITEM(tuple, i, frozen);  // the tuple is new and ours alone
            Py_DECREF(item);
        }
        const Py_hash_t h = PyObject_Hash(tuple);
        Py_DECREF(tuple);
        return h;
    }

    template <std::size_t... I>
    static constexpr std::array<PyGetSetDef, sizeof...(I) + 1> make_getset(std::index_sequence<I...>) {
        return {{{kFields[I].name, &get<I>, nullptr, nullptr, nullptr}..., {nullptr, nullptr, nullptr, nullptr, nullptr}}};
    }
    static inline std::array<PyGetSetDef, std::size(kFields) + 1> getset =
        make_getset(std::make_index_sequence<std::size(kFields)>{});

    static inline PyMethodDef methods[] = {
        {"as_dict", as_dict, METH_NOARGS, "as_dict($self, /)\n--\n\nThe fields as a new dict, in order."},
        {nullptr, nullptr, 0, nullptr},
    };

    static PyTypeObject* type(const char* name, const char* doc) {
        static PyTypeObject* cell = nullptr;  // written once, with the interpreter lock held
        if (cell == nullptr) {
            const ClassParts parts = {name, static_cast<int>(sizeof(Object)), doc, nullptr, dealloc, repr, methods};
            cell = create_class(parts, {slot(Py_tp_richcompare, richcompare), slot(Py_tp_hash, hash),
                                        slot(Py_tp_getset, getset.data())});
        }
        return cell;
    }
};

using ServoClass = ValueClass<quorvel::ServoStatus, servo::kFields>;
using NeckClass = ValueClass<quorvel::NeckStatus, neck::kFields>;
using MotionStateClass = ValueClass<MotionStateValue, motion_state::kFields>;

template <class Class, class T, std::size_t N>
PyObject* list_of(PyTypeObject* type, const std::array<T, N>& values) {
    if (type == nullptr) return nullptr;
    return sequence_of(N, [&](std::size_t i) { return Class::create(type, values[i]); });
}

// (number, value), consuming `value`.
PyObject* pair(long number, PyObject* value) {
    if (value == nullptr) return nullptr;
    PyObject* tuple = Py_BuildValue("(lN)", number, value);
    return tuple;
}

}  // namespace

PyTypeObject* servo_status_type() {
    return ServoClass::type("quorvel_motor_controller.ServoStatus",
                            "Health reading of one servo: what its status registers say.");
}

PyTypeObject* neck_status_type() {
    return NeckClass::type("quorvel_motor_controller.NeckStatus",
                           "Health reading of one neck motor: what its feedback frame says.");
}

PyObject* make_servo_status(const quorvel::ServoStatus& value) {
    PyTypeObject* type = servo_status_type();
    return type != nullptr ? ServoClass::create(type, value) : nullptr;
}

PyObject* make_neck_status(const quorvel::NeckStatus& value) {
    PyTypeObject* type = neck_status_type();
    return type != nullptr ? NeckClass::create(type, value) : nullptr;
}

PyObject* servo_status_list(const std::array<quorvel::ServoStatus, 7>& values) {
    return list_of<ServoClass>(servo_status_type(), values);
}

PyObject* neck_status_list(const std::array<quorvel::NeckStatus, 3>& values) {
    return list_of<NeckClass>(neck_status_type(), values);
}

PyObject* servo_probe_tuple(const quorvel::ServoProbe& probe) {
    return pair(probe.model_number, make_servo_status(probe.status));
}

PyObject* neck_probe_tuple(const quorvel::NeckProbe& probe) {
    return pair(static_cast<long>(probe.control_mode), make_neck_status(probe.status));
}

PyTypeObject* motion_state_type() {
    return MotionStateClass::type("quorvel_motor_controller.MotionState",
                                  "The control loop's generated motion: whether one is active, the targets, the\n"
                                  "time left and the set point (position, velocity, acceleration) of each joint\n"
                                  "under motion.");
}

PyObject* make_motion_state(const MotionStateValue& value) {
    PyTypeObject* type = motion_state_type();
    return type != nullptr ? MotionStateClass::create(type, value) : nullptr;
}

}  // namespace qmc::py
