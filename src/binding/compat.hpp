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

// Holds a container's critical section for the scope (3.13+; on older
// interpreters the thread state already serialises access).
class CriticalSection {
  public:
    explicit CriticalSection([[maybe_unused]] PyObject* object) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        PyCriticalSection_Begin(&section_, object);
#endif
    }
    ~CriticalSection() {
#if PY_VERSION_HEX >= 0x030D0000
        PyCriticalSection_End(&section_);
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

  private:
#if PY_VERSION_HEX >= 0x030D0000
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
