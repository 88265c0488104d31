#include "index/query_expr.hpp"

#include "base/panic.hpp"

namespace corvalex {

std::string_view query_kind_name(QueryKind kind) noexcept {
    switch (kind) {
        case QueryKind::Eq:
            return "Eq";
        case QueryKind::Ne:
            return "Ne";
        case QueryKind::Gt:
            return "Gt";
        case QueryKind::Ge:
            return "Ge";
        case QueryKind::Lt:
            return "Lt";
        case QueryKind::Le:
            return "Le";
        case QueryKind::Bt:
            return "Bt";
        case QueryKind::In:
            return "In";
        case QueryKind::Not:
            return "Not";
        case QueryKind::And:
            return "And";
        case QueryKind::Or:
            return "Or";
    }
    return "?";
}

QueryExpr QueryExpr::make(QueryKind kind, std::string attr, std::vector<PyValue> values,
                          std::vector<QueryExpr> operands) {
    Node* node = new Node;
    node->kind = kind;
    node->attr = std::move(attr);
    node->values = std::move(values);
    node->operands = std::move(operands);
    return QueryExpr(node);
}

QueryExpr QueryExpr::compare(QueryKind kind, std::string attr, PyValue value) {
    ensure(kind <= QueryKind::Le, "a comparison was built with another kind");
    std::vector<PyValue> values;
    values.push_back(std::move(value));
    return make(kind, std::move(attr), std::move(values), {});
}

QueryExpr QueryExpr::between(std::string attr, PyValue lower, PyValue upper) {
    std::vector<PyValue> values;
    values.reserve(2);
    values.push_back(std::move(lower));
    values.push_back(std::move(upper));
    return make(QueryKind::Bt, std::move(attr), std::move(values), {});
}

QueryExpr QueryExpr::one_of(std::string attr, std::vector<PyValue> values) {
    return make(QueryKind::In, std::move(attr), std::move(values), {});
}

QueryExpr QueryExpr::negation(QueryExpr operand) {
    std::vector<QueryExpr> operands;
    operands.push_back(std::move(operand));
    return make(QueryKind::Not, {}, {}, std::move(operands));
}

QueryExpr QueryExpr::all_of(std::vector<QueryExpr> operands) {
    return make(QueryKind::And, {}, {}, std::move(operands));
}

QueryExpr QueryExpr::any_of(std::vector<QueryExpr> operands) {
    return make(QueryKind::Or, {}, {}, std::move(operands));
}

void QueryExpr::release(Node* node) noexcept {
    if (node == nullptr || node->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    // Each dead node gives up its operands before it is freed, so freeing it
    // never recurses; operands whose last reference that was join the list.
    node->next_dead = nullptr;
    Node* pending = node;
    while (pending != nullptr) {
        Node* dead = pending;
        pending = dead->next_dead;
        for (QueryExpr& operand : dead->operands) {
            Node* child = std::exchange(operand.node_, nullptr);
            if (child != nullptr && child->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                child->next_dead = pending;
                pending = child;
            }
        }
        delete dead;
    }
}

}  // namespace corvalex
