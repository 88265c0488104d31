// Interpreter version differences, kept in one place.
#pragma once

#include <Python.h>

namespace corvalex::py {

// True when the calling thread has an attached thread state, i.e. it may
// touch reference counts and call the C API.
inline bool thread_is_attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Holds a container's critical section for the scope on builds without a
// global interpreter lock. Elsewhere the lock already serialises access and
// the call would be a no-op; on 3.13 and 3.14 builds with that lock,
// PyCriticalSection is only declared, not defined, so it cannot be a member.
class CriticalSection {
  public:
    explicit CriticalSection([[maybe_unused]] PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, object);
#endif
    }
    ~CriticalSection() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// Declares that the module needs the global interpreter lock. Only builds
// without a global lock know the call.
inline int declare_gil_used([[maybe_unused]] PyObject* module) noexcept {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#else
    return 0;
#endif
}

}  // namespace corvalex::py
