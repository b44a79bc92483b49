// Loading: the create and exec steps that bring a cipher module into the interpreter.
#include "loading.hpp"

#include "calls.hpp"
#include "function.hpp"
#include "traceback.hpp"
#include "versions.hpp"

#include <utility>

namespace tavro {
namespace {

// Set-up failures are reported at the top of the source.
constexpr int setup_line = 1;

Library& library_of(PyModuleDef* definition) {
    // `definition` is the first member of its Library.
    return *reinterpret_cast<Library*>(definition);
}

void replace(PyObject** slot, PyObject* value) { Py_XSETREF(*slot, value); }

// Only one interpreter may ever use a library: its process-wide state serves one.
bool same_interpreter_as_before(Library& library) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (library.interpreter_id == -1) {
        library.interpreter_id = id;
        return id != -1;
    }
    if (id != library.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copies a module spec attribute into the namespace; a missing attribute is skipped.
bool copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* namespace_,
                         const char* key, bool copy_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !copy_none) return true;
    return PyDict_SetItemString(namespace_, key, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef* definition) {
    Library& library = library_of(definition);
    if (!same_interpreter_as_before(library)) return nullptr;
    if (library.module) {
        Py_INCREF(library.module);
        return library.module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    // The module keeps its namespace: reading the module spec's attributes may run Python
    // code, and none of it can reach the module, which nothing else holds yet.
    Borrowed namespace_(PyModule_GetDict(module.get()));
    if (!copy_spec_attribute(spec, "loader", namespace_.get(), "__loader__", true) ||
        !copy_spec_attribute(spec, "origin", namespace_.get(), "__file__", true) ||
        !copy_spec_attribute(spec, "parent", namespace_.get(), "__package__", true) ||
        !copy_spec_attribute(spec, "submodule_search_locations", namespace_.get(), "__path__",
                             false)) {
        return nullptr;
    }
    return module.release();
}

// A mismatch warns and loading goes on, unless the warning filters make it an error.
int check_version(const Library& library) {
    char compiled[8];
    char running[8];
    if (versions::same_version(compiled, running)) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, library.description.full_name, running);
    return PyErr_WarnEx(nullptr, message, 1);
}

int make_empty_tuple(Library& library) {
    replace(&library.empty_tuple, PyTuple_New(0));
    return library.empty_tuple ? 0 : -1;
}

bool make_string(PyObject** slot, const char* text, bool interned) {
    PyObject* string = interned ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
    replace(slot, string);
    return string && PyObject_Hash(string) != -1;
}

bool make_formatted(PyObject** slot, PyObject* string) {
    replace(slot, string);
    return string != nullptr;
}

#define TAVRO_FRAME_NAME_ROW(member, text) StringConstant{&names.member, text, true},

bool make_constants(Library& library) {
    const Description& description = library.description;
    FrameNames& names = library.names;
    const StringConstant frame_strings[] = {
        TAVRO_FRAME_NAMES(TAVRO_FRAME_NAME_ROW)
        {&library.full_name, description.full_name, true},
        {&library.source_path, description.source_path, false},
    };
    for (const auto& strings :
         {std::span<const StringConstant>(frame_strings), description.strings}) {
        for (const StringConstant& constant : strings) {
            if (!make_string(constant.slot, constant.text, constant.interned)) return false;
        }
    }
    if (!make_formatted(&library.init_name,
                        PyUnicode_FromFormat("init %s", description.full_name))) {
        return false;
    }
    for (Method& method : description.methods) {
        if (method.parameter_count > max_parameters) {
            PyErr_Format(PyExc_SystemError, "%s has more parameters than the frame binds",
                         method.qualname);
            return false;
        }
        if (!make_string(&method.name_string, method.name, true) ||
            !make_string(&method.qualname_string, method.qualname, true) ||
            !make_formatted(
                &method.traceback_name,
                PyUnicode_FromFormat("%s.%s", description.full_name, method.qualname))) {
            return false;
        }
    }
    for (const IntConstant& constant : description.ints) {
        replace(constant.slot, PyLong_FromLong(constant.value));
        if (!*constant.slot) return false;
    }
    return true;
}

bool insert_into_sys_modules(Library& library) {
    Borrowed modules(PyImport_GetModuleDict());
    if (Borrowed(PyDict_GetItemWithError(modules.get(), library.full_name))) return true;
    if (PyErr_Occurred()) return false;
    return PyDict_SetItem(modules.get(), library.full_name, library.module) == 0;
}

bool capture_builtin(Library& library, PyObject* name, PyObject** slot) {
    replace(slot, builtin(library, name).release());
    return *slot != nullptr;
}

// A method's __code__: the interpreter's placeholder for its name and definition line (which
// raises rather than crash should anything run it), given the method's parameters, local
// names and the plain optimised flags.
Ref make_code_object(Library& library, const Method& method) {
    const FrameNames& names = library.names;
    const int local_count = method.local_count();
    Ref locals = Ref::steal(PyTuple_New(local_count));
    if (!locals) return {};
    for (int index = 0; index < local_count; ++index) {
        PyObject* name = *method.locals[index];
        Py_INCREF(name);
        PyTuple_SET_ITEM(locals.get(), index, name);
    }
    Ref placeholder = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(library.description.source_path, method.name, method.definition_line)));
    if (!placeholder) return {};
    Ref argument_count = Ref::steal(PyLong_FromLong(method.parameter_count));
    Ref local_total = Ref::steal(PyLong_FromLong(local_count));
    Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Ref changes = Ref::steal(PyDict_New());
    if (!argument_count || !local_total || !flags || !changes) return {};
    const std::pair<PyObject*, PyObject*> fields[] = {
        {names.co_argcount, argument_count.get()},   {names.co_nlocals, local_total.get()},
        {names.co_varnames, locals.get()},           {names.co_flags, flags.get()},
        {names.co_filename, library.source_path},    {names.co_name, method.name_string},
        {names.co_qualname, method.qualname_string},
    };
    for (const auto& [field, value] : fields) {
        if (field == names.co_qualname && !versions::code_has_qualname) continue;
        if (PyDict_SetItem(changes.get(), field, value) < 0) return {};
    }
    Ref replace = attribute(placeholder.get(), names.replace);
    if (!replace) return {};
    Ref code = call(replace.get(), library.empty_tuple, changes.get());
    if (code && versions::code_gains_nofree_flag) {
        // Callers that read the flags expect the plain pair.
        reinterpret_cast<PyCodeObject*>(code.get())->co_flags = CO_OPTIMIZED | CO_NEWLOCALS;
    }
    return code;
}

bool make_code_objects(Library& library) {
    for (Method& method : library.description.methods) {
        replace(&method.code, make_code_object(library, method).release());
        if (!method.code) return false;
    }
    replace(&library.none_default, PyTuple_Pack(1, Py_None));
    return library.none_default != nullptr;
}

// Steps from recording the module to the end of its body; `context.line` tells where a
// failure happened.
bool initialise(Library& library, PyObject* module, Context& context) {
    const Description& description = library.description;
    Py_INCREF(module);
    library.module = module;
    replace(&library.globals, Ref::borrow(PyModule_GetDict(module)).release());
    replace(&library.builtins, versions::add_module("builtins").release());
    if (!library.builtins || PyObject_SetAttrString(module, "__builtins__", library.builtins) < 0) {
        return false;
    }
    if (!make_constants(library)) return false;
    context.traceback_name = library.init_name;
    if (*description.run_as_main &&
        PyObject_SetAttr(module, library.names.dunder_name, library.names.dunder_main) < 0) {
        return false;
    }
    if (!insert_into_sys_modules(library)) return false;
    if (!capture_builtin(library, library.names.staticmethod, &library.staticmethod)) {
        return false;
    }
    for (const CapturedBuiltin& builtin : description.builtins) {
        if (!capture_builtin(library, *builtin.name, builtin.value)) return false;
    }
    if (!make_code_objects(library)) return false;
    return description.run_body(context) == 0;
}

int exec_module(PyObject* module) {
    Library& library = library_of(PyModule_GetDef(module));
    if (library.module) {
        if (library.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     library.description.name);
        return -1;
    }
    if (check_version(library) < 0 || make_empty_tuple(library) < 0 ||
        ready_function_type(library) < 0) {
        return -1;
    }
    Context context{library, library.init_name, setup_line};
    if (initialise(library, module, context)) return 0;
    add_traceback_entry(library, context.traceback_name, context.line);
    Py_CLEAR(library.module);
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "init %s", library.description.full_name);
    }
    return -1;
}

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

std::array<PyModuleDef_Slot, 4> steps = versions::module_slots(
    reinterpret_cast<void*>(create_module), reinterpret_cast<void*>(exec_module));

}  // namespace

Library::Library(const Description& description)
    : definition{PyModuleDef_HEAD_INIT, description.name, credit_block, 0,      no_functions,
                 steps.data(),          nullptr,          nullptr,      nullptr},
      description(description) {}

PyObject* module_definition(Library& library) { return PyModuleDef_Init(&library.definition); }

}  // namespace tavro
