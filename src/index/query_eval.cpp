#include "index/query_eval.hpp"

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "index/query_map.hpp"

namespace corvalex {
namespace {

// Id sets gathered for one union: bitmaps by pointer, inline ids by value.
class SetUnion {
  public:
    void add(const HybridSet& set) {
        if (const Bitmap* bitmap = set.large())
            large_.push_back(bitmap);
        else
            small_.insert(small_.end(), set.small_ids().begin(), set.small_ids().end());
        any_ = true;
    }
    bool any() const noexcept { return any_; }
    Bitmap take() {
        if (small_.empty()) return Bitmap::or_many(large_);
        Bitmap small = Bitmap::of_unsorted(small_);
        if (large_.empty()) return small;
        large_.push_back(&small);
        return Bitmap::or_many(large_);
    }

  private:
    std::vector<const Bitmap*> large_;
    std::vector<std::uint32_t> small_;
    bool any_ = false;
};

Bitmap condition_ids(const AttributeTable& table, const Bitmap& universe, QueryKind kind,
                     const QueryExpr& expr, std::string_view path);

Bitmap nested_condition_ids(const QueryMap& map, QueryKind kind, const QueryExpr& expr,
                            std::string_view path) {
    const Bitmap inner = [&] {
        auto table = map.nested.index->read();
        auto allowed = map.nested.allowed->read();
        return condition_ids(*table, *allowed, kind, expr, path);
    }();
    if (map.nested_ids.empty() || inner.is_empty()) return Bitmap();
    SetUnion holders;
    if (map.nested_ids.size() < inner.cardinality()) {
        for (const auto& [id, set] : map.nested_ids)
            if (inner.contains(id)) holders.add(set);
    } else {
        inner.for_each([&](std::uint32_t id) {
            if (auto found = map.nested_ids.find(id); found != map.nested_ids.end())
                holders.add(found->second);
        });
    }
    return holders.take();
}

bool is_nan(const Number& number) noexcept {
    return number.is_float() && std::isnan(number.as_float());
}

// Open ends stop at the infinities: the tree orders NaN beyond them, and NaN
// lies in no range. A NaN bound matches nothing.
Bitmap range_ids(const QueryMap& map, Bound lower, Bound upper, const Bitmap& universe) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    if (lower.kind == Bound::Kind::None) lower = Bound::inclusive(Number::from_float(-kInfinity));
    if (upper.kind == Bound::Kind::None) upper = Bound::inclusive(Number::from_float(kInfinity));
    if (is_nan(lower.value) || is_nan(upper.value) || map.ranged.empty()) return Bitmap();
    return map.ranged.query_range(lower, upper, universe);
}

Bitmap comparison_ids(const QueryMap& map, QueryKind kind, const PyValue& value,
                      const Bitmap& universe) {
    switch (value.kind()) {
        case CastKind::Int:
        case CastKind::Float:
            break;
        case CastKind::Ind:
            throw QueryNotSupported();
        case CastKind::Str:
        case CastKind::Unknown:
            return Bitmap();
    }
    const Number number = to_number(value);
    switch (kind) {
        case QueryKind::Gt:
            return range_ids(map, Bound::exclusive(number), Bound::none(), universe);
        case QueryKind::Ge:
            return range_ids(map, Bound::inclusive(number), Bound::none(), universe);
        case QueryKind::Lt:
            return range_ids(map, Bound::none(), Bound::exclusive(number), universe);
        default:
            return range_ids(map, Bound::none(), Bound::inclusive(number), universe);
    }
}

Bitmap between_ids(const QueryMap& map, const PyValue& lower, const PyValue& upper,
                   const Bitmap& universe) {
    if (!lower.is_number()) throw QueryNotSupported();
    if (!upper.is_number()) throw QueryNotSupported();
    return range_ids(map, Bound::inclusive(to_number(lower)), Bound::inclusive(to_number(upper)),
                     universe);
}

Bitmap member_ids(const QueryMap& map, std::span<const PyValue> values, const Bitmap& universe) {
    if (values.empty() || map.exact.empty()) return Bitmap();
    SetUnion matched;
    for (const PyValue& value : values)
        if (const HybridSet* set = map.find(value)) matched.add(*set);
    if (!matched.any()) return Bitmap();
    Bitmap result = matched.take();
    result.and_inplace(universe);
    return result;
}

// One attribute condition (Ne arrives as the Eq inside its complement),
// with `path` in place of the expression's own.
Bitmap condition_ids(const AttributeTable& table, const Bitmap& universe, QueryKind kind,
                     const QueryExpr& expr, std::string_view path) {
    const AttrParts parts = attr_parts(path);
    if (table.empty()) return Bitmap();
    const auto found = table.find(parts.head);
    if (found == table.end()) return Bitmap();
    const QueryMap& map = *found->second;
    if (parts.rest) return nested_condition_ids(map, kind, expr, *parts.rest);

    const auto values = expr.values();
    switch (kind) {
        case QueryKind::Eq: {
            const HybridSet* set = map.find(values[0]);
            return set ? set->as_bitmap() : Bitmap();
        }
        case QueryKind::Gt:
        case QueryKind::Ge:
        case QueryKind::Lt:
        case QueryKind::Le:
            return comparison_ids(map, kind, values[0], universe);
        case QueryKind::Bt:
            return between_ids(map, values[0], values[1], universe);
        case QueryKind::In:
            return member_ids(map, values, universe);
        default:
            panic("a combination reached an attribute lookup");
    }
}

}  // namespace

AttrParts attr_parts(std::string_view attr) noexcept {
    const auto dot = attr.find('.');
    if (dot == std::string_view::npos) return {attr, std::nullopt};
    return {attr.substr(0, dot), attr.substr(dot + 1)};
}

Bitmap evaluate_query(const AttributeTable& table, const Bitmap& universe, const QueryExpr& expr) {
    // A combination being evaluated: `acc` is Not's operand result, And's
    // running result (the universe of its next operand) or Or's union.
    struct Open {
        const QueryExpr* expr;
        const Bitmap* universe;
        std::size_t next;
        std::optional<Bitmap> acc;
    };
    std::deque<Open> open;  // elements stay put: operands point at `acc`
    std::optional<Bitmap> done;

    auto start = [&](const QueryExpr& e, const Bitmap& within) {
        switch (e.kind()) {
            case QueryKind::Not:
                open.push_back({&e, &within, 0, std::nullopt});
                return;
            case QueryKind::And:
                open.push_back({&e, &within, 0, within.copy()});
                return;
            case QueryKind::Or:
                open.push_back({&e, &within, 0, Bitmap()});
                return;
            case QueryKind::Ne:
                done = Bitmap::andnot_of(within,
                                         condition_ids(table, within, QueryKind::Eq, e, e.attr()));
                return;
            default:
                done = condition_ids(table, within, e.kind(), e, e.attr());
                return;
        }
    };

    start(expr, universe);
    while (!open.empty()) {
        Open& top = open.back();
        const QueryKind kind = top.expr->kind();
        if (done) {
            if (kind == QueryKind::Not)
                top.acc = std::move(*done);
            else if (kind == QueryKind::And)
                top.acc->and_inplace(*done);
            else
                top.acc->or_inplace(*done);
            done.reset();
        }
        const auto operands = top.expr->operands();
        const bool finished = top.next == operands.size() ||
                              (kind == QueryKind::And && top.next > 0 && top.acc->is_empty());
        if (finished) {
            if (kind == QueryKind::Not)
                done = Bitmap::andnot_of(*top.universe, *top.acc);
            else
                done = std::move(*top.acc);
            open.pop_back();
            continue;
        }
        const QueryExpr& operand = operands[top.next++];
        start(operand, kind == QueryKind::And ? *top.acc : *top.universe);
    }
    return std::move(*done);
}

}  // namespace corvalex
