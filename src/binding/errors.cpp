#include "binding/errors.hpp"

#include <pthread.h>

#include <cstdio>
#include <mutex>

namespace corvalex::py {

void raise(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()));
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PythonError{};
}

PyObject* panic_exception_type() {
    // Created once per process; deliberately never released.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "Corvalex.PanicException",
        "An internal fatal error of the Corvalex module. It derives from BaseException "
        "so that ordinary `except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
    return type;
}

namespace {

void report_to_stderr(const Panic& panic) noexcept {
    char thread_name[64] = "unnamed";
    pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
    const auto& where = panic.where();
    std::fprintf(stderr, "Corvalex: internal error in thread '%s' at %s:%u: %s\n", thread_name,
                 where.file_name(), static_cast<unsigned>(where.line()), panic.message().c_str());
    std::fflush(stderr);
}

}  // namespace

void set_panic_exception(const Panic& panic) noexcept {
    report_to_stderr(panic);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation error is already set
    PyObject* message =
        PyUnicode_FromStringAndSize(panic.message().data(), Py_ssize_t(panic.message().size()));
    if (message == nullptr) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

void detail::set_unexpected_exception(const char* what) noexcept {
    set_panic_exception(Panic(what, std::source_location::current()));
}

FetchedError FetchedError::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

void FetchedError::restore() {
    PyErr_Restore(type.release(), value.release(), traceback.release());
    throw_python_error();
}

void refuse(Refusal refused) {
    raise(PyExc_RuntimeError,
          refused == Refusal::Exclusive ? "Already borrowed" : "Already mutably borrowed");
}

}  // namespace corvalex::py
