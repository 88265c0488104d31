#include "index/rebase.hpp"

#include <vector>

#include "index/batch_insert.hpp"

namespace corvalex {

void index_rebased_objects(IndexAPI& core, std::span<const BatchObject> objects) {
    auto table = core.index->write();
    const std::vector<std::uint32_t> ids = insert_batch(*table, objects, BatchNames::All);
    core.allowed->write()->add_many(ids);
}

}  // namespace corvalex
