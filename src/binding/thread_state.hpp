// Scoped release of the interpreter's thread state around long core work.
// The thread state comes back on every path, exceptions included.
#pragma once

#include <Python.h>

namespace corvalex::py {

class ReleasedThreadState {
  public:
    ReleasedThreadState() noexcept : saved_(PyEval_SaveThread()) {}
    ~ReleasedThreadState() { PyEval_RestoreThread(saved_); }
    ReleasedThreadState(const ReleasedThreadState&) = delete;
    ReleasedThreadState& operator=(const ReleasedThreadState&) = delete;

  private:
    PyThreadState* saved_;
};

// Runs `work` with the thread state released and returns its result.
template <typename Work>
decltype(auto) without_thread_state(Work&& work) {
    ReleasedThreadState released;
    return work();
}

}  // namespace corvalex::py
