// Evaluating query expressions against an index's attribute table.
//
// Every evaluation is relative to a universe, the id set a complement is
// taken within:
//   Eq                 the value's ids, not confined to the universe
//   Ne                 universe minus Eq
//   Gt Ge Lt Le Bt     the range tree's ids, confined to the universe
//   In                 the union of the values' ids, confined to the universe
//   Not                universe minus the operand
//   And                each operand evaluated within the running result,
//                      starting from the universe; stops once it is empty
//   Or                 the union of the operands, each within the universe
// A dotted path `head.rest` is answered by the nested index of `head`'s map
// against that index's own ids, so it is not confined either. An unknown
// attribute, or a value nobody holds, matches nothing.
//
// The evaluator reads captured hashes and casts only: it never calls into
// Python and runs with the thread state released. It walks the tree with an
// explicit stack, so its depth costs heap, not C stack. Dotted paths recurse
// once per path segment that reaches a nested index, which nesting bounds
// (kMaxNestingDepth).
#pragma once

#include <exception>
#include <optional>
#include <string_view>

#include "index/filtered_view.hpp"
#include "index/index_api.hpp"
#include "index/query_expr.hpp"
#include "structures/bitmap.hpp"

namespace corvalex {

class QueryMap;

// A query the index cannot answer: a range against an indexable value, or
// `Bt` bounds that are not numbers. Nothing has changed when it is thrown.
class QueryNotSupported : public std::exception {
  public:
    const char* what() const noexcept override { return "not yet implemented"; }
};

struct AttrParts {
    std::string_view head;
    std::optional<std::string_view> rest;  // absent when the path has no dot
};

// Splits a path at its first dot: "a.b.c" -> ("a", "b.c"), "a." -> ("a", ""),
// ".a" -> ("", "a"), "a" -> ("a", absent).
AttrParts attr_parts(std::string_view attr) noexcept;

// The ids matching `expr`, relative to `universe`, in a read-locked table.
// Throws QueryNotSupported.
Bitmap evaluate_query(const AttributeTable& table, const Bitmap& universe, const QueryExpr& expr);

}  // namespace corvalex
