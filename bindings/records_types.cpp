#include "bindings/records_types.hpp"

#include <array>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/types.hpp"
#include "controller/motor_tables.hpp"

namespace qmc::py {
namespace {

// ---- Pickling: both classes are pickled as (cls._from_pickle, fields) ----

// The class's _from_pickle (a new reference), or null with an exception set.
PyObject* rebuild_function(PyObject* self) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_pickle");
}

PyMethodDef reduce_method(PyObject* (*reduce)(PyObject*, PyObject*)) {
    return {"__reduce__", as_c_function(reduce), METH_NOARGS, nullptr};
}

PyMethodDef from_pickle_method(PyObject* (*from_pickle)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return {"_from_pickle", as_c_function(from_pickle), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, nullptr};
}

// ---- QuorvelTorsoPosition ----

struct TorsoPositionObject {
    PyObject_HEAD
    quorvel::QuorvelTorsoPosition value;
};

quorvel::QuorvelTorsoPosition& position_of(PyObject* self) {
    return reinterpret_cast<TorsoPositionObject*>(self)->value;
}

PyObject* new_torso_position(PyTypeObject* type, const quorvel::QuorvelTorsoPosition& value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&position_of(self)) quorvel::QuorvelTorsoPosition(value);
    return self;
}

PyObject* torso_position_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"left_arm", "right_arm", "nose", "neck"};
        static constexpr Signature kSignature{"QuorvelTorsoPosition", kNames, 4};
        PyObject* arg[4];
        if (!bind_arguments(kSignature, args, kwargs, arg)) return nullptr;
        std::vector<double> groups[4];
        for (int i = 0; i < 4; ++i) {
            if (!to_float_vector(arg[i], kNames[i], groups[i])) return nullptr;
        }
        if (groups[0].size() != 2 || groups[1].size() != 2 || groups[2].size() != 3 || groups[3].size() != 3)
            return raise_value_error("Each arm must have 2 positions, nose must have 3, neck must have 3.");
        quorvel::QuorvelTorsoPosition value;
        std::copy(groups[0].begin(), groups[0].end(), value.left_arm.begin());
        std::copy(groups[1].begin(), groups[1].end(), value.right_arm.begin());
        std::copy(groups[2].begin(), groups[2].end(), value.nose.begin());
        std::copy(groups[3].begin(), groups[3].end(), value.neck.begin());
        value.timestamp = quorvel::wall_clock_timestamp();
        return new_torso_position(type, value);
    });
}

PyObject* torso_position_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string text = position_of(self).repr();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* get_left_arm(PyObject* self, void*) { return float_list(position_of(self).left_arm); }
PyObject* get_right_arm(PyObject* self, void*) { return float_list(position_of(self).right_arm); }
PyObject* get_nose(PyObject* self, void*) { return float_list(position_of(self).nose); }
PyObject* get_neck(PyObject* self, void*) { return float_list(position_of(self).neck); }
PyObject* get_timestamp(PyObject* self, void*) { return PyFloat_FromDouble(position_of(self).timestamp); }

// ---- QuorvelTorsoPosition: value semantics ----
// Equal when every position and the time stamp are equal (not hashable);
// pickles and copies through _from_pickle, which keeps the time stamp.

PyObject* torso_position_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, Py_TYPE(self))) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = position_of(self) == position_of(other);
    return bool_object(equal == (op == Py_EQ));
}

PyObject* torso_position_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const quorvel::QuorvelTorsoPosition& value = position_of(self);
        PyObject* rebuild = rebuild_function(self);
        if (rebuild == nullptr) return nullptr;
        return Py_BuildValue("N(NNNNd)", rebuild, float_list(value.left_arm), float_list(value.right_arm),
                             float_list(value.nose), float_list(value.neck), value.timestamp);
    });
}

// _from_pickle(left_arm, right_arm, nose, neck, timestamp): the position as pickled.
PyObject* torso_position_from_pickle(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"left_arm", "right_arm", "nose", "neck", "timestamp"};
        static constexpr Signature kSignature{"_from_pickle", kNames, 5};
        PyObject* arg[5];
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
        quorvel::QuorvelTorsoPosition value;
        if (!to_float_array(arg[0], kNames[0], value.left_arm) || !to_float_array(arg[1], kNames[1], value.right_arm) ||
            !to_float_array(arg[2], kNames[2], value.nose) || !to_float_array(arg[3], kNames[3], value.neck) ||
            !to_double(arg[4], kNames[4], value.timestamp))
            return nullptr;
        return new_torso_position(reinterpret_cast<PyTypeObject*>(cls), value);
    });
}

// {joint name: position} for the ten joints in servo-vector then neck order, and "timestamp".
PyObject* torso_position_as_dict(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const quorvel::QuorvelTorsoPosition& value = position_of(self);
        const std::array<double, 7> servos = value.servos();
        PyObject* dict = PyDict_New();
        if (dict == nullptr) return nullptr;
        const auto put = [dict](std::string_view name, double number) {
            PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
            PyObject* item = key != nullptr ? PyFloat_FromDouble(number) : nullptr;
            const bool stored = item != nullptr && PyDict_SetItem(dict, key, item) == 0;
            Py_XDECREF(key);
            Py_XDECREF(item);
            return stored;
        };
        bool ok = true;
        for (std::size_t i = 0; ok && i < quorvel::kServoJoints.size(); ++i)
            ok = put(quorvel::kServoJoints[i].name, servos[i]);
        for (std::size_t i = 0; ok && i < quorvel::kNeckJoints.size(); ++i)
            ok = put(quorvel::kNeckJoints[i].name, value.neck[i]);
        if (!ok || !put("timestamp", value.timestamp)) {
            Py_DECREF(dict);
            return nullptr;
        }
        return dict;
    });
}

PyMethodDef torso_position_methods[] = {
    {"as_dict", as_c_function(torso_position_as_dict), METH_NOARGS,
     "as_dict($self, /)\n--\n\n{joint name: position in rad} for the ten joints, and \"timestamp\"."},
    reduce_method(torso_position_reduce),
    from_pickle_method(torso_position_from_pickle),
    kEndOfMethods,
};

PyGetSetDef torso_position_getset[] = {
    attribute("left_arm", get_left_arm),
    attribute("right_arm", get_right_arm),
    attribute("nose", get_nose),
    attribute("neck", get_neck, "Neck joint positions in rad: [yaw, pitch, roll]."),
    attribute("timestamp", get_timestamp),
    kEndOfAttributes,
};

// ---- ControlLoopStats ----

struct StatsObject {
    PyObject_HEAD
    quorvel::ControlLoopStats value;
    // Each attribute's list, built on first access and returned from then on.
    PyObject* period_list;
    PyObject* read_dt_list;
    PyObject* write_dt_list;
};

StatsObject* stats_object(PyObject* self) { return reinterpret_cast<StatsObject*>(self); }
quorvel::ControlLoopStats& stats_of(PyObject* self) { return stats_object(self)->value; }

void stats_dealloc(PyObject* self) {
    StatsObject* stats = stats_object(self);
    Py_XDECREF(stats->period_list);
    Py_XDECREF(stats->read_dt_list);
    Py_XDECREF(stats->write_dt_list);
    stats->value.~ControlLoopStats();
    free_instance(self);
}

PyObject* stats_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string text = stats_of(self).repr();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// A new list of the samples as floats.
PyObject* sample_list(const quorvel::SampleSeq& samples) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(samples.size()));
    if (list == nullptr) return nullptr;
    Py_ssize_t at = 0;
    bool ok = true;
    samples.for_each_run([&](std::span<const double> run) {
        for (double sample : run) {
            PyObject* value = ok ? PyFloat_FromDouble(sample) : nullptr;
            if (value == nullptr) ok = false;
            PyList_SET_ITEM(list, at++, value != nullptr ? value : Py_NewRef(Py_None));
        }
    });
    if (!ok) {
        Py_DECREF(list);
        return nullptr;
    }
    return list;
}

// The cached list, built once (the object never changes).
PyObject* cached_list(PyObject*& cache, const quorvel::SampleSeq& samples) {
    if (cache == nullptr) cache = sample_list(samples);
    return Py_XNewRef(cache);
}

PyObject* get_period(PyObject* self, void*) { return cached_list(stats_object(self)->period_list, stats_of(self).period); }
PyObject* get_read_dt(PyObject* self, void*) {
    return cached_list(stats_object(self)->read_dt_list, stats_of(self).read_dt);
}
PyObject* get_write_dt(PyObject* self, void*) {
    return cached_list(stats_object(self)->write_dt_list, stats_of(self).write_dt);
}

// ---- ControlLoopStats: value semantics ----
// Kept to the public attributes, whatever the storage behind them: equal
// when the three sample lists are equal (not hashable); pickled as the three
// lists and rebuilt by _from_pickle.

constexpr const char* kStatsFields[] = {"period", "read_dt", "write_dt"};

PyObject* stats_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, Py_TYPE(self))) Py_RETURN_NOTIMPLEMENTED;
        bool equal = true;
        for (const char* field : kStatsFields) {
            PyObject* mine = PyObject_GetAttrString(self, field);
            PyObject* theirs = mine != nullptr ? PyObject_GetAttrString(other, field) : nullptr;
            const int same = theirs != nullptr ? PyObject_RichCompareBool(mine, theirs, Py_EQ) : -1;
            Py_XDECREF(mine);
            Py_XDECREF(theirs);
            if (same < 0) return nullptr;
            if (same == 0) {
                equal = false;
                break;
            }
        }
        return bool_object(equal == (op == Py_EQ));
    });
}

PyObject* stats_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* rebuild = rebuild_function(self);
        if (rebuild == nullptr) return nullptr;
        return Py_BuildValue("N(NNN)", rebuild, PyObject_GetAttrString(self, kStatsFields[0]),
                             PyObject_GetAttrString(self, kStatsFields[1]),
                             PyObject_GetAttrString(self, kStatsFields[2]));
    });
}

// _from_pickle(period, read_dt, write_dt): statistics as pickled.
PyObject* stats_from_pickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature kSignature{"_from_pickle", kStatsFields, 3};
        PyObject* arg[3];
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
        std::vector<double> period, read_dt, write_dt;
        if (!to_float_vector(arg[0], kStatsFields[0], period) || !to_float_vector(arg[1], kStatsFields[1], read_dt) ||
            !to_float_vector(arg[2], kStatsFields[2], write_dt))
            return nullptr;
        return make_control_loop_stats(quorvel::ControlLoopStats{period, read_dt, write_dt});
    });
}

PyMethodDef stats_methods[] = {reduce_method(stats_reduce), from_pickle_method(stats_from_pickle), kEndOfMethods};

// ---- ControlLoopStats: attributes ----

PyGetSetDef stats_getset[] = {attribute("period", get_period), attribute("read_dt", get_read_dt),
                              attribute("write_dt", get_write_dt), kEndOfAttributes};

const ClassParts torso_position_parts = {"quorvel_motor_controller.QuorvelTorsoPosition",
                                         static_cast<int>(sizeof(TorsoPositionObject)),
                                         "QuorvelTorsoPosition(left_arm, right_arm, nose, neck)\n--\n\n",
                                         torso_position_new, free_instance, torso_position_repr,
                                         torso_position_methods};

// Instances come only from the control loop: Python cannot create one.
const ClassParts stats_parts = {"quorvel_motor_controller.ControlLoopStats", static_cast<int>(sizeof(StatsObject)), "",
                                nullptr, stats_dealloc, stats_repr, stats_methods};

PyTypeObject* torso_position_cell = nullptr;
PyTypeObject* stats_cell = nullptr;

}  // namespace

// Each type is created on first use; callers hold the interpreter lock.
PyTypeObject* torso_position_type() {
    if (torso_position_cell == nullptr)
        torso_position_cell = create_class(torso_position_parts, {slot(Py_tp_richcompare, torso_position_richcompare),
                                                                  slot(Py_tp_getset, torso_position_getset)});
    return torso_position_cell;
}

PyTypeObject* control_loop_stats_type() {
    if (stats_cell == nullptr)
        stats_cell =
            create_class(stats_parts, {slot(Py_tp_richcompare, stats_richcompare), slot(Py_tp_getset, stats_getset)});
    return stats_cell;
}

PyObject* make_torso_position(const quorvel::QuorvelTorsoPosition& value) {
    PyTypeObject* type = torso_position_type();
    return type != nullptr ? new_torso_position(type, value) : nullptr;
}

bool to_torso_position(PyObject* obj, const char* name, quorvel::QuorvelTorsoPosition& out) {
    PyTypeObject* type = torso_position_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(obj, type)) {
        raise_type_error(std::string("argument '") + name + "': expected QuorvelTorsoPosition, got " +
                         Py_TYPE(obj)->tp_name);
        return false;
    }
    out = position_of(obj);
    return true;
}

PyObject* make_control_loop_stats(quorvel::ControlLoopStats stats) {
    PyTypeObject* type = control_loop_stats_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&stats_of(self)) quorvel::ControlLoopStats(std::move(stats));
    stats_object(self)->period_list = nullptr;
    stats_object(self)->read_dt_list = nullptr;
    stats_object(self)->write_dt_list = nullptr;
    return self;
}

}  // namespace qmc::py
