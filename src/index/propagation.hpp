// Keeping indexes right when an attribute of an indexed object is written.
//
// The attribute write holds the object exclusively and, before it stores
// the new value in the object, moves the object from its current value to
// the new one in every live index that holds it. It holds the attribute
// tables of all those indexes together, taken in ascending core address, so
// that concurrent writers (and unions, which hold two tables) take the same
// locks in the same order.
#pragma once

#include <cstdint>
#include <string_view>

#include "index/index_api.hpp"
#include "index/indexable_record.hpp"

namespace corvalex {

// Moves object `id` from `old` (null if it had no such attribute) to
// `new_value` under `name` in a write-locked attribute table.
void update_index(AttributeTable& table, std::string_view name, const PyValue* old,
                  const PyValue& new_value, std::uint32_t id, const Expansions* expansions);

// Runs `update_index` on every live index of `record.meta`; `record.attrs`
// still holds the old value and is left unchanged. Call with the thread
// state released.
void propagate_attribute_write(const IndexableRecord& record, std::string_view name,
                               const PyValue& new_value, const Expansions* expansions);

}  // namespace corvalex
