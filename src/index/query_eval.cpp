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
    Bitmap take() { return Bitmap::or_many(large_, small_); }

  private:
    std::vector<const Bitmap*> large_;
    std::vector<std::uint32_t> small_;
    bool any_ = false;
};

// A condition's ids: computed here, or one of the index's own sets, read
// in place so that a large set is not copied only to be intersected.
class Ids {
  public:
    Ids() = default;
    explicit Ids(Bitmap owned) : owned_(std::move(owned)) {}
    static Ids borrowed(const Bitmap& set) {
        Ids ids;
        ids.borrowed_ = &set;
        return ids;
    }
    static Ids of(const HybridSet* set) {
        if (set == nullptr) return Ids();
        if (const Bitmap* bitmap = set->large()) return borrowed(*bitmap);
        return Ids(set->as_bitmap());
    }

    const Bitmap& get() const noexcept { return borrowed_ != nullptr ? *borrowed_ : owned_; }
    Bitmap take() && { return borrowed_ != nullptr ? borrowed_->copy() : std::move(owned_); }

    void intersect(const Bitmap& other) {
        if (borrowed_ != nullptr)
            *this = Ids(Bitmap::and_of(*borrowed_, other));
        else
            owned_.and_inplace(other);
    }
    void unite(const Bitmap& other) {
        if (borrowed_ != nullptr)
            *this = Ids(Bitmap::or_of(*borrowed_, other));
        else
            owned_.or_inplace(other);
    }

  private:
    const Bitmap* borrowed_ = nullptr;
    Bitmap owned_;
};

Ids condition_ids(const AttributeTable& table, const Bitmap& universe, QueryKind kind,
                  const QueryExpr& expr, std::string_view path);

Bitmap nested_condition_ids(const QueryMap& map, QueryKind kind, const QueryExpr& expr,
                            std::string_view path) {
    const Bitmap inner = [&] {
        auto table = map.nested.index->read();
        auto allowed = map.nested.allowed->read();
        return condition_ids(*table, *allowed, kind, expr, path).take();
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
Ids condition_ids(const AttributeTable& table, const Bitmap& universe, QueryKind kind,
                  const QueryExpr& expr, std::string_view path) {
    const AttrParts parts = attr_parts(path);
    if (table.empty()) return Ids();
    const auto found = table.find(parts.head);
    if (found == table.end()) return Ids();
    const QueryMap& map = *found->second;
    if (parts.rest) return Ids(nested_condition_ids(map, kind, expr, *parts.rest));

    const auto values = expr.values();
    switch (kind) {
        case QueryKind::Eq:
            return Ids::of(map.find(values[0]));
        case QueryKind::Gt:
        case QueryKind::Ge:
        case QueryKind::Lt:
        case QueryKind::Le:
            return Ids(comparison_ids(map, kind, values[0], universe));
        case QueryKind::Bt:
            return Ids(between_ids(map, values[0], values[1], universe));
        case QueryKind::In:
            return Ids(member_ids(map, values, universe));
        default:
            panic("a combination reached an attribute lookup");
    }
}

// True when the expression's ids always lie within the universe it is
// evaluated in (see the table in query_eval.hpp), so that an and_ can take
// them as its running result without intersecting again.
bool confined_to_universe(const QueryExpr& e) {
    switch (e.kind()) {
        case QueryKind::Not:
        case QueryKind::And:
        case QueryKind::Ne:
            return true;
        case QueryKind::Gt:
        case QueryKind::Ge:
        case QueryKind::Lt:
        case QueryKind::Le:
        case QueryKind::Bt:
        case QueryKind::In:
            return !attr_parts(e.attr()).rest;
        default:
            return false;
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
    // running result (the universe of its next operand; absent until the
    // first operand is in, standing for the universe) or Or's union.
    struct Open {
        const QueryExpr* expr;
        const Bitmap* universe;
        std::size_t next;
        std::optional<Ids> acc;

        const Bitmap& universe_of_next() const {
            return expr->kind() == QueryKind::And && acc ? acc->get() : *universe;
        }
    };
    std::deque<Open> open;  // elements stay put: operands point at `acc`
    std::optional<Ids> done;

    auto start = [&](const QueryExpr& e, const Bitmap& within) {
        switch (e.kind()) {
            case QueryKind::Not:
            case QueryKind::And:
            case QueryKind::Or:
                open.push_back({&e, &within, 0, std::nullopt});
                return;
            case QueryKind::Ne:
                done = Ids(Bitmap::andnot_of(
                    within, condition_ids(table, within, QueryKind::Eq, e, e.attr()).get()));
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
            if (kind == QueryKind::And) {
                if (!confined_to_universe(top.expr->operands()[top.next - 1]))
                    done->intersect(top.universe_of_next());
                top.acc = std::move(*done);
            } else if (top.acc) {
                top.acc->unite(done->get());  // Or
            } else {
                top.acc = std::move(*done);  // Not's operand, Or's first
            }
            done.reset();
        }
        const auto operands = top.expr->operands();
        const bool finished = top.next == operands.size() ||
                              (kind == QueryKind::And && top.acc && top.acc->get().is_empty());
        if (finished) {
            if (kind == QueryKind::Not)
                done = Ids(Bitmap::andnot_of(*top.universe, top.acc->get()));
            else if (top.acc)
                done = std::move(*top.acc);
            else if (kind == QueryKind::And)
                done = Ids(top.universe->copy());
            else
                done = Ids();
            open.pop_back();
            continue;
        }
        const QueryExpr& operand = operands[top.next++];
        start(operand, top.universe_of_next());
    }
    return std::move(*done).take();
}

}  // namespace corvalex
