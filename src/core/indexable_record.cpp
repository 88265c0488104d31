#include "core/indexable_record.hpp"

#include <algorithm>

namespace corvalex {

void add_index(MetaList& meta, IndexMeta index) {
    absl::InlinedVector<IndexMeta, 4> entries;
    meta.for_each([&](const IndexMeta& entry) { entries.push_back(entry); });
    entries.push_back(std::move(index));
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const IndexMeta& entry) { return entry.expired(); }),
                  entries.end());
    std::stable_sort(entries.begin(), entries.end(), [](const IndexMeta& a, const IndexMeta& b) {
        return a.lock().get() < b.lock().get();
    });
    meta.assign(entries.begin(), entries.end());
}

}  // namespace corvalex
