// Calls and globals: what method bodies use to reach Python.
#include "calls.hpp"

#include "traceback.hpp"
#include "versions.hpp"

#include <cstring>
#include <utility>

namespace tavro {

Ref builtin(Library& library, PyObject* name) {
    Ref value = attribute(library.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

namespace {

// `name` among builtins that are not the module's own, looked up as 3.9 looks up a global
// there: a dict directly, any other mapping by subscript, whose KeyError means "not there".
Ref foreign_builtin(PyObject* builtins, PyObject* name) {
    if (PyDict_CheckExact(builtins)) {
        Borrowed value(PyDict_GetItemWithError(builtins, name));
        if (value || PyErr_Occurred()) return value.strong();
    } else {
        Ref value = Ref::steal(PyObject_GetItem(builtins, name));
        if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace

Ref global(Context& context, PyObject* name) {
    Ref value = versions::dict_item(context.library.globals, name);
    if (value || PyErr_Occurred()) return value;
    if (context.builtins) return foreign_builtin(context.builtins, name);
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

Ref call_method_with_keyword(Context& context, PyObject* object, PyObject* name,
                             PyObject* keyword, PyObject* value) {
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

bool plain_bytes(PyObject* object, PlainBytes& plain) {
    plain.immutable = true;
    plain.owner = Ref::borrow(object);
    if (PyBytes_CheckExact(object)) {
        plain.data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object));
        plain.size = PyBytes_GET_SIZE(object);
    } else if (PyByteArray_CheckExact(object) && versions::free_threaded) {
        // Another thread may write or resize it at any moment: the call reads a copy, which
        // holds the bytes as they stood at one instant.
        {
            versions::CriticalSection still(object);
            plain.owner = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(object),
                                                               PyByteArray_GET_SIZE(object)));
        }
        if (!plain.owner) {
            PyErr_Clear();
            return false;
        }
        plain.data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(plain.owner.get()));
        plain.size = PyBytes_GET_SIZE(plain.owner.get());
    } else if (PyByteArray_CheckExact(object)) {
        plain.data = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(object));
        plain.size = PyByteArray_GET_SIZE(object);
        plain.immutable = false;
    } else if (PyUnicode_CheckExact(object) && PyUnicode_IS_ASCII(object)) {
        plain.data = PyUnicode_1BYTE_DATA(object);
        plain.size = PyUnicode_GET_LENGTH(object);
    } else if (PyUnicode_CheckExact(object)) {
        plain.owner = Ref::steal(PyUnicode_AsUTF8String(object));
        if (!plain.owner) {
            PyErr_Clear();
            return false;
        }
        plain.data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(plain.owner.get()));
        plain.size = PyBytes_GET_SIZE(plain.owner.get());
    } else {
        return false;
    }
    return true;
}

void recognise_codec(PlainEncoding& encoding) {
    char folded[16];
    std::size_t size = 0;
    for (const char* name = encoding.name; name[size]; ++size) {
        if (size + 1 == sizeof folded) return;
        const char c = name[size];
        folded[size] = c == '-' || c == ' ' ? '_' : c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    }
    folded[size] = 0;
    auto is_one_of = [&](std::initializer_list<const char*> names) {
        for (const char* known : names) {
            if (std::strcmp(folded, known) == 0) return true;
        }
        return false;
    };
    encoding.utf_8 = is_one_of({"utf_8", "utf8"});
    encoding.keeps_ascii = encoding.utf_8 || is_one_of({"ascii", "us_ascii", "latin1", "latin_1",
                                                        "iso_8859_1", "iso8859_1"});
}

bool plain_encoding(PyObject* enc, PlainEncoding& encoding) {
    if (enc == Py_None) return true;
    if (!PyUnicode_CheckExact(enc)) return false;
    if (PyUnicode_GET_LENGTH(enc) == 0) return true;
    Py_ssize_t size;
    encoding.name = PyUnicode_AsUTF8AndSize(enc, &size);
    if (!encoding.name) {
        PyErr_Clear();
        return false;
    }
    return std::strlen(encoding.name) == static_cast<std::size_t>(size);
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
            Py_ssize_t size = PyByteArray_GET_SIZE(bytearray);
            if (PyByteArray_Resize(bytearray, size + 1) < 0) return false;
            PyByteArray_AS_STRING(bytearray)[size] = static_cast<char>(byte);
            return true;
        }
    }
    // Anything else takes the method itself, so its conversions and messages are the ones
    // a Python caller would get.
    return static_cast<bool>(call_method(bytearray, context.library.names.append, {value}));
}

int is_instance(Context& context, PyObject* object, PyObject* type_name, PyTypeObject* type) {
    if (!context.builtins) return PyObject_TypeCheck(object, type);
    Ref isinstance = global(context, context.library.names.isinstance);
    if (!isinstance) return -1;
    Ref named_type = global(context, type_name);
    if (!named_type) return -1;
    Ref answer = call(isinstance.get(), {object, named_type.get()});
    return answer ? truth(answer.get()) : -1;
}

Ref length(Context& context, PyObject* object) {
    if (context.builtins) return call_global(context, context.library.names.len, {object});
    Py_ssize_t size = PyObject_Size(object);
    return Ref::steal(size < 0 ? nullptr : PyLong_FromSsize_t(size));
}

namespace {

// Whether `except handler:` takes `exception`; -1 with 3.9's TypeError when `handler` is not
// a class deriving from BaseException or a tuple of them.
int catches(PyObject* handler, PyObject* exception) {
    const bool tuple = PyTuple_Check(handler);
    for (Py_ssize_t index = 0; index < (tuple ? PyTuple_GET_SIZE(handler) : 1); ++index) {
        if (!PyExceptionClass_Check(tuple ? PyTuple_GET_ITEM(handler, index) : handler)) {
            PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from "
                                             "BaseException is not allowed");
            return -1;
        }
    }
    return PyErr_GivenExceptionMatches(exception, handler);
}

// The handlers with builtins other than the module's own, as a 3.9 frame runs them: the
// exception gets the entry of the failing line, and is the one being handled while each
// handler's name is looked up like any global. Re-raised, or taken by neither, it leaves
// with that entry alone.
bool handle_as_written(Context& context, int memory_error_line, int exception_line) {
    add_traceback_entry(context.library, context.traceback_name, context.line);
    versions::PendingException caught;
    caught.normalize();
    const FrameNames& names = context.library.names;
    {
        versions::HandledException handling(caught.value());
        for (auto [line, name] : {std::pair{memory_error_line, names.MemoryError},
                                  {exception_line, names.Exception}}) {
            context.line = line;
            Ref handler = global(context, name);
            int taken = handler ? catches(handler.get(), caught.value()) : -1;
            if (taken < 0) return false;
            if (taken && name == names.Exception) return true;
            if (taken) break;  // `raise`: it goes on as it is
        }
    }
    caught.restore();
    context.line = 0;
    return false;
}

}  // namespace

bool swallow_exception(Context& context, int memory_error_line, int exception_line) {
    if (context.builtins) return handle_as_written(context, memory_error_line, exception_line);
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return false;
    }
    add_traceback_entry(context.library, context.traceback_name, context.line);
    // The handler runs no code, so sys.exc_info() never shows the exception, and the one the
    // caller is handling stays as it is.
    versions::PendingException caught;
    caught.normalize();
    return true;
}

}  // namespace tavro
