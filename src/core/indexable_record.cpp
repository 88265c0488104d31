#include "core/indexable_record.hpp"

#include <algorithm>

namespace corvalex {

void add_index(std::vector<IndexMeta>& meta, IndexMeta index) {
    meta.push_back(std::move(index));
    std::erase_if(meta, [](const IndexMeta& entry) { return entry.expired(); });
    std::stable_sort(meta.begin(), meta.end(), [](const IndexMeta& a, const IndexMeta& b) {
        return a.lock().get() < b.lock().get();
    });
}

}  // namespace corvalex
