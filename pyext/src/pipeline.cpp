#include "pipeline.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "convert.h"
#include "core/src/execution_mode.h"
#include "errors.h"
#include "pipeline_call.h"
#include "transform_parse.h"
#include "try.h"

namespace tessalumen::py {

namespace {

constexpr std::string_view TARGETS_REQUIRED = "targets are required";
constexpr std::string_view NO_TARGETS = "a pipeline requires at least one target";
constexpr std::string_view BAD_MODE = "mode must be 'reference', 'compiled', 'staged-fresh', or 'staged-reuse'";
constexpr std::string_view ENCODED_FLOAT_OUTPUT =
    "encoded pipeline output requires an always-HWC RGB uint8 result";
constexpr std::string_view INTERNAL_FAILURE = "internal error: ";

PyTypeObject* PIPELINE_TYPE = nullptr;  // set once at module initialisation

// Runs an entry point and keeps C++ exceptions from reaching the interpreter.
template <class Body>
PyObject* entry(Body body) noexcept {
    try {
        PyResult<PyRef> result = body();
        return result ? result->release() : nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_runtime_error(std::string(INTERNAL_FAILURE) + error.what());
    } catch (...) {
        raise_runtime_error(std::string(INTERNAL_FAILURE) + "unknown exception");
    }
    return nullptr;
}

// Construction from the target check on; `targets` is not null.
PyResult<PyRef> build(PyTypeObject* type, PyObject* specs, std::uint64_t seed, const std::string& mode,
                      PyObject* targets, std::uint64_t next_key) {
    if (!PyList_Check(targets)) return raise_type_conversion(targets, "list");
    if (PyList_GET_SIZE(targets) == 0) return raise_value_error(NO_TARGETS);
    PY_TRY(std::vector<TargetRoute> routes, parse_targets(targets));

    std::vector<TargetDescriptor> descriptors;
    descriptors.reserve(routes.size());
    for (const TargetRoute& route : routes) descriptors.push_back(route.descriptor());

    const std::optional<ExecutionMode> execution_mode = parse_execution_mode(mode);
    if (!execution_mode) return raise_value_error(BAD_MODE);

    if (!PyList_Check(specs)) return raise_type_conversion(specs, "list");
    std::vector<TransformSpec> transforms;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(specs); ++i) {
        PyRef element = PyRef::borrow(PyList_GET_ITEM(specs, i));
        if (!PyDict_Check(element.get())) return raise_type_conversion(element.get(), "dict");
        PY_TRY(TransformSpec spec, parse_spec(element.get()));
        transforms.push_back(std::move(spec));
    }
    // A terminal Normalize that may run produces float samples, which no encoder takes.
    const bool may_end_in_floats = !transforms.empty() &&
                                   kind_of(transforms.back()) == TransformKind::Normalize &&
                                   probability_of(transforms.back()) > 0.0f;

    PipelineSpec spec = PipelineSpec::with_target_requirements(std::move(transforms), std::move(descriptors));
    spec.channel_choices.reserve(routes.size());
    for (const TargetRoute& route : routes) spec.channel_choices.push_back(route.channel_choice());

    CoreResult<CompiledPipeline> compiled = ExecutionPlan::compile(std::move(spec), *execution_mode);
    if (!compiled) return raise_core_error(compiled.error());

    if (may_end_in_floats) {
        for (const TargetRoute& route : routes) {
            if (route.encodes_image()) return raise_value_error(ENCODED_FLOAT_OUTPUT);
        }
    }

    PyRef object = PyRef::steal(type->tp_alloc(type, 0));
    PY_CHECK(object);
    auto* pipeline = reinterpret_cast<PyPipeline*>(object.get());
    pipeline->state = new PipelineState(std::move(*compiled), std::move(routes), seed, next_key);
    return object;
}

PyObject* pipeline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"specs", "seed", "mode", "targets", nullptr};
    PyObject* specs = nullptr;
    PyObject* seed = nullptr;
    PyObject* mode = nullptr;
    PyObject* targets = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:Pipeline", const_cast<char**>(keywords), &specs, &seed,
                                     &mode, &targets)) {
        return nullptr;
    }
    return entry([&]() -> PyResult<PyRef> {
        PY_TRY(std::uint64_t converted_seed, argument_u64(seed, "seed"));
        std::string converted_mode = "reference";
        if (mode != nullptr) {
            PY_TRY(converted_mode, argument_string(mode, "mode"));
        }
        if (targets == nullptr || targets == Py_None) return raise_value_error(TARGETS_REQUIRED);
        return build(type, specs, converted_seed, converted_mode, targets, 0);
    });
}

PyObject* pipeline_restore(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"specs", "seed", "mode", "targets", "next_key", nullptr};
    PyObject* specs = nullptr;
    PyObject* seed = nullptr;
    PyObject* mode = nullptr;
    PyObject* targets = nullptr;
    PyObject* next_key = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:_restore", const_cast<char**>(keywords), &specs, &seed,
                                     &mode, &targets, &next_key)) {
        return nullptr;
    }
    return entry([&]() -> PyResult<PyRef> {
        PY_TRY(std::string converted_mode, argument_string(mode, "mode"));
        PY_TRY(std::uint64_t converted_seed, restore_u64(seed, "seed"));
        PY_TRY(std::uint64_t converted_key, restore_u64(next_key, "next_key"));
        return build(PIPELINE_TYPE, specs, converted_seed, converted_mode, targets, converted_key);
    });
}

PyObject* pipeline_apply_targets(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"bindings", "key", nullptr};
    PyObject* bindings = nullptr;
    PyObject* key = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:apply_targets", const_cast<char**>(keywords), &bindings,
                                     &key)) {
        return nullptr;
    }
    return entry([&]() -> PyResult<PyRef> {
        std::optional<std::uint64_t> call_key;
        if (key != Py_None) {
            PY_TRY(call_key, argument_u64(key, "key"));
        }
        // The call keeps the pipeline alive while the interpreter lock is released.
        const PyRef pipeline = PyRef::borrow(self);
        PipelineState& state = *reinterpret_cast<PyPipeline*>(pipeline.get())->state;
        PY_TRY(PreparedCall call, preflight(state.routes, bindings));

        std::expected<std::vector<std::vector<NativeOutput>>, PipelineRunError> outputs;
        if (call.requires_interpreter_lock) {
            // The engine reads a caller's array in place: nothing may change it meanwhile.
            outputs = execute(state, call, call_key);
        } else {
            GilRelease released;
            outputs = execute(state, call, call_key);
        }
        if (!outputs) {
            raise_run_error(outputs.error());
            return raised();
        }
        return outputs_to_python(std::move(*outputs));
    });
}

PyObject* pipeline_snapshot_next_key(PyObject* self, PyObject*) {
    PipelineState& state = *reinterpret_cast<PyPipeline*>(self)->state;
    std::optional<std::uint64_t> key;
    {
        // Waiting for an implicit-key call to finish must not block other threads.
        GilRelease released;
        if (auto guard = state.sequence_lock.lock()) key = state.next_key;
    }
    if (!key) {
        raise_runtime_error(SEQUENCE_LOCK_POISONED);
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(*key);
}

void pipeline_dealloc(PyObject* self) {
    PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // heap types own a reference
    delete reinterpret_cast<PyPipeline*>(self)->state;
    Py_TYPE(self)->tp_free(self);
}

// In the order of the class's method table: apply_targets and explain come
// first when they exist.
PyMethodDef PIPELINE_METHODS[] = {
    {"apply_targets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_apply_targets)),
     METH_VARARGS | METH_KEYWORDS, "apply_targets($self, bindings, key=None)\n--\n\n"},
    {"_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_restore)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "_restore(specs, seed, mode, targets, next_key)\n--\n\n"},
    {"_snapshot_next_key", pipeline_snapshot_next_key, METH_NOARGS, "_snapshot_next_key($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot PIPELINE_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(pipeline_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pipeline_dealloc)},
    {Py_tp_methods, PIPELINE_METHODS},
    {Py_tp_doc, const_cast<char*>("Pipeline(specs, seed, mode=\"reference\", targets=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec PIPELINE_SPEC = {
    "_tessalumen.Pipeline",
    sizeof(PyPipeline),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    PIPELINE_SLOTS,
};

PipelineState* state_of(PyObject* object) {
    if (PIPELINE_TYPE == nullptr || !PyObject_TypeCheck(object, PIPELINE_TYPE)) return nullptr;
    return reinterpret_cast<PyPipeline*>(object)->state;
}

}  // namespace

PyResult<PyRef> make_pipeline_type() {
    PyRef type = PyRef::steal(PyType_FromSpec(&PIPELINE_SPEC));
    PY_CHECK(type);
    // The module keeps the class alive for the life of the process.
    PIPELINE_TYPE = reinterpret_cast<PyTypeObject*>(PyRef::borrow(type.get()).release());
    return type;
}

}  // namespace tessalumen::py

// Test hook, reached through ctypes by the test suite: makes a holder of one
// of the pipeline's locks fail abnormally (an exception unwinds through the
// held lock), which is how an internal assertion failure poisons it.
// `which` is 0 for the sequence lock and 1 for the workspace-pool lock.
// Returns 0, or -1 when `object` is not a Pipeline or `which` is unknown.
extern "C" __attribute__((visibility("default"))) int tessalumen_testing_fail_while_holding(PyObject* object,
                                                                                          int which) {
    tessalumen::py::PipelineState* state = tessalumen::py::state_of(object);
    if (state == nullptr) return -1;
    switch (which) {
        case 0:
            try {
                auto guard = state->sequence_lock.lock();
                throw std::logic_error("simulated internal failure while holding the sequence lock");
            } catch (const std::logic_error&) {
            }
            return 0;
        case 1: state->workspaces.fail_while_holding_for_testing(); return 0;
        default: return -1;
    }
}
