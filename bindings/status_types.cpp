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
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(texts.size()));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = py(texts[i]);
        if (item == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item);
    }
    return tuple;
}

// One field of a value class: its name and how to read it.
template <class T>
struct Field {
    const char* name;
    PyObject* (*get)(const T&);
};

#define QMC_FIELD(T, member) Field<T>{#member, [](const T& v) -> PyObject* { return py(v.member); }}

constexpr Field<quorvel::ServoStatus> kServoFields[] = {
    QMC_FIELD(quorvel::ServoStatus, name),     QMC_FIELD(quorvel::ServoStatus, id),
    QMC_FIELD(quorvel::ServoStatus, position), QMC_FIELD(quorvel::ServoStatus, velocity),
    QMC_FIELD(quorvel::ServoStatus, load),     QMC_FIELD(quorvel::ServoStatus, voltage),
    QMC_FIELD(quorvel::ServoStatus, temperature), QMC_FIELD(quorvel::ServoStatus, current),
    QMC_FIELD(quorvel::ServoStatus, moving),   QMC_FIELD(quorvel::ServoStatus, errors),
};

constexpr Field<quorvel::NeckStatus> kNeckFields[] = {
    QMC_FIELD(quorvel::NeckStatus, name),          QMC_FIELD(quorvel::NeckStatus, can_id),
    QMC_FIELD(quorvel::NeckStatus, position),      QMC_FIELD(quorvel::NeckStatus, velocity),
    QMC_FIELD(quorvel::NeckStatus, torque),        QMC_FIELD(quorvel::NeckStatus, temperature_mos),
    QMC_FIELD(quorvel::NeckStatus, temperature_rotor), QMC_FIELD(quorvel::NeckStatus, enabled),
    QMC_FIELD(quorvel::NeckStatus, fault),         QMC_FIELD(quorvel::NeckStatus, turns_off_zero),
};

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
        constexpr auto n = static_cast<Py_ssize_t>(std::size(kFields));
        PyObject* tuple = PyTuple_New(n);
        if (tuple == nullptr) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = kFields[i].get(value_of(self));
            if (item == nullptr) {
                Py_DECREF(tuple);
                return nullptr;
            }
            PyTuple_SET_ITEM(tuple, i, item);
        }
        return tuple;
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

    static Py_hash_t hash(PyObject* self) {
        PyObject* tuple = as_tuple(self);
        if (tuple == nullptr) return -1;
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

    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(hash)},
        {Py_tp_methods, methods},
        {Py_tp_getset, nullptr},  // filled in by spec()
        {0, nullptr},
    };

    static PyTypeObject* type(const char* name, const char* doc) {
        static PyTypeObject* cell = nullptr;  // written once, with the interpreter lock held
        if (cell != nullptr) return cell;
        static PyType_Slot filled[std::size(slots) + 1];
        std::size_t n = 0;
        for (const PyType_Slot& slot : slots) {
            if (slot.slot == 0) break;
            filled[n++] = slot.slot == Py_tp_getset ? PyType_Slot{Py_tp_getset, getset.data()} : slot;
        }
        filled[n++] = {Py_tp_doc, const_cast<char*>(doc)};
        filled[n] = {0, nullptr};
        static PyType_Spec spec = {name, static_cast<int>(sizeof(Object)), 0,
                                   kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, filled};
        cell = create_type(spec);
        return cell;
    }
};

using ServoClass = ValueClass<quorvel::ServoStatus, kServoFields>;
using NeckClass = ValueClass<quorvel::NeckStatus, kNeckFields>;

template <class Class, class T, std::size_t N>
PyObject* list_of(PyTypeObject* type, const std::array<T, N>& values) {
    if (type == nullptr) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(N));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* item = Class::create(type, values[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
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

}  // namespace qmc::py
