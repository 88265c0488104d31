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

}  // namespace corvalex
