// A view on an index: a fixed set of ids read against the attribute table
// and object table of the index it came from. Only `allowed` belongs to the
// view; the tables are shared with the index and every view made from it.
#pragma once

#include "index/index_api.hpp"
#include "structures/bitmap.hpp"

namespace corvalex {

struct FilteredView {
    SharedAttributeTable index;
    SharedObjectTable items;
    Bitmap allowed;
};

// Every view is made here, by keywords or by an expression, from an index
// or from another view: the ids `select` picks in the read-locked attribute
// table of `index`, over the same tables. Call without the thread state.
template <typename Select>
FilteredView select_view(const SharedAttributeTable& index, const SharedObjectTable& items,
                         Select&& select) {
    auto table = index->read();
    return FilteredView{index, items, select(*table)};
}

}  // namespace corvalex
