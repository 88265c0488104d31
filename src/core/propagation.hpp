// Where an object's attribute reads and writes meet the indexes holding it.
#pragma once

#include <string_view>

#include "core/indexable_record.hpp"

namespace corvalex {

// Moves the object from its current value of `name` to `new_value` in every
// live index of `record.meta`, before the caller stores the new value in the
// object. `record.attrs` is left unchanged.
void propagate_attribute_write(IndexableRecord& record, std::string_view name,
                               const PyValue& new_value);

// Held by an attribute read: keeps the attribute tables of the object's
// indexes from changing underneath it.
class ReadGuard {
  public:
    explicit ReadGuard(const std::vector<IndexMeta>& meta);
    ~ReadGuard();
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
};

}  // namespace corvalex
