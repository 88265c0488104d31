// Process-wide type objects the core needs to recognise.
#pragma once

#include <Python.h>

#include <atomic>

namespace corvalex {

// The `Indexable` class, set once when the module creates it. Values whose
// type is it or a subclass of it are captured as indexable values.
inline std::atomic<PyTypeObject*> INDEXABLE_TYPE{nullptr};

}  // namespace corvalex
