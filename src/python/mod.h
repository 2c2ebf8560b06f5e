// The binding layer every Python-callable entry goes through: owned references,
// errors as C++ exceptions, argument binding and conversion, borrow flags, the
// lazily created process-wide objects, and the noexcept boundary templates.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cxxabi.h>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace gravline::py {

/// Whether the interpreter is shutting down.
inline bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

/// The main thread's ident (the thread that shuts the interpreter down), as
/// recorded by check_loadable and by the fork handler in a child.
extern std::atomic<unsigned long> main_thread_ident;

/// True on any thread but the main one while the interpreter shuts down. Such
/// a thread holds no lock: older interpreters end a thread that asks for it
/// then, with a forced unwind out of whatever Python code it ran, and run its
/// destructors on the way. It must touch no Python object, so what it holds
/// is left to the exit.
inline bool unwinding_at_exit() noexcept {
    return finalizing() && PyThread_get_thread_ident() != main_thread_ident.load(std::memory_order_relaxed);
}

/// Parks the calling thread for good: what a thread that the interpreter is
/// ending does instead of unwinding through frames that cannot pass the
/// unwind on (noexcept ones) or would swallow it. The process's exit ends it.
[[noreturn]] void park_thread() noexcept;

/// One owned reference. A raw PyObject * is borrowed.
class Ref {
    PyObject *p_ = nullptr;

public:
    Ref() = default;
    static Ref steal(PyObject *p) {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject *p) {
        Py_XINCREF(p);
        return steal(p);
    }
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref &&o) noexcept {
        Ref old = std::move(*this);
        p_ = std::exchange(o.p_, nullptr);
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() {
        if (p_ && !unwinding_at_exit()) Py_DECREF(p_);
    }
    PyObject *get() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
};

/// A Python exception travelling through C++ code: either one already raised by
/// the interpreter (taken out of the thread state), or one of ours to raise.
class PyError {
    PyObject *exc_ = nullptr;    // a raised exception instance, owned
    PyObject *type_ = nullptr;   // or a type and message of ours
    std::string message_;

public:
    /// Takes the exception the interpreter has set; there must be one.
    static PyError fetch();
    PyError(PyObject *type, std::string message) : type_(type), message_(std::move(message)) {}
    PyError(PyError &&o) noexcept
        : exc_(std::exchange(o.exc_, nullptr)), type_(o.type_), message_(std::move(o.message_)) {}
    PyError(const PyError &) = delete;
    ~PyError();
    /// Sets the exception in the interpreter, handing it over.
    void restore();
    /// True when the exception's type is exactly `type` (no subclass).
    bool is_exactly(PyObject *type) const;
    /// The exception instance taken from the interpreter (nullptr for one of
    /// ours), handed over to the caller.
    PyObject *release() { return std::exchange(exc_, nullptr); }

private:
    PyError() = default;
};

/// Takes the raised exception out of the thread state, normalised and with its
/// traceback; nullptr when none is set.
PyObject *take_raised_exception();
/// Raises the exception instance `exc`, handing over the reference.
void set_raised_exception(PyObject *exc);

/// Raises what the interpreter has set as a C++ exception.
[[noreturn]] void throw_error_already_set();
/// A new reference, or the pending error thrown.
inline Ref check(PyObject *p) {
    if (!p) throw_error_already_set();
    return Ref::steal(p);
}

/// Sets the current C++ exception as a Python one; the single place where C++
/// exceptions stop. Call it from inside a catch block.
void translate_exception() noexcept;

/// The process-wide PanicException class, created by drevik_gravline and shared
/// by every module built on this layer; nullptr with an exception set when it
/// cannot be had. Each module defines it (c_api.cpp, batch/imported.cpp).
PyObject *panic_type();
/// Raises the process-wide PanicException with `message`.
void raise_panic(const char *message) noexcept;
/// A broken invariant reported from binding code.
[[noreturn]] void panic(const std::string &message);

/// The type-independent part of every Lazy: the lock and creator that a forked
/// child must reset, and the process-wide list they are reset through.
class LazyBase {
protected:
    std::atomic<std::thread::id> creator_{};
    std::mutex mu_;

    LazyBase();
    LazyBase(const LazyBase &) = delete;
    LazyBase &operator=(const LazyBase &) = delete;

private:
    LazyBase *next_ = nullptr;  // the list of every lazy value, newest first; never shrinks
    friend void reset_lazy_values_in_child() noexcept;
};

/// Run in a forked child, before anything else: a creation that another thread
/// was running at the fork can never finish there (that thread does not exist
/// in the child), so its lock and creator are reset and the value, if it was
/// not published yet, is created afresh on its next use. A creation that the
/// forking thread itself was running goes on in the child and is left alone.
void reset_lazy_values_in_child() noexcept;
/// Registers reset_lazy_values_in_child to run in every forked child (once
/// per process); throws ImportError when the system refuses.
void install_fork_handler();

/// The first step of a module's registration, `name` being the module's: the
/// module object, the processor (POPCNT where built for it) and the
/// interpreter are checked, each failing with its ImportError, and the fork
/// handler is registered.
void check_loadable(PyObject *module, const char *name);

/// Takes the interpreter lock back for a thread that gave it up with
/// PyEval_SaveThread. A thread that comes back while the interpreter is
/// shutting down is never allowed to run again: older interpreters end such a
/// thread with a forced unwind, which no C++ frame here may see (destructors
/// that cannot pass it on, entry wrappers that would swallow it and go on
/// without a thread state), so the thread is parked for good instead, as
/// newer interpreters do themselves. The process's exit ends it.
void take_lock_back(PyThreadState *state) noexcept;

/// The interpreter lock given up for a scope and taken back on every exit:
/// the only way code here lets the lock go. Declare it after the borrows it
/// works under, so the lock is back before they end. Only plain C++ runs
/// inside; `locked` runs a piece of Python-facing code with the lock held.
class Unlocked {
    PyThreadState *state_;

public:
    explicit Unlocked(bool release = true) : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~Unlocked() {
        if (state_) take_lock_back(state_);
    }
    /// Runs f with the lock held again, then gives it up once more (on every
    /// exit of f, an exception included).
    template <class F>
    auto locked(F &&f) {
        if (!state_) return f();
        take_lock_back(std::exchange(state_, nullptr));
        struct Again {
            PyThreadState *&state;
            ~Again() {
                // f may have been ended by the exit without the lock taken back.
                if (!unwinding_at_exit()) state = PyEval_SaveThread();
            }
        } again{state_};
        return f();
    }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;
};

/// A value created on first need and kept for the life of the process. Two
/// threads may race to create it, with or without an interpreter lock: the
/// loser waits on the mutex with its thread state detached (so the winner may
/// take the lock, run Python code or let a collection stop the world), then
/// finds the value published with release order and reads it with acquire.
/// A creation that calls back into itself on the same thread (Python code run
/// by the creation asking for the value) fails with RuntimeError instead of
/// waiting for itself. A process forked during a creation on another thread
/// creates the value again in the child (reset_lazy_values_in_child).
template <class T>
class Lazy : private LazyBase {
    std::atomic<T *> value_{nullptr};

public:
    Lazy() = default;

    /// The value if it was created already, else nullptr.
    T *peek() const { return value_.load(std::memory_order_acquire); }

    /// The value, or nullptr with a Python exception set.
    template <class Make>
    T *get(Make &&make) {
        if (T *v = value_.load(std::memory_order_acquire)) return v;
        if (creator_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            PyErr_SetString(PyExc_RuntimeError, "drevik_gravline: recursive initialisation");
            return nullptr;
        }
        std::unique_lock lock(mu_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Unlocked unlocked;
            lock.lock();
        }
        if (T *v = value_.load(std::memory_order_acquire)) return v;
        creator_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        // Cleared on every exit, a throwing make() included, or this thread
        // would find itself the creator forever.
        struct ClearCreator {
            std::atomic<std::thread::id> &creator;
            ~ClearCreator() { creator.store(std::thread::id{}, std::memory_order_relaxed); }
        } clear{creator_};
        T *v = make();
        if (v) value_.store(v, std::memory_order_release);
        return v;
    }
};

/// The classes, created on first need; nullptr with an exception set on failure.
PyTypeObject *board_type();
PyTypeObject *game_type();
PyTypeObject *move_type();
PyTypeObject *game_outcome_type();
/// The internal failure of a class that could not be created at a later first use.
[[noreturn]] void type_creation_failed(const char *name);
/// As above, but a failure at a later first use is an internal failure.
inline PyTypeObject *require_type(PyTypeObject *(*get)(), const char *name) {
    if (PyTypeObject *t = get()) [[likely]]
        return t;
    type_creation_failed(name);
}

/// Creates a class from its spec with the flags every class here shares: not
/// subclassable, immutable from Python once created.
PyTypeObject *make_type(PyType_Spec &spec);

// ---- borrow flags ----

enum class Access { Shared, Exclusive };

/// RuntimeError "Already mutably borrowed" (a reader met a writer) or
/// "Already borrowed" (a writer met anyone).
[[noreturn]] void throw_borrow_error(Access wanted);

/// The borrow of one object for one call: shared (any number of readers) or
/// exclusive (one writer, nothing else). A conflicting access fails at once
/// instead of waiting. The flag is 0 when free, k > 0 with k readers, -1 with a
/// writer. Without an interpreter lock, taking it is an atomic acquire
/// operation and releasing a release operation, so whatever the previous holder
/// wrote to the object is visible to the next.
template <Access A>
class Borrow {
    std::atomic<int64_t> &flag_;

public:
    explicit Borrow(std::atomic<int64_t> &flag) : flag_(flag) {
#ifdef Py_GIL_DISABLED
        // Threads really run together: take the flag with one atomic
        // read-modify-write, acquiring what the previous holder published.
        if constexpr (A == Access::Shared) {
            int64_t seen = flag_.load(std::memory_order_relaxed);
            do {
                if (seen < 0) throw_borrow_error(A);
            } while (!flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                  std::memory_order_relaxed));
        } else {
            int64_t expected = 0;
            if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                               std::memory_order_relaxed))
                throw_borrow_error(A);
        }
#else
        // With an interpreter lock only its holder touches a flag, and no Python
        // code runs between this load and store, so the pair cannot interleave
        // with another thread's; the lock's hand-over orders the memory.
        const int64_t seen = flag_.load(std::memory_order_relaxed);
        if constexpr (A == Access::Shared) {
            if (seen < 0) throw_borrow_error(A);
            flag_.store(seen + 1, std::memory_order_relaxed);
        } else {
            if (seen != 0) throw_borrow_error(A);
            flag_.store(-1, std::memory_order_relaxed);
        }
#endif
    }
    ~Borrow() {
#ifdef Py_GIL_DISABLED
        // Release order publishes this holder's writes to the next one.
        if constexpr (A == Access::Shared) flag_.fetch_sub(1, std::memory_order_release);
        else flag_.store(0, std::memory_order_release);
#else
        if constexpr (A == Access::Shared)
            flag_.store(flag_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        else flag_.store(0, std::memory_order_relaxed);
#endif
    }
    Borrow(const Borrow &) = delete;
    Borrow &operator=(const Borrow &) = delete;
};

using SharedBorrow = Borrow<Access::Shared>;
using ExclusiveBorrow = Borrow<Access::Exclusive>;

// ---- argument binding ----

/// The arguments of one call, in parameter order, all present once bound.
///
/// Positional arguments are borrowed: the caller's argument tuple or vectorcall
/// array holds them for the whole call, and neither can be changed by anyone,
/// so this costs the common call nothing. Each keyword value is held with a
/// reference of its own until the call returns: a keyword dictionary is an
/// ordinary mutable object that Python code run by the call (an argument's
/// `__index__` that finds it through gc.get_referrers) can clear, which would
/// free a value still to be converted. A vectorcall's keyword values sit in the
/// caller's array and would be safe borrowed, but one rule for every keyword
/// keeps both paths safe whatever the caller did to build them.
///
/// Read it as an array (`bound[i]`) or unpack it: `const auto [a, b] = bind(...)`.
template <std::size_t N>
class Bound {
    static_assert(N <= 32, "one bit per argument in owned_");
    std::array<PyObject *, N> args_{};
    uint32_t owned_ = 0;  // bit i set: args_[i] is a reference of our own

public:
    Bound() = default;
    Bound(Bound &&o) noexcept : args_(o.args_), owned_(std::exchange(o.owned_, 0)) {}
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
    Bound &operator=(Bound &&) = delete;
    ~Bound() {
        if (owned_ && unwinding_at_exit()) return;
        for (uint32_t m = owned_; m; m &= m - 1) Py_DECREF(args_[std::countr_zero(m)]);
    }

    PyObject *operator[](std::size_t i) const { return args_[i]; }
    template <std::size_t I>
    PyObject *get() const {
        return args_[I];
    }

    /// For the binders: the slots and the bits of the owned ones.
    PyObject **slots() { return args_.data(); }
    uint32_t &owned() { return owned_; }
};

/// Binds vectorcall arguments to `names`, raising the TypeError that the call's
/// shape deserves. `full_name` is e.g. "Game.make_move()". Keyword values are
/// stored as new references, each marked in `owned` as soon as it is taken.
void bind_args(const char *full_name, const char *const *names, std::size_t n,
               PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out,
               uint32_t &owned);
/// The same for an argument tuple and keyword dictionary (`__new__`).
void bind_tuple(const char *full_name, const char *const *names, std::size_t n, PyObject *args,
                PyObject *kwargs, PyObject **out, uint32_t &owned);
/// Both with optional and keyword-only parameters: the first `positional`
/// names may be given by position, the first `required` must be given; an
/// optional one not given stays nullptr.
void bind_args(const char *full_name, const char *const *names, std::size_t n, std::size_t positional,
               std::size_t required, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               PyObject **out, uint32_t &owned);
void bind_tuple(const char *full_name, const char *const *names, std::size_t n, std::size_t positional,
                std::size_t required, PyObject *args, PyObject *kwargs, PyObject **out,
                uint32_t &owned);

template <std::size_t N>
Bound<N> bind(const char *full_name, const std::array<const char *, N> &names,
              PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Bound<N> out;
    // The common call, every argument by position, has nothing to check.
    if (!kwnames && PyVectorcall_NARGS(nargs) == static_cast<Py_ssize_t>(N)) [[likely]] {
        for (std::size_t i = 0; i < N; ++i) out.slots()[i] = args[i];
    } else {
        bind_args(full_name, names.data(), N, args, nargs, kwnames, out.slots(), out.owned());
    }
    return out;
}

template <std::size_t N>
Bound<N> bind(const char *full_name, const std::array<const char *, N> &names, PyObject *args,
              PyObject *kwargs) {
    Bound<N> out;
    if (!kwargs && PyTuple_GET_SIZE(args) == static_cast<Py_ssize_t>(N)) [[likely]] {
        for (std::size_t i = 0; i < N; ++i) out.slots()[i] = PyTuple_GET_ITEM(args, i);
    } else {
        bind_tuple(full_name, names.data(), N, args, kwargs, out.slots(), out.owned());
    }
    return out;
}

template <std::size_t N>
Bound<N> bind(const char *full_name, const std::array<const char *, N> &names, std::size_t positional,
              std::size_t required, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Bound<N> out;
    bind_args(full_name, names.data(), N, positional, required, args, nargs, kwnames, out.slots(),
              out.owned());
    return out;
}

template <std::size_t N>
Bound<N> bind(const char *full_name, const std::array<const char *, N> &names, std::size_t positional,
              std::size_t required, PyObject *args, PyObject *kwargs) {
    Bound<N> out;
    bind_tuple(full_name, names.data(), N, positional, required, args, kwargs, out.slots(), out.owned());
    return out;
}

// ---- argument conversion ----

/// A non-negative integer of up to 64 bits: an int directly, anything else
/// through __index__. Failures are the interpreter's; an exactly-TypeError
/// failure names the argument.
uint64_t to_u64(PyObject *o, const char *name);
/// A column or row: only the low eight bits count.
inline unsigned to_u8_low(PyObject *o, const char *name) {
    return static_cast<unsigned>(to_u64(o, name) & 0xff);
}
/// A signed 8-bit value (a piece or a perspective).
int8_t to_i8(PyObject *o, const char *name);

/// Replaces a pending exactly-TypeError with "argument '{name}': {message}",
/// keeping its cause, and throws; other errors are thrown unchanged.
[[noreturn]] void throw_argument_error(const char *name);

/// The cast rule's TypeError: "'{type}' object is not an instance of '{class}'".
[[noreturn]] void throw_not_instance(PyObject *o, const char *class_name);
/// The same, wrapped as an argument error naming `name`.
[[noreturn]] void throw_argument_not_instance(PyObject *o, const char *class_name, const char *name);

// ---- containers that other threads may change ----

/// The items of a sequence argument as a tuple of its own (a new reference), or
/// nullptr with the exception set; `message` is the TypeError of a
/// non-sequence. A list is copied while it is held still: under its own lock on
/// free-threaded builds (an item that another thread drops meanwhile would
/// otherwise be freed under a borrowed pointer), under the interpreter lock
/// elsewhere. A tuple is returned as it is, since no one can change it.
Ref sequence_tuple(PyObject *o, const char *message);

/// A dictionary's value for `key` with a reference of its own, or an empty
/// Ref when the key is missing (a failed look-up throws): neither Python code
/// run while the value is in use (a dtype's text, an array subclass's hooks)
/// nor another thread without an interpreter lock can free it under us by
/// emptying the dictionary.
Ref dict_item(PyObject *dict, const char *key);

// ---- results ----

inline Ref py_bool(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref py_none() { return Ref::borrow(Py_None); }
inline Ref py_long(long v) { return check(PyLong_FromLong(v)); }
inline Ref py_ulong(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline Ref py_float(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref py_str(const std::string &s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

/// Adds `value` (a new reference; null raises the pending error) to a module
/// under `name`, appended to __all__ (created empty on first use) first.
void module_add(PyObject *module, const char *name, Ref value);
/// A new reference to a class; null raises the pending error.
Ref type_ref(PyTypeObject *type);

/// Checks that `width` and `height` are within 4..32, width first, and
/// narrows them; raises ValueError with the size message otherwise.
std::pair<uint8_t, uint8_t> validate_board_dimensions(uint64_t width, uint64_t height);

// ---- entry templates: the only places where C++ exceptions stop ----

/// A method table entry's function of any calling convention.
template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// METH_FASTCALL | METH_KEYWORDS entry.
template <Ref (*Fn)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)>
PyObject *fastcall(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    try {
        return Fn(self, args, nargs, kwnames).release();
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

/// METH_NOARGS entry (also the shape of __str__ and __repr__ with one argument).
template <Ref (*Fn)(PyObject *)>
PyObject *noargs(PyObject *self, PyObject *) noexcept {
    try {
        return Fn(self).release();
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

/// A unary slot (__str__, __repr__).
template <Ref (*Fn)(PyObject *)>
PyObject *unary(PyObject *self) noexcept {
    try {
        return Fn(self).release();
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

/// A binary slot (__getitem__).
template <Ref (*Fn)(PyObject *, PyObject *)>
PyObject *binary(PyObject *self, PyObject *other) noexcept {
    try {
        return Fn(self, other).release();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

/// The hash slot: -1 only with an exception set.
template <Py_hash_t (*Fn)(PyObject *)>
Py_hash_t hash_slot(PyObject *self) noexcept {
    try {
        return Fn(self);
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        translate_exception();
        return -1;
    }
}

/// tp_new.
template <Ref (*Fn)(PyTypeObject *, PyObject *, PyObject *)>
PyObject *new_slot(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    try {
        return Fn(type, args, kwargs).release();
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

/// tp_richcompare.
template <Ref (*Fn)(PyObject *, PyObject *, int)>
PyObject *compare_slot(PyObject *self, PyObject *other, int op) noexcept {
    try {
        return Fn(self, other, op).release();
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

/// Py_mod_exec: 0, or -1 with an exception set.
template <void (*Fn)(PyObject *)>
int exec_slot(PyObject *module) noexcept {
    try {
        Fn(module);
        return 0;
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        translate_exception();
        return -1;
    }
}

/// The slots of both modules' definitions: `Exec` registers the module's
/// contents, starting with check_loadable; the others say where it may load.
template <void (*Exec)(PyObject *)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_slot<Exec>)},
#if PY_VERSION_HEX >= 0x030C0000
    // The classes and the exception class are process-wide objects, which the
    // batch module borrows too; another interpreter must not share them, so a
    // second interpreter's import fails (check_loadable covers the interpreters
    // this slot lets in).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Each object's atomic borrow flag guards it; neither module keeps other
    // mutable state, and the lazy values are created under a lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

/// Equality by a value key for value classes: other classes give NotImplemented,
/// "!=" negates the interpreter's own "==" of the two operands, orderings give
/// NotImplemented, and an unknown operator code is an internal failure.
template <class Key>
Ref compare_values(PyObject *self, PyObject *other, int op, PyTypeObject *type, Key key) {
    switch (op) {
    case Py_EQ:
        if (!PyObject_TypeCheck(other, type)) return Ref::borrow(Py_NotImplemented);
        return py_bool(key(self) == key(other));
    case Py_NE: {
        const int eq = PyObject_RichCompareBool(self, other, Py_EQ);
        if (eq < 0) throw_error_already_set();
        return py_bool(!eq);
    }
    case Py_LT:
    case Py_LE:
    case Py_GT:
    case Py_GE:
        return Ref::borrow(Py_NotImplemented);
    default:
        // A fixed public text (PanicException) that callers match on: keep it as it is.
        panic("invalid compareop");
    }
}

// ---- the shape of every instance ----

/// Checks the receiver of a method against its class (the cast rule). The
/// class exists by the time any of its methods runs, so the exact-type test
/// against the published class pointer is the whole check on the normal path.
/// The rest of check_receiver, kept out of line.
[[gnu::noinline]] inline void check_receiver_slow(PyObject *self, PyTypeObject *(*get)(),
                                                  const char *class_name) {
    PyTypeObject *type = require_type(get, class_name);
    if (!self || !PyObject_TypeCheck(self, type)) throw_not_instance(self ? self : Py_None, class_name);
}

[[gnu::always_inline]] inline void check_receiver(PyObject *self, Lazy<PyTypeObject> &cls,
                                                  PyTypeObject *(*get)(), const char *class_name) {
    if (PyTypeObject *t = cls.peek(); t && self && Py_IS_TYPE(self, t)) [[likely]]
        return;
    check_receiver_slow(self, get, class_name);
}

}  // namespace gravline::py

// Unpacking a Bound into one name per argument.
namespace std {
template <std::size_t N>
struct tuple_size<gravline::py::Bound<N>> : integral_constant<std::size_t, N> {};
template <std::size_t I, std::size_t N>
struct tuple_element<I, gravline::py::Bound<N>> {
    using type = PyObject *;
};
}  // namespace std
