// Calls and globals: what method bodies use to reach Python.
#include "calls.hpp"

#include "builtins_39.hpp"
#include "versions.hpp"

namespace tavro {

Ref builtin(Library& library, PyObject* name) {
    Ref value = attribute(library.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

Ref global(Context& context, PyObject* name) {
    Ref value = versions::dict_item(context.library.globals, name);
    if (value || PyErr_Occurred()) return value;
    if constexpr (versions::calls_find_module_builtins) {
        if (PyObject* builtins = context.foreign_builtins()) return foreign_builtin(builtins, name);
    }
    return builtin(context.library, name);
}

Ref call(PyObject* callable, PyObject* arguments, PyObject* keywords) {
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) return Ref::steal(PyObject_Call(callable, arguments, keywords));
    if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
    PyObject* result = slot(callable, arguments, keywords);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return Ref::steal(result);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> arguments) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
    if (!tuple) return {};
    Py_ssize_t index = 0;
    for (PyObject* argument : arguments) {
        Py_INCREF(argument);
        PyTuple_SET_ITEM(tuple.get(), index++, argument);
    }
    return call(callable, tuple.get());
}

Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> arguments) {
    Ref method = attribute(object, name);
    if (!method) return {};
    return call(method.get(), arguments);
}

Ref call_global(Context& context, PyObject* name, std::initializer_list<PyObject*> arguments) {
    Ref callable = global(context, name);
    if (!callable) return {};
    return call(callable.get(), arguments);
}

Ref call_global_method(Context& context, PyObject* global_name, PyObject* method_name,
                       std::initializer_list<PyObject*> arguments) {
    Ref object = global(context, global_name);
    if (!object) return {};
    return call_method(object.get(), method_name, arguments);
}

Ref call_method_with_keyword(Context& context, PyObject* object, PyObject* name, PyObject* keyword,
                             PyObject* value) {
    Ref method = attribute(object, name);
    if (!method) return {};
    Ref keywords = Ref::steal(PyDict_New());
    if (!keywords || PyDict_SetItem(keywords.get(), keyword, value) < 0) return {};
    return call(method.get(), context.library.empty_tuple, keywords.get());
}

Ref encode_utf8(PyObject* text, PyObject* encode_name, PyObject* codec) {
    if (PyUnicode_CheckExact(text)) return Ref::steal(PyUnicode_AsUTF8String(text));
    return call_method(text, encode_name, {codec});
}

Ref item(PyObject* object, Py_ssize_t index) {
    // Exact lists and tuples run no Python code on indexing; everything else, and an index
    // past the end, goes through the type's own subscript.
    if (PyList_CheckExact(object)) {
        if (Ref found = versions::list_item(object, index)) return found;
    }
    if (PyTuple_CheckExact(object) && index < PyTuple_GET_SIZE(object)) {
        return Ref::borrow(PyTuple_GET_ITEM(object, index));
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(object, key.get()));
}

bool append_byte(Context& context, PyObject* bytearray, PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long byte = PyLong_AsLongAndOverflow(value, &overflow);
        if (!overflow && byte >= 0 && byte < 256) {
            return append_known_byte(bytearray, static_cast<unsigned char>(byte));
        }
    }
    // Anything else takes the method itself, so its conversions and messages are the ones
    // a Python caller would get.
    return static_cast<bool>(call_method(bytearray, context.library.names.append, {value}));
}

bool append_known_byte(PyObject* bytearray, unsigned char byte) {
    Py_ssize_t size = PyByteArray_GET_SIZE(bytearray);
    if (PyByteArray_Resize(bytearray, size + 1) < 0) return false;
    PyByteArray_AS_STRING(bytearray)[size] = static_cast<char>(byte);
    return true;
}

Ref decoded_if_asked(Context& context, Ref data, PyObject* enc, int if_line, int decode_line) {
    context.line = if_line;
    int wants_text = truth(enc);
    if (wants_text < 0) return {};
    if (!wants_text) return data;
    context.line = decode_line;
    const FrameNames& names = context.library.names;
    return call_method_with_keyword(context, data.get(), names.decode, names.encoding, enc);
}

int is_instance(Context& context, PyObject* object, PyObject* type_name, PyTypeObject* type) {
    if (!context.foreign_builtins()) return PyObject_TypeCheck(object, type);
    Ref isinstance = global(context, context.library.names.isinstance);
    if (!isinstance) return -1;
    Ref named_type = global(context, type_name);
    if (!named_type) return -1;
    Ref answer = call(isinstance.get(), {object, named_type.get()});
    return answer ? truth(answer.get()) : -1;
}

Ref length(Context& context, PyObject* object) {
    if (context.foreign_builtins())
        return call_global(context, context.library.names.len, {object});
    Py_ssize_t size = PyObject_Size(object);
    return Ref::steal(size < 0 ? nullptr : PyLong_FromSsize_t(size));
}

}  // namespace tavro
