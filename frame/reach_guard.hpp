// What a fast path takes for granted, and the check that it still holds.
//
// A fast path gives a method's outcome without making the calls its body makes. That is
// sound only while everything those calls would reach is what was there at load: module
// globals, class attributes, builtins, the standard library's functions. `ReachGuard`
// records them when the module loads, and `hold()` answers, with a few comparisons when
// nothing changed, whether all are still in place. When anything changed it looks again,
// comparing by identity only (so no code of anyone's runs), and a fast path that is not
// sure gives way to the general path.
#pragma once

#include "library.hpp"
#include "ref.hpp"
#include "versions.hpp"

#include <atomic>

namespace tavro {

// `dict[name]`, found by comparing keys by identity (no key's __eq__ runs), or empty.
Borrowed find_entry(PyObject* dict, PyObject* name);
// An exact module whose `__name__` is `name`.
bool is_module_named(PyObject* object, PyObject* dunder_name, const char* name);
// A builtin function (or method) whose module object is `module`.
bool is_builtin_of(PyObject* function, PyObject* module);

class ReachGuard {
public:
    // `dict[name] is value` must hold (and `name` must be there).
    void expect_entry(PyObject* dict, PyObject* name, PyObject* value);
    // Nothing in `dict` may change: its entries are compared with a copy taken now.
    void expect_unchanged(PyObject* dict);
    // A class: its metaclass stays `type`, and its own entries recorded with expect_entry
    // are checked whenever its version tag moves.
    void expect_class(PyObject* type);
    // A Python function: its code, defaults and keyword defaults stay the ones seen now.
    void expect_function(PyObject* function);
    // The methods of `library` find the builtins it loaded with (see versions::CallBuiltins).
    void expect_own_builtins(Library& library);
    // Another library's guard, which must hold as well.
    void expect_held(ReachGuard* other);

    // Ends the recording; with `usable` false (something was not as a fast path needs it,
    // or recording failed), the fast path is never taken.
    void seal(bool usable);

    bool hold();

private:
    bool look_again();

    // Room for what the two libraries record, with some to spare. A guard asked to record
    // more never holds, so the fast paths it guards are never taken (test_fast_paths, which
    // sees which builtins a call reaches, fails then).
    static constexpr int max_entries = 24;
    static constexpr int max_copies = 4;
    static constexpr int max_functions = 8;
    static constexpr int max_classes = 4;
    static constexpr int max_others = 2;
    struct Entry {
        PyObject* dict;
        PyObject* name;
        PyObject* value;
    };
    struct Copy {
        PyObject* dict;
        PyObject* copy;
    };
    struct Function {
        PyObject* function;
        PyObject* code;
        PyObject* defaults;
        PyObject* keyword_defaults;
    };
    // Any thread may look again and record the version it saw.
    struct Class {
        PyTypeObject* type = nullptr;
        std::atomic<unsigned> version{0};
    };
    Entry entries_[max_entries];
    Copy copies_[max_copies];
    Function functions_[max_functions];
    Class classes_[max_classes];
    ReachGuard* others_[max_others];
    int entry_count_ = 0, copy_count_ = 0, function_count_ = 0, class_count_ = 0;
    int other_count_ = 0;
    bool overflow_ = false;
    bool usable_ = false;
    versions::DictWatch watch_;
};

}  // namespace tavro
