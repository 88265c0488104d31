// The shared core of an index.
//
//   IndexAPI {
//     index:   shared RwLocked< attribute name -> QueryMap >   (the attribute table)
//     items:   shared RwLocked< vector<StoredItem> >           (the object table, slot = id)
//     allowed: shared RwLocked< Bitmap >                       (every id ever added)
//   }
//
// The three parts are locked separately; filtered views share `index` and
// `items`. The lock order, the snapshots taken before locking and the rule
// that no Python code runs under a lock are in docs/design.md.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "index/attr_map.hpp"
#include "index/indexable_record.hpp"
#include "index/object_snapshot.hpp"
#include "index/object_table.hpp"
#include "index/rw_lock.hpp"
#include "index/stored_item.hpp"
#include "structures/bitmap.hpp"

namespace corvalex {

class QueryMap;
class QueryExpr;
struct FilteredView;

// Looked up by a borrowed name on every lookup and every write: open
// addressing, without the division of a bucket modulus.
using AttributeTable =
    absl::flat_hash_map<AttrName, std::unique_ptr<QueryMap>, AttrNameHash, std::equal_to<>>;

using SharedAttributeTable = std::shared_ptr<RwLocked<AttributeTable>>;
using SharedObjectTable = std::shared_ptr<RwLocked<ObjectTable>>;

// One object of a batch (`add_object_many`, `reduce`, `rebase`), held by the
// caller: the object, its record, read in place, and the expansions of its
// indexable values.
struct BatchObject {
    PyObject* object;
    const IndexableRecord* record;
    const Expansions* expansions;
};

class IndexAPI {
  public:
    IndexAPI();

    // Stores one object and indexes its public attributes.
    void add_object(std::uint32_t id, StoredItem item, const AttrMap& attrs,
                    const Expansions* expansions);
    // The same, for an object reached along `path` from an indexed object.
    void add_object(std::uint32_t id, StoredItem item, const AttrMap& attrs,
                    const Expansions* expansions, NestingPath& path);
    // Indexes a batch under one acquisition of `index` and `allowed`. The
    // caller stores the objects with `store` afterwards.
    void add_object_many(std::span<const BatchObject> objects);
    // Stores the objects of a batch in `items`, each under its id, with a new
    // reference. Needs the thread state.
    void store(std::span<const BatchObject> objects);
    // A view of the ids matching `expr`, with this core's ids as universe.
    // Takes `index`, then `allowed`, read-locked.
    FilteredView reduced_query(const QueryExpr& expr) const;

    SharedAttributeTable index;
    SharedObjectTable items;
    std::shared_ptr<RwLocked<Bitmap>> allowed;
};

// Enters one (name, value, id) triple into a write-locked attribute table,
// creating the name's map on first use.
void _add_index(AttributeTable& table, std::uint32_t id, std::string_view name,
                const PyValue& value, const Expansions* expansions, NestingPath& path);

// The name's map in a write-locked attribute table, created on first use.
QueryMap& query_map_for(AttributeTable& table, std::string_view name);

}  // namespace corvalex
