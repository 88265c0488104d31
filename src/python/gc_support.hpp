// Garbage-collector support for the Python objects that hold index tables.
//
// An index's object tables (its own and those of the nested indexes inside
// its attribute maps) own strong references to the stored objects. A table
// may be shared by an `Index` and its views, so a holder reports a table's
// references only while it is that table's sole holder: each reference is
// then reported exactly once. Tables that are shared, or locked by another
// thread, are skipped: the collector runs with no way to wait, and reporting
// fewer references than are held only keeps a cycle alive, never breaks one.
#pragma once

#include <Python.h>

#include "index/index_api.hpp"

namespace corvalex::python {

// Visits the references owned by `items` and by the nested indexes of
// `index`, as far as the holder alone holds them. `sole_holder` says whether
// the caller's own handle on the tables is the only one.
int visit_index_tables(const SharedAttributeTable& index, const SharedObjectTable& items,
                       bool sole_holder, visitproc visit, void* arg);

}  // namespace corvalex::python
