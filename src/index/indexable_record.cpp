#include "index/indexable_record.hpp"

#include <algorithm>

namespace corvalex {

void add_index(MetaList& meta, IndexMeta index) {
    // Entries are compared by the core they point to (`owner_before`), which
    // needs no strong reference: taking one here could make this thread the
    // last owner of a core and release Python objects at an awkward moment.
    const std::owner_less<IndexMeta> before;
    absl::InlinedVector<IndexMeta, 4> entries;
    bool present = false;
    meta.for_each([&](const IndexMeta& entry) {
        if (entry.expired()) return;
        present = present || (!before(entry, index) && !before(index, entry));
        entries.push_back(entry);
    });
    if (!present) entries.push_back(std::move(index));
    std::sort(entries.begin(), entries.end(), before);
    meta.assign(entries.begin(), entries.end());
}

}  // namespace corvalex
