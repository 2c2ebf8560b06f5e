// The shared binding code: error translation, PanicException, the lazy values
// across fork, argument binding and conversion, the cast rule, borrow errors
// and the board-size check.
#include "mod.h"

#include <new>
#include <cxxabi.h>
#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif
#include <string_view>

#include "../limits.h"

namespace gravline::py {

// ---- errors ----

PyObject *take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void set_raised_exception(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

PyError PyError::fetch() {
    PyError e;
    e.exc_ = take_raised_exception();
    if (!e.exc_) {
        // Nothing was raised although a call reported failure: say so rather
        // than return NULL with no exception.
        e.type_ = PyExc_SystemError;
        e.message_ = "error return without exception set";
    }
    return e;
}

PyError::~PyError() {
    if (exc_ && !unwinding_at_exit()) Py_DECREF(exc_);
}

void PyError::restore() {
    if (exc_) set_raised_exception(std::exchange(exc_, nullptr));
    else PyErr_SetString(type_, message_.c_str());
}

bool PyError::is_exactly(PyObject *type) const {
    if (exc_) return reinterpret_cast<PyObject *>(Py_TYPE(exc_)) == type;
    return type_ == type;
}

void throw_error_already_set() { throw PyError::fetch(); }

void raise_panic(const char *message) noexcept {
    // Without the class (out of memory creating it) its creation error stands.
    if (PyObject *type = panic_type()) PyErr_SetString(type, message);
}

void panic(const std::string &message) { throw InternalError(message); }

void translate_exception() noexcept {
    try {
        throw;
    } catch (PyError &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        // InternalError and anything else the C++ side threw: report, don't crash.
        raise_panic(e.what());
    } catch (...) {
        // A fixed public text (PanicException) that callers match on.
        raise_panic("unknown internal error");
    }
}

void take_lock_back(PyThreadState *state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind &) {
        // The interpreter is shutting down and ends this thread. The unwind
        // must not be swallowed and cannot be passed on through the callers'
        // noexcept frames; the thread never leaves this handler, so it holds
        // nothing the rest of the exit needs.
        park_thread();
    }
}

std::atomic<unsigned long> main_thread_ident{0};

namespace {

/// Records the interpreter's main thread: _thread knows it from 3.12 on,
/// threading's main_thread() before.
void record_main_thread() {
    Ref thread = check(PyImport_ImportModule("_thread"));
    Ref ident = Ref::steal(PyObject_CallMethod(thread.get(), "_get_main_thread_ident", nullptr));
    if (!ident) {
        PyErr_Clear();
        Ref threading = check(PyImport_ImportModule("threading"));
        Ref main = check(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        ident = check(PyObject_GetAttrString(main.get(), "ident"));
    }
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_error_already_set();
    main_thread_ident.store(id, std::memory_order_relaxed);
}

}  // namespace

void park_thread() noexcept {
    for (;;) pause();
}

void throw_borrow_error(Access wanted) {
    throw PyError(PyExc_RuntimeError,
                  wanted == Access::Shared ? "Already mutably borrowed" : "Already borrowed");
}

PyTypeObject *make_type(PyType_Spec &spec) {
    PyObject *type = PyType_FromSpec(&spec);
#if PY_VERSION_HEX >= 0x030E0000
    // The immutable-type flag already refuses attribute changes; freezing
    // also fixes the class's dictionary for the interpreter's own caches.
    if (type && PyType_Freeze(reinterpret_cast<PyTypeObject *>(type)) < 0) Py_CLEAR(type);
#endif
    return reinterpret_cast<PyTypeObject *>(type);
}

void type_creation_failed(const char *name) {
    PyErr_Clear();
    // A fixed public text (PanicException) that callers match on: keep it as it is.
    panic(std::string("failed to create type object for `") + name + "`");
}

// ---- lazy values across fork ----

namespace {

// Pushed by each lazy value's constructor (at load, but safe from any thread).
std::atomic<LazyBase *> lazy_values{nullptr};

}  // namespace

LazyBase::LazyBase() {
    next_ = lazy_values.load(std::memory_order_relaxed);
    while (!lazy_values.compare_exchange_weak(next_, this, std::memory_order_release,
                                              std::memory_order_relaxed)) {
    }
}

void reset_lazy_values_in_child() noexcept {
    // Plain stores only: the child of a threaded process may call nothing that
    // takes a lock or allocates before it has settled.
    const std::thread::id self = std::this_thread::get_id();
    // The forking thread is the child's main thread, as the interpreter makes it.
    main_thread_ident.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    for (LazyBase *l = lazy_values.load(std::memory_order_acquire); l; l = l->next_) {
        // The child's one thread is the forking one, under the same id: if it
        // is the creator, it holds the lock and will finish and release it.
        if (l->creator_.load(std::memory_order_relaxed) == self) continue;
        // Otherwise the lock is free or held by a thread that is gone; a
        // mutex is plain memory, so a fresh one replaces it.
        new (&l->mu_) std::mutex;
        l->creator_.store(std::thread::id{}, std::memory_order_relaxed);
    }
}

void install_fork_handler() {
#ifndef _WIN32
    // The C library's child hook rather than os.register_at_fork: it runs in
    // every forked child, before any Python code there (at-fork callbacks of
    // others that might call this module included), and also after a fork made
    // by C code. There is no "prepare" hook: waiting in the parent for running
    // creations to finish could deadlock, since a creation runs Python code and
    // may need the interpreter lock that the forking thread holds.
    // Once per process, with an atomic flag rather than a guarded static: a
    // child forked while another thread held the guard would wait on it
    // forever at its own import.
    static constinit std::atomic<bool> registered{false};
    if (registered.exchange(true, std::memory_order_acq_rel)) return;
    if (pthread_atfork(nullptr, nullptr, reset_lazy_values_in_child) != 0) {
        registered.store(false, std::memory_order_release);
        throw PyError(PyExc_ImportError, "drevik_gravline could not register its fork handler");
    }
#endif
}

void check_loadable(PyObject *module, const char *name) {
    if (!PyModule_Check(module)) throw PyError(PyExc_TypeError, "expected a module object");
#if defined(__POPCNT__) && (defined(__x86_64__) || defined(__i386__))
    // Built to count bits with POPCNT: refuse to load where it would fault.
    if (!__builtin_cpu_supports("popcnt"))
        throw PyError(PyExc_ImportError,
                      std::string(name) + " needs a processor with the POPCNT instruction");
#endif
    // The classes and the exception class are process-wide: only the main
    // interpreter may have them. The interpreters slot refuses an isolated
    // interpreter before this runs, but a legacy one (sharing the main one's
    // settings) passes it on 3.12 and later, and 3.11 has no slot at all:
    // refuse every other interpreter here, in the slot's words.
    if (PyInterpreterState_Get() != PyInterpreterState_Main())
        throw PyError(PyExc_ImportError,
                      "module " + std::string(name) + " does not support loading in subinterpreters");
    record_main_thread();
    install_fork_handler();
}

// ---- argument binding ----

namespace {

[[noreturn]] void throw_type_error(const std::string &message) {
    throw PyError(PyExc_TypeError, message);
}

std::string utf8(PyObject *s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw_error_already_set();
    return std::string(p, static_cast<std::size_t>(n));
}

bool names_equal(PyObject *keyword, const char *name) {
    return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

/// 'a', or 'a' and 'b', or 'a', 'b', and 'c'.
std::string name_list(const char *const *names, std::size_t n, PyObject *const *out) {
    std::string list;
    std::size_t missing = 0, total = 0;
    for (std::size_t i = 0; i < n; ++i) total += out[i] == nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        if (out[i]) continue;
        ++missing;
        if (missing > 1) {
            if (total > 2) list += ",";
            list += missing == total ? " and " : " ";
        }
        list += "'";
        list += names[i];
        list += "'";
    }
    return list;
}

/// `required` of the first `n` parameters must be given; a range is named when
/// some positional ones are optional ("takes from 0 to 1 positional arguments").
void check_positional(const char *full_name, std::size_t n, std::size_t required, Py_ssize_t nargs) {
    if (static_cast<std::size_t>(nargs) <= n) return;
    const std::string range =
        required < n ? "from " + std::to_string(required) + " to " + std::to_string(n) : std::to_string(n);
    throw_type_error(std::string(full_name) + " takes " + range + " positional arguments but " +
                     std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
}

/// The index of the parameter that `keyword` names, not yet given a value.
std::size_t keyword_slot(const char *full_name, const char *const *names, std::size_t n,
                         PyObject *keyword, PyObject *const *out) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!names_equal(keyword, names[i])) continue;
        if (out[i])
            throw_type_error(std::string(full_name) + " got multiple values for argument '" +
                             names[i] + "'");
        return i;
    }
    throw_type_error(std::string(full_name) + " got an unexpected keyword argument '" +
                     utf8(keyword) + "'");
}

/// Stores a keyword value as a reference of our own (see Bound).
void place_keyword(const char *full_name, const char *const *names, std::size_t n, PyObject *keyword,
                   PyObject *value, PyObject **out, uint32_t &owned) {
    const std::size_t i = keyword_slot(full_name, names, n, keyword, out);
    out[i] = Py_NewRef(value);
    owned |= uint32_t{1} << i;
}

void check_missing(const char *full_name, const char *const *names, std::size_t n, PyObject **out) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < n; ++i) missing += out[i] == nullptr;
    if (missing == 0) return;
    throw_type_error(std::string(full_name) + " missing " + std::to_string(missing) +
                     " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                     name_list(names, n, out));
}

}  // namespace

void bind_args(const char *full_name, const char *const *names, std::size_t n,
               PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out,
               uint32_t &owned) {
    bind_args(full_name, names, n, n, n, args, nargs, kwnames, out, owned);
}

void bind_args(const char *full_name, const char *const *names, std::size_t n, std::size_t positional,
               std::size_t required, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               PyObject **out, uint32_t &owned) {
    nargs = PyVectorcall_NARGS(nargs);
    check_positional(full_name, positional, required, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            place_keyword(full_name, names, n, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out,
                          owned);
    }
    check_missing(full_name, names, required, out);
}

void bind_tuple(const char *full_name, const char *const *names, std::size_t n, PyObject *args,
                PyObject *kwargs, PyObject **out, uint32_t &owned) {
    bind_tuple(full_name, names, n, n, n, args, kwargs, out, owned);
}

void bind_tuple(const char *full_name, const char *const *names, std::size_t n, std::size_t positional,
                std::size_t required, PyObject *args, PyObject *kwargs, PyObject **out,
                uint32_t &owned) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    check_positional(full_name, positional, required, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        // Python callers pass a dictionary made for this call, which no other
        // thread can reach. A C caller that passes one it shares with other
        // threads must not change it during the call, as with any C API call.
        // Code that the call itself runs later (an argument's __index__) may
        // still find it and empty it: every value is held by then (Bound).
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            place_keyword(full_name, names, n, key, value, out, owned);
    }
    check_missing(full_name, names, required, out);
}

// ---- argument conversion ----

void throw_argument_error(const char *name) {
    PyError first = PyError::fetch();
    if (!first.is_exactly(PyExc_TypeError)) throw std::move(first);
    Ref old = Ref::steal(first.release());
    Ref text = check(PyObject_Str(old.get()));
    Ref message = check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref replacement = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (PyObject *cause = PyException_GetCause(old.get()))
        PyException_SetCause(replacement.get(), cause);  // steals the cause
    set_raised_exception(replacement.release());
    throw_error_already_set();
}

uint64_t to_u64(PyObject *o, const char *name) {
#if PY_VERSION_HEX >= 0x030C0000
    // Small non-negative ints, the common case, need no call.
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o));
        if (v >= 0) return static_cast<uint64_t>(v);
    }
#endif
    Ref index;
    if (!PyLong_Check(o)) {
        index = Ref::steal(PyNumber_Index(o));
        if (!index) throw_argument_error(name);
        o = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_argument_error(name);
    return v;
}

int8_t to_i8(PyObject *o, const char *name) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw_argument_error(name);
    if (v < -128 || v > 127)
        throw PyError(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<int8_t>(v);
}

namespace {

std::string not_instance_message(PyObject *o, const char *class_name) {
    if (o == Py_None) return std::string("'None' is not an instance of '") + class_name + "'";
    Ref qualname = check(PyType_GetQualName(Py_TYPE(o)));
    return "'" + utf8(qualname.get()) + "' object is not an instance of '" + class_name + "'";
}

}  // namespace

void throw_not_instance(PyObject *o, const char *class_name) {
    throw_type_error(not_instance_message(o, class_name));
}

void throw_argument_not_instance(PyObject *o, const char *class_name, const char *name) {
    throw_type_error(std::string("argument '") + name + "': " + not_instance_message(o, class_name));
}

// ---- containers that other threads may change ----

Ref sequence_tuple(PyObject *o, const char *message) {
    Ref fast = Ref::steal(PySequence_Fast(o, message));
    if (!fast || !PyList_Check(fast.get())) return fast;
    PyObject *list = fast.get();
    PyObject *tuple = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    // Nothing here may throw: the section must reach its end.
    Py_BEGIN_CRITICAL_SECTION(list);
#endif
    const Py_ssize_t n = PyList_GET_SIZE(list);
    tuple = PyTuple_New(n);
    if (tuple)
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(PyList_GET_ITEM(list, i)));
#if PY_VERSION_HEX >= 0x030D0000
    Py_END_CRITICAL_SECTION();
#endif
    return Ref::steal(tuple);
}

Ref dict_item(PyObject *dict, const char *key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value = nullptr;
    if (PyDict_GetItemStringRef(dict, key, &value) < 0) throw_error_already_set();
    return Ref::steal(value);
#else
    // Every interpreter before 3.13 has the lock, which keeps the dictionary
    // unchanged between the look-up and the new reference.
    Ref k = check(PyUnicode_FromString(key));
    PyObject *value = PyDict_GetItemWithError(dict, k.get());
    if (!value && PyErr_Occurred()) throw_error_already_set();
    return Ref::borrow(value);
#endif
}

// ---- modules ----

void module_add(PyObject *module, const char *name, Ref value) {
    if (!value) throw_error_already_set();
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_already_set();
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_error_already_set();
    }
    Ref key = check(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), key.get()) < 0) throw_error_already_set();
    if (PyObject_SetAttr(module, key.get(), value.get()) < 0) throw_error_already_set();
}

Ref type_ref(PyTypeObject *type) {
    if (!type) throw_error_already_set();
    return Ref::borrow(reinterpret_cast<PyObject *>(type));
}

// ---- board size ----

std::pair<uint8_t, uint8_t> validate_board_dimensions(uint64_t width, uint64_t height) {
    // Tested on the full values, so 263 is not mistaken for 7.
    if (width < kMinDimension || width > kMaxDimension) throw PyError(PyExc_ValueError, width_error());
    if (height < kMinDimension || height > kMaxDimension)
        throw PyError(PyExc_ValueError, height_error());
    return {static_cast<uint8_t>(width), static_cast<uint8_t>(height)};
}

}  // namespace gravline::py
