// Owned references and error helpers shared by the quarn extensions.
//
// Every reference this code owns lives in a `Ref`; this header is the only
// place that decrements reference counts.  A function that can fail returns
// an empty `Ref` with the Python error set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// CPython 3.6 has no public dict size macro.
#if PY_VERSION_HEX < 0x03070000 && !defined(PyDict_GET_SIZE)
#define PyDict_GET_SIZE(mp) PyDict_Size(mp)
#endif

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace quarn {

class Ref {
public:
    Ref() noexcept : p_(nullptr) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) {
            PyObject *old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (the result of most C API calls).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed pointer.
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    // Hands the reference back to the caller (to the interpreter).
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    Ref dup() const noexcept { return borrow(p_); }
    void reset() noexcept {
        PyObject *old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_;
};

// A vector of owned references (keys snapshot, path stacks).
using RefVec = std::vector<Ref>;

// The pending exception, taken out of the interpreter and restored on demand:
// lets code run Python calls while an error is held (the error's context is
// then set the way an `except` block would set it).
class SavedError {
public:
    SavedError() { PyErr_Fetch(&type_, &value_, &tb_); }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;
    ~SavedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    // The exception instance, normalised (new reference, or empty).
    Ref value() {
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (value_ && tb_) PyException_SetTraceback(value_, tb_);
        return Ref::borrow(value_);
    }
    bool matches(PyObject *exc_class) const {
        return type_ && PyErr_GivenExceptionMatches(type_, exc_class);
    }
    void restore() {
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }

private:
    PyObject *type_, *value_, *tb_;
};

// Raises `exc` (a new instance) as Python's `raise exc from cause` would,
// `cause` being the exception just caught (also its context).
inline void raise_from(Ref exc, Ref cause) {
    if (!exc) return;
    if (cause) {
        PyException_SetContext(exc.get(), cause.dup().release());
        PyException_SetCause(exc.get(), cause.release());
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
}

// Raises `exc` while `context` is being handled (an implicit chain).
inline void raise_with_context(Ref exc, Ref context) {
    if (!exc) return;
    if (context) PyException_SetContext(exc.get(), context.release());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
}

// Raises the exception instance `exc` with `context` as its __context__, as
// `raise exc` inside an `except` block would.  Unlike PyErr_SetObject it
// keeps that context even when the caller is itself handling an exception.
inline void raise_in_handler(Ref exc, Ref context) {
    if (!exc) return;
    if (context) PyException_SetContext(exc.get(), context.release());
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc.get()));
    Py_INCREF(type);
    PyErr_Restore(type, exc.release(), nullptr);
}

// Gives the pending exception `context` as its __context__ (it was raised
// while `context` was being handled).
inline void chain_pending(Ref context) {
    if (!context || !PyErr_Occurred()) return;
    SavedError now;
    Ref value = now.value();
    if (value && value.get() != context.get()) PyException_SetContext(value.get(), context.release());
    now.restore();
}

// Calls `callable(*args)` with owned argument references.
template <typename... A>
inline Ref call(PyObject *callable, A... args) {
    return Ref::steal(PyObject_CallFunctionObjArgs(callable, args..., nullptr));
}

// Calls `callable(*args)` without building an argument tuple where the
// interpreter offers vectorcall publicly (3.9 and later).
template <typename... A>
inline Ref call_fast(PyObject *callable, A... args) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
#else
    return call(callable, args...);
#endif
}

// Calls `obj.name(*args)`.
template <typename... A>
inline Ref call_method(PyObject *obj, PyObject *name, A... args) {
    return Ref::steal(PyObject_CallMethodObjArgs(obj, name, args..., nullptr));
}

inline Ref getattr(PyObject *obj, PyObject *name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// Builds a tuple from owned references (consumed).
inline Ref tuple_of(RefVec &items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return t;
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return t;
}

namespace stack_detail {
// A thread's stack, and how much of it the guards keep free.
struct StackLimit {
    const char *low = nullptr;  // both nullptr: unknown, the guards do not look
    const char *high = nullptr;
    size_t margin = 0;
    bool holds(const char *here) const { return here >= low && here < high; }
};

// Room kept for the code that runs at the deepest level (user code, the
// interpreter raising and reporting the error).  A thread made with a small
// stack keeps a quarter of it, so that it can still validate at all.
constexpr size_t kStackMargin = 512 * 1024;

inline StackLimit limit_of_this_thread() {
    StackLimit limit;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return limit;
    void *addr = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0) return limit;
    limit.low = static_cast<const char *>(addr);
    limit.high = limit.low + size;
    limit.margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
    return limit;
}

// The main thread's stack is known from a plain static, without the cost
// of a thread-local lookup: a frame inside it is that thread's, which lives
// as long as the process.  Other threads keep a thread-local copy.
inline const StackLimit &limit_for(const char *here) {
    static StackLimit main_limit;  // holds no frame until the main thread has asked
    if (main_limit.holds(here)) return main_limit;
    static thread_local StackLimit limit;
    static thread_local bool known = false;
    if (!known) {
        known = true;
        limit = limit_of_this_thread();
        if (syscall(SYS_gettid) == getpid()) main_limit = limit;
    }
    return limit;
}
}  // namespace stack_detail

// Whether the thread's stack is nearly used up: less than the room kept for
// the code that runs at the deepest level is left.  A frame on a stack of
// its own (a coroutine library's) is not judged: only the interpreter's
// count guards it.
inline bool stack_nearly_full() {
    const char *here = static_cast<const char *>(__builtin_frame_address(0));
    const stack_detail::StackLimit &limit = stack_detail::limit_for(here);
    return limit.holds(here) && static_cast<size_t>(here - limit.low) < limit.margin;
}

// Guard for Py_EnterRecursiveCall: deep data or schemas give RecursionError.
// The interpreter's count is not enough on its own: the extensions' C++
// frames are larger than it allows for (3.12 and later count C recursion
// against limits meant for small frames, and sanitizer builds grow every
// frame), so the guard also refuses to go on when the thread's stack is
// nearly used up.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) : ok_(false) {
        if (stack_nearly_full()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
        ok_ = Py_EnterRecursiveCall(where) == 0;
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() {
        if (ok_) Py_LeaveRecursiveCall();
    }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// Interned string made once at import and kept for the process.
inline PyObject *intern(const char *s) { return PyUnicode_InternFromString(s); }

// module.name = value (false, with the error set, if `value` is empty or
// the module refuses it).  The module takes a reference of its own, so
// nothing leaks when it refuses.
inline bool add_to_module(PyObject *module, const char *name, const Ref &value) {
    if (!value) return false;
#if PY_VERSION_HEX >= 0x030A0000
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
#else
    Py_INCREF(value.get());
    if (PyModule_AddObject(module, name, value.get()) == 0) return true;
    Py_DECREF(value.get());
    return false;
#endif
}

}  // namespace quarn
