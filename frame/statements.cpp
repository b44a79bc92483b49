// Statements of module bodies: imports, class statements, plain bindings.
#include "statements.hpp"

#include "calls.hpp"
#include "function.hpp"

namespace tavro {
namespace {

Ref import_relative_first(Context& context, PyObject* name, PyObject* from_list) {
    PyObject* globals = context.library.globals;
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    Ref module =
        Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), from_list, 1));
    if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        module =
            Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), from_list, 0));
    }
    return module;
}

bool bind(Context& context, PyObject* name, PyObject* value) {
    return PyDict_SetItem(context.library.globals, name, value) == 0;
}

}  // namespace

bool import_module(Context& context, PyObject* name, PyObject* bind_as) {
    Ref from_list = Ref::steal(PyList_New(0));
    if (!from_list) return false;
    Ref module = import_relative_first(context, name, from_list.get());
    return module && bind(context, bind_as, module.get());
}

bool import_from(Context& context, PyObject* name, PyObject* attribute_name) {
    Ref from_list = Ref::steal(PyList_New(1));
    if (!from_list) return false;
    Py_INCREF(attribute_name);
    PyList_SET_ITEM(from_list.get(), 0, attribute_name);
    Ref module = import_relative_first(context, name, from_list.get());
    if (!module) return false;
    Ref value = attribute(module.get(), attribute_name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute_name);
        }
        return false;
    }
    return bind(context, attribute_name, value.get());
}

bool build_class(Context& context, PyObject* name, int class_line, std::span<Method> methods) {
    Library& library = context.library;
    const FrameNames& names = library.names;
    context.line = class_line;
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!namespace_ ||
        PyDict_SetItem(namespace_.get(), names.dunder_module, library.full_name) < 0 ||
        PyDict_SetItem(namespace_.get(), names.dunder_qualname, name) < 0) {
        return false;
    }
    for (Method& method : methods) {
        context.line = method.definition_line;
        bool has_optional = method.parameter_count > method.required_count;
        Ref function = Ref::steal(
            new_function(library, method, has_optional ? library.none_default : nullptr));
        if (!function) return false;
        context.line = method.definition_line - 1;  // the @staticmethod line
        Ref wrapped = call(library.staticmethod, {function.get()});
        if (!wrapped) return false;
        context.line = method.definition_line;
        if (PyDict_SetItem(namespace_.get(), *method.class_entry, wrapped.get()) < 0) {
            return false;
        }
    }
    context.line = class_line;
    // Held: the call may change the namespace the metaclass came from.
    Ref metaclass =
        Borrowed(PyDict_GetItemWithError(namespace_.get(), names.dunder_metaclass)).strong();
    if (!metaclass) {
        if (PyErr_Occurred()) return false;
        metaclass = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    }
    Ref class_object = call(metaclass.get(), {name, library.empty_tuple, namespace_.get()});
    return class_object && bind(context, name, class_object.get());
}

bool bind_new_dict(Context& context, PyObject* name) {
    Ref dict = Ref::steal(PyDict_New());
    return dict && bind(context, name, dict.get());
}

}  // namespace tavro
