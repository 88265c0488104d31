#include "core/indexable_record.hpp"

#include <algorithm>

namespace corvalex {

void add_index(MetaList& meta, IndexMeta index) {
    meta.push_back(std::move(index));
    meta.erase(std::remove_if(meta.begin(), meta.end(),
                              [](const IndexMeta& entry) { return entry.expired(); }),
               meta.end());
    std::stable_sort(meta.begin(), meta.end(), [](const IndexMeta& a, const IndexMeta& b) {
        return a.lock().get() < b.lock().get();
    });
}

}  // namespace corvalex
