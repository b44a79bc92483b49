// The function type: every method is an object of it, shared by both libraries of a process.
#include "function.hpp"

#include "binding.hpp"
#include "ref.hpp"
#include "traceback.hpp"
#include "versions.hpp"

#include <structmember.h>

namespace tavro {
namespace {

// Both libraries find the registered type under this module in sys.modules, under an
// attribute named for the shared layout's version.
constexpr const char* registry_module = "_tavro_ciphers_frame";

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject* run_paths(const Method& method, Context& context, PyObject* const* parameters) {
    if (context.foreign_builtins()) {
        return (method.written_39 ? method.written_39 : method.general)(context, parameters);
    }
    if (method.fast) {
        if (FastAnswer fast = method.fast(context, parameters); fast.answered()) {
            return fast.release();
        }
    }
    return method.general(context, parameters);
}

PyObject* function_call(PyObject* self, PyObject* arguments, PyObject* keywords) {
    Function* function = as_function(self);
    Method& method = *function->method;
    Library& library = *function->library;
    versions::CallBuiltins builtins;
    if (!builtins.find(library.globals, library.builtins, library.names.dunder_builtins,
                       library.builtins_entry)) {
        return nullptr;
    }
    Ref bound[max_parameters];
    if (!bind_arguments(method, arguments, keywords, bound)) {
        if (method.binding_failure_adds_entry()) {
            add_traceback_entry(library, method.traceback_name, method.definition_line);
        }
        return nullptr;
    }
    PyObject* parameters[max_parameters];
    for (int index = 0; index < method.parameter_count; ++index) {
        parameters[index] = bound[index].get();
    }
    Context context{library, method.traceback_name, method.definition_line, builtins.foreign()};
    PyObject* result = run_paths(method, context, parameters);
    if (!result && context.line) add_traceback_entry(library, method.traceback_name, context.line);
    return result;
}

PyObject* or_none(PyObject* value) {
    PyObject* result = value ? value : Py_None;
    Py_INCREF(result);
    return result;
}

// The attributes a caller may set are read and replaced under the function's lock, so that
// another thread never takes a reference to a value being released.
PyObject* read_slot(PyObject* self, PyObject* const* slot) {
    versions::CriticalSection still(self);
    return or_none(*slot);
}
void replace_slot(PyObject* self, PyObject** slot, PyObject* value) {
    Py_INCREF(value);
    PyObject* old;
    {
        versions::CriticalSection still(self);
        old = *slot;
        *slot = value;
    }
    Py_XDECREF(old);
}

PyObject* function_repr(PyObject* self) {
    Ref qualname = Ref::steal(read_slot(self, &as_function(self)->qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* function = as_function(self);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->code);
    Py_VISIT(function->globals);
    Py_VISIT(function->dict);
    Py_VISIT(function->annotations);
    return 0;
}

int function_clear(PyObject* self) {
    Function* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->code);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return or_none(as_function(self)->code); }
PyObject* get_globals(PyObject* self, void*) { return or_none(as_function(self)->globals); }

PyObject* get_name(PyObject* self, void*) { return read_slot(self, &as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) {
    return read_slot(self, &as_function(self)->qualname);
}
PyObject* get_doc(PyObject* self, void*) { return read_slot(self, &as_function(self)->doc); }

int set_text(PyObject* self, PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    replace_slot(self, slot, value);
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(self, &as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(self, &as_function(self)->qualname, value, "__qualname__");
}
int set_doc(PyObject* self, PyObject* value, void*) {
    replace_slot(self, &as_function(self)->doc, value ? value : Py_None);
    return 0;
}

// __dict__ and __annotations__ are dicts made when first asked for, as on Python functions.
// Made before the lock is taken (allocating may run the collector), and kept only by the
// thread that finds the slot still empty.
PyObject* lazy_dict(PyObject* self, PyObject** slot) {
    Ref found = Ref::steal(read_slot(self, slot));
    if (found.get() != Py_None) return found.release();
    Ref made = Ref::steal(PyDict_New());
    if (!made) return nullptr;
    versions::CriticalSection still(self);
    if (!*slot) *slot = made.release();
    Py_INCREF(*slot);
    return *slot;
}
int set_dict_slot(PyObject* self, PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a dict object", what);
        return -1;
    }
    replace_slot(self, slot, value);
    return 0;
}
PyObject* get_dict(PyObject* self, void*) { return lazy_dict(self, &as_function(self)->dict); }
int set_dict(PyObject* self, PyObject* value, void*) {
    return set_dict_slot(self, &as_function(self)->dict, value, "__dict__");
}
PyObject* get_annotations(PyObject* self, void*) {
    return lazy_dict(self, &as_function(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    return set_dict_slot(self, &as_function(self)->annotations, value, "__annotations__");
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickle and copy take a method by reference, as they take a Python function: the qualified
// name is looked up in the module named by `__module__`. Returning a string is how builtin
// functions ask for that; a renamed or private (mangled) method fails the lookup just as a
// Python function of that name would.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return read_slot(self, &as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject make_function_type() {
    PyTypeObject type{};
    Py_SET_REFCNT(&type, 1);
    type.tp_name = "tavro_function";
    type.tp_basicsize = sizeof(Function);
    type.tp_dealloc = function_dealloc;
    type.tp_repr = function_repr;
    type.tp_call = function_call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(Function, weakrefs);
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    type.tp_members = function_members;
    type.tp_dictoffset = offsetof(Function, dict);
    return type;
}

PyTypeObject function_type = make_function_type();

}  // namespace

int ready_function_type(Library& library) {
    char registry_attribute[32];
    PyOS_snprintf(registry_attribute, sizeof registry_attribute, "function_type_%d",
                  shared_layout_version);
    Ref registry = versions::add_module(registry_module);
    if (!registry || PyType_Ready(&function_type) < 0) return -1;
    Ref key = Ref::steal(PyUnicode_InternFromString(registry_attribute));
    if (!key) return -1;
    // The libraries may load in two threads at once: the first type set is the one both use.
    Ref registered = versions::dict_set_default(PyModule_GetDict(registry.get()), key.get(),
                                                reinterpret_cast<PyObject*>(&function_type));
    if (!registered) return -1;
    PyObject* type = registered.get();
    if (!PyType_Check(type) ||
        reinterpret_cast<PyTypeObject*>(type)->tp_basicsize != sizeof(Function)) {
        PyErr_Format(PyExc_TypeError,
                     "the shared function type %.200R does not have the expected size %zd", type,
                     static_cast<Py_ssize_t>(sizeof(Function)));
        return -1;
    }
    library.function_type = reinterpret_cast<PyTypeObject*>(registered.release());
    return 0;
}

PyObject* new_function(Library& library, Method& method, PyObject* defaults) {
    Function* function = PyObject_GC_New(Function, library.function_type);
    if (!function) return nullptr;
    function->method = &method;
    function->library = &library;
    function->name = method.name_string;
    function->qualname = method.qualname_string;
    function->module = library.full_name;
    function->doc = Py_None;
    function->defaults = defaults;
    function->code = method.code;
    function->globals = library.globals;
    function->dict = nullptr;
    function->annotations = nullptr;
    function->weakrefs = nullptr;
    Py_XINCREF(function->name);
    Py_XINCREF(function->qualname);
    Py_XINCREF(function->module);
    Py_INCREF(Py_None);
    Py_XINCREF(defaults);
    Py_XINCREF(function->code);
    Py_XINCREF(function->globals);
    PyObject* self = reinterpret_cast<PyObject*>(function);
    PyObject_GC_Track(self);
    return self;
}

}  // namespace tavro
