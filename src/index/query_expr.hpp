// Query expressions: immutable trees stating a condition on attributes.
//
//   QueryExpr -> Node { refs; kind; attr; values; operands }
//     Eq, Ne, Gt, Ge, Lt, Le   attr, values = [value]
//     Bt                       attr, values = [lower, upper]
//     In                       attr, values = the listed values, in order, duplicates kept
//     Not                      operands = [operand]
//     And, Or                  operands, in order (may be empty)
//
// A tree never changes once built, so a copy shares the nodes (an atomic
// count per node) instead of duplicating them: copying is O(1), needs no
// thread state, and nesting `not_` n times costs O(n), not O(n^2). Nothing
// observable depends on the sharing except the reference counts of the
// captured values.
//
// Dropping, printing and walking a tree never recurse, so a tree of any
// depth is safe on any stack: the last reference to a node hands its
// operands to a pending list threaded through the nodes themselves.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/value.hpp"

namespace corvalex {

// Declared in this order; the order is the one shown to users.
enum class QueryKind : std::uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or };

// The variant's name as its text form shows it ("Eq", "Not", ...).
std::string_view query_kind_name(QueryKind kind) noexcept;

class QueryExpr {
  public:
    // Eq, Ne, Gt, Ge, Lt or Le.
    static QueryExpr compare(QueryKind kind, std::string attr, PyValue value);
    static QueryExpr between(std::string attr, PyValue lower, PyValue upper);
    static QueryExpr one_of(std::string attr, std::vector<PyValue> values);
    static QueryExpr negation(QueryExpr operand);
    static QueryExpr all_of(std::vector<QueryExpr> operands);
    static QueryExpr any_of(std::vector<QueryExpr> operands);

    QueryExpr(const QueryExpr& other) noexcept : node_(other.node_) { acquire(node_); }
    QueryExpr(QueryExpr&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    QueryExpr& operator=(const QueryExpr& other) noexcept {
        QueryExpr(other).swap(*this);
        return *this;
    }
    QueryExpr& operator=(QueryExpr&& other) noexcept {
        QueryExpr(std::move(other)).swap(*this);
        return *this;
    }
    ~QueryExpr() { release(std::exchange(node_, nullptr)); }
    void swap(QueryExpr& other) noexcept { std::swap(node_, other.node_); }

    QueryKind kind() const noexcept { return node_->kind; }
    // Not, And and Or combine other expressions; the rest name an attribute.
    bool is_combination() const noexcept { return kind() >= QueryKind::Not; }
    // The attribute path, unchanged (dots, empty parts and all).
    const std::string& attr() const noexcept { return node_->attr; }
    std::span<const PyValue> values() const noexcept { return node_->values; }
    std::span<const QueryExpr> operands() const noexcept { return node_->operands; }

    // `Not(And([Eq("a", PyValue { ... }), ...]))`. Needs an attached thread.

    // Calls `visit(object)` for the captured values this handle alone keeps
    // alive: those of nodes reached only through nodes with no other holder.
    // Values of shared nodes are left out, and so is whatever lies beyond a
    // fixed amount of bookkeeping (no allocation). Stops at, and returns,
    // the first non-zero result: the contract of a garbage collector's
    // traversal, which must not count a reference it does not own.
    template <typename Visit>
    int visit_owned_values(Visit&& visit) const;

  private:
    struct Node {
        std::atomic<std::size_t> refs{1};
        QueryKind kind;
        std::string attr;
        std::vector<PyValue> values;
        std::vector<QueryExpr> operands;
        Node* next_dead = nullptr;  // links nodes being dropped
    };

    explicit QueryExpr(Node* node) noexcept : node_(node) {}
    static QueryExpr make(QueryKind kind, std::string attr, std::vector<PyValue> values,
                          std::vector<QueryExpr> operands);
    static void acquire(Node* node) noexcept {
        if (node != nullptr) node->refs.fetch_add(1, std::memory_order_relaxed);
    }
    static void release(Node* node) noexcept;
    bool uniquely_held() const noexcept {
        return node_ != nullptr && node_->refs.load(std::memory_order_acquire) == 1;
    }

    Node* node_;
};

template <typename Visit>
int QueryExpr::visit_owned_values(Visit&& visit) const {
    if (!uniquely_held()) return 0;
    const Node* stack[64];
    std::size_t top = 0;
    stack[top++] = node_;
    while (top > 0) {
        const Node* node = stack[--top];
        for (const PyValue& value : node->values)
            if (const int result = visit(value.object())) return result;
        for (const QueryExpr& operand : node->operands)
            if (top < std::size(stack) && operand.uniquely_held()) stack[top++] = operand.node_;
    }
    return 0;
}

}  // namespace corvalex
