#include "structures/ranged_b_tree.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

namespace corvalex {

namespace {

constexpr uint32_t kRecenterSlot = 48;  // where a fresh root sits
constexpr uint32_t kSplitSlot = 24;     // where the right half of a split starts

BitMapBTreeNode* child_at(const InternalNode& node, uint32_t slot) {
    BitMapBTreeNode* child = node.children[slot].get();
    ensure(child != nullptr, "Missing child");
    return child;
}

TreeWrite insert_into(BitMapBTreeNode& node, CompositeKey128 key) {
    return node.is_leaf() ? node.as_leaf().insert_non_full(key) : node.as_internal().insert(key);
}

std::pair<CompositeKey128, NodePtr> split_node(BitMapBTreeNode& node) {
    return node.is_leaf() ? node.as_leaf().split() : node.as_internal().split();
}

Bitmap ids_of(const BitMapBTreeNode& node) {
    return node.is_leaf() ? node.as_leaf().ids() : node.as_internal().get_bitmap();
}

const char* missing_bitmap_message(const BitMapBTreeNode& child) {
    return child.is_leaf() ? "Bitmap should be present for leaf"
                           : "Bitmap should be present for internal";
}

}  // namespace

// --- nodes --------------------------------------------------------------------

void NodeDeleter::operator()(BitMapBTreeNode* node) const noexcept {
    if (node == nullptr) return;
    if (node->is_leaf()) {
        delete static_cast<LeafNode*>(node);
    } else {
        delete static_cast<InternalNode*>(node);
    }
}

const LeafNode& BitMapBTreeNode::as_leaf() const {
    return static_cast<const LeafNode&>(*this);
}
const InternalNode& BitMapBTreeNode::as_internal() const {
    return static_cast<const InternalNode&>(*this);
}
LeafNode& BitMapBTreeNode::as_leaf() {
    return static_cast<LeafNode&>(*this);
}
InternalNode& BitMapBTreeNode::as_internal() {
    return static_cast<InternalNode&>(*this);
}

CompositeKey128 BitMapBTreeNode::first_key(const char* message) const {
    ensure(len > 0, message);
    return is_leaf() ? as_leaf().keys[offset] : as_internal().keys[offset];
}

// --- leaves -------------------------------------------------------------------

namespace {

// Starts loading every cache line of the window [b, e) at once. A leaf is
// usually cold; its binary search would otherwise wait for one line after
// another.
void prefetch_window(const CompositeKey128* b, const CompositeKey128* e) {
    constexpr std::size_t kLine = 64;
    const char* first = reinterpret_cast<const char*>(b);
    const char* last = reinterpret_cast<const char*>(e);
    for (const char* line = first; line < last; line += kLine) __builtin_prefetch(line);
}

// The first of the heavy values (ascending) whose prefix is not below `prefix`.
template <class Values>
auto first_heavy_from(Values& values, u128 prefix) {
    return std::lower_bound(values.begin(), values.end(), prefix,
                            [](const HeavyValue& v, u128 p) { return v.prefix < p; });
}

}  // namespace

const HeavyValue* LeafNode::find_heavy(u128 prefix) const {
    if (heavy.empty()) return nullptr;
    auto at = first_heavy_from(heavy, prefix);
    return at != heavy.end() && at->prefix == prefix ? &*at : nullptr;
}

TreeWrite LeafNode::insert_non_full(CompositeKey128 key) {
    if (HeavyValue* value = find_heavy(key.prefix())) {
        if (!value->ids.add_checked(key.id())) return TreeWrite(false, value);
        heavy_changed();
        return TreeWrite(true, value);
    }
    CompositeKey128* b = keys.data() + offset;
    CompositeKey128* e = b + len;
    prefetch_window(b, e);
    CompositeKey128* it = std::lower_bound(b, e, key);
    if (it != e && *it == key) return {};

    const u128 prefix = key.prefix();
    CompositeKey128* run_first = it;
    while (run_first != b && run_first[-1].prefix() == prefix) --run_first;
    CompositeKey128* run_last = it;
    while (run_last != e && run_last->prefix() == prefix) ++run_last;
    if (run_last - run_first + 1 >= kHeavyRun)
        return TreeWrite(true, make_heavy(run_first, run_last, key.id()));

    const uint32_t p = static_cast<uint32_t>(it - b);
    if (offset > 0 && p < len / 2) {
        std::copy(b, it, b - 1);
        --offset;
    } else {
        ensure(offset + len < kNodeSlots, "invalid offset");
        std::copy_backward(it, e, e + 1);
    }
    keys[offset + p] = key;
    ++len;
    if (touches_end()) recenter();
    return TreeWrite(true);
}

HeavyValue* LeafNode::make_heavy(CompositeKey128* first, CompositeKey128* last, uint32_t id) {
    const u128 prefix = first->prefix();
    std::array<uint32_t, kHeavyRun> ids;
    uint32_t n = 0;
    for (const CompositeKey128* k = first; k != last; ++k) ids[n++] = k->id();
    ids[n++] = id;
    Bitmap value_ids;
    value_ids.add_many(ids.data(), n);
    auto made =
        heavy.insert(first_heavy_from(heavy, prefix), HeavyValue{prefix, std::move(value_ids)});
    heavy_changed();

    // The window shrinks from its end, which therefore stays off the last slot.
    *first = CompositeKey128::first_of(prefix);
    CompositeKey128* e = keys.data() + offset + len;
    std::copy(last, e, first + 1);
    len -= static_cast<uint32_t>(last - first) - 1;
    return &*made;
}

TreeWrite LeafNode::remove(CompositeKey128 key) {
    if (HeavyValue* value = find_heavy(key.prefix())) {
        if (!value->ids.remove_checked(key.id())) return TreeWrite(false, value);
        heavy_changed();
        if (!value->ids.is_empty()) return TreeWrite(true, value);
        const CompositeKey128 only = CompositeKey128::first_of(key.prefix());
        erase_key(std::lower_bound(keys.data() + offset, keys.data() + offset + len, only));
        TreeWrite removed(true);
        removed.emptied = std::move(value->ids);
        heavy.erase(heavy.begin() + (value - heavy.data()));
        return removed;
    }
    CompositeKey128* b = keys.data() + offset;
    CompositeKey128* e = b + len;
    prefetch_window(b, e);
    CompositeKey128* it = std::lower_bound(b, e, key);
    if (it == e || *it != key) return {};
    erase_key(it);
    return TreeWrite(true);
}

void LeafNode::erase_key(CompositeKey128* it) {
    CompositeKey128* b = keys.data() + offset;
    CompositeKey128* e = b + len;
    const uint32_t q = static_cast<uint32_t>(it - b);
    // Close the gap from the nearer end; a window that starts at slot 0 is
    // always closed from the front so that it leaves slot 0 again.
    if (q < len / 2 || offset == 0) {
        std::copy_backward(b, it, it + 1);
        ++offset;
    } else {
        std::copy(it + 1, e, it);
    }
    --len;
}

void LeafNode::recenter() {
    const uint32_t target = (kNodeSlots - len) / 2;
    if (offset == target) return;
    CompositeKey128* b = keys.data() + offset;
    if (offset > target) {
        std::copy(b, b + len, keys.data() + target);
    } else {
        std::copy_backward(b, b + len, keys.data() + target + len);
    }
    offset = target;
}

// Light runs are shorter than kHeavyRun and a heavy value has one key, so a
// full leaf has a boundary between two values within kHeavyRun of its middle.
uint32_t LeafNode::split_point() const {
    const CompositeKey128* b = begin();
    auto boundary = [&](uint32_t i) { return b[i - 1].prefix() != b[i].prefix(); };
    const uint32_t middle = len / 2;
    for (uint32_t d = 0; d < middle; ++d) {
        if (boundary(middle - d)) return middle - d;
        if (middle + d < len && boundary(middle + d)) return middle + d;
    }
    panic("BitMapBTree leaf holds one value throughout");
}

std::pair<CompositeKey128, NodePtr> LeafNode::split() {
    const uint32_t keep = split_point();
    const uint32_t moved = len - keep;
    auto* right = new LeafNode(kSplitSlot);
    NodePtr owner(right);
    std::copy(keys.data() + offset + keep, keys.data() + offset + len,
              right->keys.data() + kSplitSlot);
    right->len = moved;
    len = keep;
    recenter();
    const u128 first = right->keys[kSplitSlot].prefix();
    auto moved_heavy = first_heavy_from(heavy, first);
    right->heavy.assign(std::make_move_iterator(moved_heavy), std::make_move_iterator(heavy.end()));
    heavy.erase(moved_heavy, heavy.end());
    heavy_changed();
    return {CompositeKey128::first_of(first), std::move(owner)};
}

void LeafNode::collect(const CompositeKey128* first, const CompositeKey128* last,
                       std::vector<uint32_t>& ids, std::vector<const Bitmap*>& bitmaps) const {
    if (heavy.empty()) {
        for (const CompositeKey128* k = first; k != last; ++k) ids.push_back(k->id());
        return;
    }
    // Heavy values and their keys ascend together.
    auto value = heavy.begin();
    for (const CompositeKey128* k = first; k != last; ++k) {
        const u128 prefix = k->prefix();
        while (value != heavy.end() && value->prefix < prefix) ++value;
        if (value != heavy.end() && value->prefix == prefix) {
            bitmaps.push_back(&value->ids);
        } else {
            ids.push_back(k->id());
        }
    }
}

void LeafNode::collect_covered(std::vector<uint32_t>& ids, std::vector<const Bitmap*>& bitmaps,
                               std::mutex& refresh) const {
    const std::size_t first_bitmap = bitmaps.size();
    collect(begin(), end(), ids, bitmaps);
    if (heavy.size() < kUnionFrom) return;
    if (union_stale_.load(std::memory_order_acquire)) {
        std::lock_guard lock(refresh);
        if (union_stale_.load(std::memory_order_relaxed)) {
            union_ = Bitmap::or_many(std::span<const Bitmap* const>(bitmaps).subspan(first_bitmap));
            union_stale_.store(false, std::memory_order_release);
        }
    }
    bitmaps.resize(first_bitmap);
    bitmaps.push_back(&*union_);
}

Bitmap LeafNode::ids() const {
    std::vector<uint32_t> light;
    std::vector<const Bitmap*> bitmaps;
    light.reserve(len);
    collect(begin(), end(), light, bitmaps);
    return Bitmap::or_many(bitmaps, light);
}

// --- interior nodes -----------------------------------------------------------

// Child 0 takes every key below keys[offset + 1], so keys[offset] is never
// compared: it is the first key child 0 held when it was created, and child 0
// may since have received (and split off) smaller keys.
uint32_t InternalNode::child_index(CompositeKey128 key) const {
    const CompositeKey128* b = keys.data() + offset + 1;
    const CompositeKey128* e = keys.data() + offset + len;
    // Separators at or below `key`: an equal separator is the last of them.
    return static_cast<uint32_t>(std::upper_bound(b, e, key) - b);
}

uint32_t InternalNode::get_key_index(Number value, KeyIndexMode mode) const {
    return get_key_index_of_prefix(sort_prefix(value), mode);
}

// Left-leaning modes return the child before the first separator with the
// value (keys with that value and smaller ids may sit at the end of it);
// right-leaning modes return the last separator with the value. Without an
// equal separator both return the child whose range contains the value. Each
// case is one binary search over the separators after the first: those below
// (left) or at or below (right) the value.
uint32_t InternalNode::get_key_index_of_prefix(u128 prefix, KeyIndexMode mode) const {
    const CompositeKey128* b = keys.data() + offset + 1;
    const CompositeKey128* e = keys.data() + offset + len;
    const bool lean_left =
        mode == KeyIndexMode::LowerInclusive || mode == KeyIndexMode::UpperExclusive;
    const CompositeKey128* it = lean_left
                                    ? std::lower_bound(b, e, CompositeKey128::first_of(prefix))
                                    : std::upper_bound(b, e, CompositeKey128::last_of(prefix));
    return static_cast<uint32_t>(it - b);
}

TreeWrite InternalNode::insert(CompositeKey128 key) {
    const uint32_t c = child_index(key);
    const uint32_t slot = offset + c;
    BitMapBTreeNode* child = child_at(*this, slot);
    if (child->needs_split()) return split_and_insert(key, c);
    TreeWrite inserted = insert_into(*child, key);
    if (!leaf_children) {
        std::optional<Bitmap>& bitmap = bitmaps[slot];
        ensure(bitmap.has_value(), missing_bitmap_message(*child));
        bitmap->add(key.id());
    }
    if (touches_end()) recenter();
    return inserted;
}

TreeWrite InternalNode::split_and_insert(CompositeKey128 key, uint32_t c) {
    const uint32_t slot = offset + c;
    BitMapBTreeNode* left = child_at(*this, slot);
    auto [separator, right] = split_node(*left);
    // A key equal to the separator goes right, where its twin lives.
    const bool goes_left = key < separator;
    TreeWrite inserted = insert_into(goes_left ? *left : *right, key);

    std::optional<Bitmap> right_ids;
    if (!leaf_children) {
        ensure(bitmaps[slot].has_value(), "Bitmap must be initialized before split");
        right_ids = ids_of(*right);
        bitmaps[slot]->andnot_inplace(*right_ids);
        if (goes_left) bitmaps[slot]->add(key.id());
    }

    ensure(offset + len < kNodeSlots, "incorrect offset");
    shift_right(slot + 1, offset + len, 1);
    keys[slot + 1] = separator;
    children[slot + 1] = std::move(right);
    bitmaps[slot + 1] = std::move(right_ids);
    ++len;
    if (touches_end()) recenter();
    return inserted;
}

void InternalNode::shift_right(uint32_t from, uint32_t to, uint32_t by) {
    for (uint32_t i = to; i-- > from;) {
        keys[i + by] = keys[i];
        children[i + by] = std::move(children[i]);
        bitmaps[i + by] = std::move(bitmaps[i]);
        bitmaps[i].reset();
    }
    if (from == offset) offset += by;
}

void InternalNode::recenter() {
    const uint32_t target = (kNodeSlots - len) / 2;
    if (offset == target) return;
    if (offset > target) {
        for (uint32_t k = 0; k < len; ++k) {
            const uint32_t from = offset + k;
            const uint32_t to = target + k;
            keys[to] = keys[from];
            children[to] = std::move(children[from]);
            bitmaps[to] = std::move(bitmaps[from]);
            bitmaps[from].reset();
        }
        offset = target;
    } else {
        shift_right(offset, offset + len, target - offset);
    }
}

std::pair<CompositeKey128, NodePtr> InternalNode::split() {
    const uint32_t keep = len / 2;
    const uint32_t moved = len - keep;
    auto* right = new InternalNode(kSplitSlot, leaf_children);
    NodePtr owner(right);
    for (uint32_t k = 0; k < moved; ++k) {
        const uint32_t from = offset + keep + k;
        const uint32_t to = kSplitSlot + k;
        right->keys[to] = keys[from];
        right->children[to] = std::move(children[from]);
        right->bitmaps[to] = std::move(bitmaps[from]);
        bitmaps[from].reset();
    }
    right->len = moved;
    len = keep;
    recenter();
    return {right->first_key("invalid offset"), std::move(owner)};
}

void InternalNode::append_leaf_ids(uint32_t index, std::vector<uint32_t>& ids,
                                   std::vector<const Bitmap*>& heavy_ids) const {
    const LeafNode& leaf = child_at(*this, offset + index)->as_leaf();
    leaf.collect(leaf.begin(), leaf.end(), ids, heavy_ids);
}

Bitmap InternalNode::get_bitmap() const {
    if (leaf_children) {
        std::vector<uint32_t> ids;
        std::vector<const Bitmap*> heavy_ids;
        ids.reserve(static_cast<size_t>(len) * kNodeSlots);
        for (uint32_t i = 0; i < len; ++i) append_leaf_ids(i, ids, heavy_ids);
        return Bitmap::or_many(heavy_ids, ids);
    }
    std::array<const Bitmap*, kNodeSlots> present;
    size_t n = 0;
    for (uint32_t slot = offset; slot < offset + len; ++slot) {
        if (bitmaps[slot].has_value()) present[n++] = &*bitmaps[slot];
    }
    return Bitmap::or_many(std::span<const Bitmap* const>(present.data(), n));
}

// --- the tree -----------------------------------------------------------------

BitMapBTree::BitMapBTree() : root_(new LeafNode(kRecenterSlot)) {}

TreeWrite BitMapBTree::insert(Number value, uint32_t id) {
    return insert_key(CompositeKey128(value, id));
}

TreeWrite BitMapBTree::insert_key(CompositeKey128 key) {
    if (root_->needs_split()) {
        auto [separator, right] = split_node(*root_);
        const bool over_leaves = root_->is_leaf();
        const CompositeKey128 first =
            root_->first_key(over_leaves ? "invalid offset" : "incorrect offset");
        NodePtr owner(new InternalNode(kRecenterSlot, over_leaves));
        InternalNode& root = owner->as_internal();
        if (!over_leaves) {
            root.bitmaps[kRecenterSlot] = ids_of(*root_);
            root.bitmaps[kRecenterSlot + 1] = ids_of(*right);
        }
        root.keys[kRecenterSlot] = first;
        root.children[kRecenterSlot] = std::move(root_);
        root.keys[kRecenterSlot + 1] = separator;
        root.children[kRecenterSlot + 1] = std::move(right);
        root.len = 2;
        root_ = std::move(owner);
    }
    TreeWrite inserted = insert_into(*root_, key);
    if (inserted.changed) ++size_;
    return inserted;
}

namespace {

// Keys per bulk-loaded node: room to grow on either side of a centered
// window before the first split.
constexpr uint32_t kBulkFill = 64;

// Sizes of `nodes` runs that share `items` as evenly as possible.
uint32_t run_size(std::size_t items, std::size_t nodes, std::size_t node) {
    return static_cast<uint32_t>(items / nodes + (node < items % nodes ? 1 : 0));
}

std::size_t nodes_for(std::size_t items) {
    return (items + kBulkFill - 1) / kBulkFill;
}

struct BuiltNode {
    NodePtr node;
    std::optional<Bitmap> ids;  // none for leaves
    CompositeKey128 first;
};

// The end of the run of keys of `at`'s value.
std::size_t run_end(std::span<const CompositeKey128> keys, std::size_t at) {
    const u128 prefix = keys[at].prefix();
    std::size_t end = at + 1;
    while (end < keys.size() && keys[end].prefix() == prefix) ++end;
    return end;
}

// Fills a leaf with the values whose keys are keys[first, last): each value
// with at least kHeavyRun keys as one heavy key.
NodePtr build_leaf(std::span<const CompositeKey128> keys, std::size_t first, std::size_t last,
                   uint32_t entries) {
    auto* leaf = new LeafNode((kNodeSlots - entries) / 2);
    NodePtr owner(leaf);
    CompositeKey128* out = leaf->keys.data() + leaf->offset;
    std::vector<uint32_t> ids;
    for (std::size_t at = first; at < last;) {
        const std::size_t end = run_end(keys, at);
        if (end - at < kHeavyRun) {
            out = std::copy(keys.data() + at, keys.data() + end, out);
        } else {
            ids.clear();
            for (std::size_t k = at; k < end; ++k) ids.push_back(keys[k].id());
            leaf->heavy.push_back({keys[at].prefix(), Bitmap::of(ids)});
            *out++ = CompositeKey128::first_of(keys[at].prefix());
        }
        at = end;
    }
    leaf->len = entries;
    return owner;
}

// Leaves of about kBulkFill keys each, every value whole in one of them.
std::vector<BuiltNode> build_leaves(std::span<const CompositeKey128> keys) {
    std::vector<BuiltNode> leaves;
    leaves.reserve(nodes_for(keys.size()));
    std::size_t first = 0;
    uint32_t entries = 0;
    for (std::size_t at = 0; at < keys.size();) {
        const std::size_t end = run_end(keys, at);
        const auto run_entries = static_cast<uint32_t>(end - at < kHeavyRun ? end - at : 1);
        if (entries + run_entries > kBulkFill) {
            leaves.push_back({build_leaf(keys, first, at, entries), std::nullopt,
                              CompositeKey128::first_of(keys[first].prefix())});
            first = at;
            entries = 0;
        }
        entries += run_entries;
        at = end;
    }
    leaves.push_back({build_leaf(keys, first, keys.size(), entries), std::nullopt,
                      CompositeKey128::first_of(keys[first].prefix())});
    return leaves;
}

std::vector<BuiltNode> build_level(std::vector<BuiltNode> children) {
    const std::size_t count = nodes_for(children.size());
    std::vector<BuiltNode> level;
    level.reserve(count);
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t n = run_size(children.size(), count, i);
        auto* node = new InternalNode((kNodeSlots - n) / 2, children[at].node->is_leaf());
        NodePtr owner(node);
        for (uint32_t k = 0; k < n; ++k) {
            BuiltNode& child = children[at + k];
            const uint32_t slot = node->offset + k;
            node->keys[slot] = child.first;
            node->children[slot] = std::move(child.node);
            node->bitmaps[slot] = std::move(child.ids);
        }
        node->len = n;
        level.push_back({std::move(owner), node->get_bitmap(), children[at].first});
        at += n;
    }
    return level;
}

}  // namespace

void BitMapBTree::insert_many(std::vector<CompositeKey128>& keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    if (keys.empty()) return;
    if (!empty()) {
        for (const CompositeKey128 key : keys) insert_key(key);
        return;
    }
    std::vector<BuiltNode> level = build_leaves(keys);
    while (level.size() > 1) level = build_level(std::move(level));
    root_ = std::move(level.front().node);
    size_ = keys.size();
}

namespace {

TreeWrite remove_from(BitMapBTreeNode& node, CompositeKey128 key) {
    if (node.is_leaf()) return node.as_leaf().remove(key);
    InternalNode& in = node.as_internal();
    const uint32_t slot = in.offset + in.child_index(key);
    BitMapBTreeNode* child = child_at(in, slot);
    TreeWrite removed = remove_from(*child, key);
    if (removed.changed && !in.leaf_children) {
        ensure(in.bitmaps[slot].has_value(), missing_bitmap_message(*child));
        in.bitmaps[slot]->remove(key.id());
    }
    return removed;
}

// The first (or last) key of the outermost leaf, if that leaf holds any:
// removals can empty a leaf, and then the end key is not looked for further.
std::optional<CompositeKey128> outer_key(const BitMapBTreeNode& root, bool first) {
    const BitMapBTreeNode* node = &root;
    while (!node->is_leaf()) {
        const InternalNode& in = node->as_internal();
        node = child_at(in, first ? in.offset : in.offset + in.len - 1);
    }
    const LeafNode& leaf = node->as_leaf();
    if (leaf.len == 0) return std::nullopt;
    return first ? *leaf.begin() : leaf.end()[-1];
}

// Gathers a range query's ids along its boundary paths, the bitmaps of the
// interior children wholly inside it and the ids of the leaves wholly inside
// it; they are united and intersected with the universe once at the end.
class RangeCollector {
  public:
    RangeCollector(const Bound& lower, const Bound& upper, std::mutex& refresh)
        : refresh_(refresh),
          lower_kind_(lower.kind),
          upper_kind_(upper.kind),
          lower_prefix_(lower.kind == Bound::Kind::None ? 0 : sort_prefix(lower.value)),
          upper_prefix_(upper.kind == Bound::Kind::None ? 0 : sort_prefix(upper.value)) {
        covered_.reserve(64);
        ids_.reserve(4 * kNodeSlots);
    }

    void collect(const BitMapBTreeNode& node, bool has_lower, bool has_upper) {
        if (node.is_leaf()) {
            collect_leaf(node.as_leaf(), has_lower, has_upper);
            return;
        }
        const InternalNode& in = node.as_internal();
        if (in.len == 0) return;
        const uint32_t lo = has_lower ? in.get_key_index_of_prefix(lower_prefix_, lower_mode()) : 0;
        const uint32_t hi =
            has_upper ? in.get_key_index_of_prefix(upper_prefix_, upper_mode()) : in.len - 1;
        // Every matching key lies in children lo..hi; lo > hi means none does.
        if (lo > hi) return;
        if (lo == hi) {
            if (has_lower || has_upper) {
                collect(*child_at(in, in.offset + lo), has_lower, has_upper);
            } else {
                cover(in, lo);
            }
            return;
        }
        // Child lo satisfies the upper bound throughout and child hi the
        // lower one, so each boundary path carries a single bound from here.
        if (has_lower) {
            collect(*child_at(in, in.offset + lo), true, false);
        } else {
            cover(in, lo);
        }
        for (uint32_t i = lo + 1; i < hi; ++i) cover(in, i);
        if (has_upper) {
            collect(*child_at(in, in.offset + hi), false, true);
        } else {
            cover(in, hi);
        }
    }

    // Whether `key` is present and satisfies the lower (upper) bound.
    bool meets_lower(std::optional<CompositeKey128> key) const {
        if (!key) return false;
        return lower_kind_ == Bound::Kind::Inclusive
                   ? !(*key < CompositeKey128::first_of(lower_prefix_))
                   : CompositeKey128::last_of(lower_prefix_) < *key;
    }
    bool meets_upper(std::optional<CompositeKey128> key) const {
        if (!key) return false;
        return upper_kind_ == Bound::Kind::Inclusive
                   ? !(CompositeKey128::last_of(upper_prefix_) < *key)
                   : *key < CompositeKey128::first_of(upper_prefix_);
    }

    Bitmap finish(const Bitmap& universe) {
        Bitmap result = Bitmap::or_many(covered_, ids_);
        result.and_inplace(universe);
        return result;
    }

  private:
    KeyIndexMode lower_mode() const {
        return lower_kind_ == Bound::Kind::Inclusive ? KeyIndexMode::LowerInclusive
                                                     : KeyIndexMode::LowerExclusive;
    }
    KeyIndexMode upper_mode() const {
        return upper_kind_ == Bound::Kind::Inclusive ? KeyIndexMode::UpperInclusive
                                                     : KeyIndexMode::UpperExclusive;
    }

    void cover(const InternalNode& in, uint32_t index) {
        if (in.leaf_children) {
            child_at(in, in.offset + index)->as_leaf().collect_covered(ids_, covered_, refresh_);
            return;
        }
        const std::optional<Bitmap>& bitmap = in.bitmaps[in.offset + index];
        ensure(bitmap.has_value(), missing_bitmap_message(*child_at(in, in.offset + index)));
        covered_.push_back(&*bitmap);
    }

    void collect_leaf(const LeafNode& leaf, bool has_lower, bool has_upper) {
        const CompositeKey128* first = leaf.begin();
        const CompositeKey128* last = leaf.end();
        if (has_lower) {
            first = lower_kind_ == Bound::Kind::Inclusive
                        ? std::lower_bound(first, last, CompositeKey128::first_of(lower_prefix_))
                        : std::upper_bound(first, last, CompositeKey128::last_of(lower_prefix_));
        }
        if (has_upper) {
            last = upper_kind_ == Bound::Kind::Inclusive
                       ? std::upper_bound(first, last, CompositeKey128::last_of(upper_prefix_))
                       : std::lower_bound(first, last, CompositeKey128::first_of(upper_prefix_));
        }
        leaf.collect(first, last, ids_, covered_);
    }

    std::mutex& refresh_;
    Bound::Kind lower_kind_;
    Bound::Kind upper_kind_;
    u128 lower_prefix_;
    u128 upper_prefix_;
    std::vector<const Bitmap*> covered_;
    std::vector<uint32_t> ids_;
};

}  // namespace

HeavyValue* BitMapBTree::heavy_value(Number value) {
    const CompositeKey128 key = CompositeKey128::first_of(CompositeKey128(value, 0).prefix());
    BitMapBTreeNode* node = root_.get();
    while (!node->is_leaf()) {
        const InternalNode& in = node->as_internal();
        node = child_at(in, in.offset + in.child_index(key));
    }
    return node->as_leaf().find_heavy(key.prefix());
}

TreeWrite BitMapBTree::remove(Number value, uint32_t id) {
    TreeWrite removed = remove_from(*root_, CompositeKey128(value, id));
    if (removed.changed) --size_;
    return removed;
}

// A bound that every stored key satisfies is dropped, so that the children
// along its side are taken whole instead of descended into: an open range
// arrives with an infinite bound, which only NaN keys lie beyond.
Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper,
                                const Bitmap& universe) const {
    RangeCollector collector(lower, upper, *refresh_);
    const bool has_lower =
        lower.kind != Bound::Kind::None && !collector.meets_lower(outer_key(*root_, true));
    const bool has_upper =
        upper.kind != Bound::Kind::None && !collector.meets_upper(outer_key(*root_, false));
    collector.collect(*root_, has_lower, has_upper);
    return collector.finish(universe);
}

// --- verification -------------------------------------------------------------

namespace {

struct Verifier {
    int leaf_depth = -1;
    uint64_t keys = 0;

    static void check(bool ok, const char* what) {
        if (!ok) [[unlikely]] {
            panic(std::string("BitMapBTree invariant violated: ") + what);
        }
    }

    // Checks the subtree and returns the ids beneath it. Its keys must lie in
    // [lower, upper) where given.
    Bitmap walk(const BitMapBTreeNode& node, int depth, const CompositeKey128* lower,
                const CompositeKey128* upper) {
        check(node.offset + node.len <= kNodeSlots, "window beyond the last slot");
        check(!node.touches_end() || node.len == kNodeSlots - 1,
              "window touches an end of a node that is not full");
        if (node.is_leaf()) return walk_leaf(node.as_leaf(), depth, lower, upper);

        const InternalNode& in = node.as_internal();
        check(in.len > 0, "empty interior node");
        for (uint32_t slot = 0; slot < kNodeSlots; ++slot) {
            const bool inside = slot >= in.offset && slot < in.offset + in.len;
            check(inside == (in.children[slot] != nullptr), "child presence differs from window");
            check((inside && !in.leaf_children) == in.bitmaps[slot].has_value(),
                  "bitmap presence differs from window");
            if (inside) {
                check(in.children[slot]->is_leaf() == in.leaf_children,
                      "leaf_children differs from the children");
            }
        }
        Bitmap all;
        for (uint32_t i = 0; i < in.len; ++i) {
            const uint32_t slot = in.offset + i;
            const CompositeKey128& key = in.keys[slot];
            // keys[offset] is never compared (see child_index).
            if (i > 1) check(in.keys[slot - 1] < key, "separators out of order");
            if (i > 0 && lower != nullptr) check(*lower < key, "separator below its node's range");
            if (i > 0 && upper != nullptr) check(key < *upper, "separator above its node's range");
            if (i > 0) check(key.id() == 0, "separator inside a value's keys");
            const CompositeKey128* child_lower = i == 0 ? lower : &in.keys[slot];
            const CompositeKey128* child_upper = i + 1 == in.len ? upper : &in.keys[slot + 1];
            Bitmap ids = walk(*in.children[slot], depth + 1, child_lower, child_upper);
            if (!in.leaf_children) {
                check(ids == *in.bitmaps[slot], "bitmap differs from the ids beneath its child");
            }
            all.or_inplace(ids);
        }
        return all;
    }

    Bitmap walk_leaf(const LeafNode& leaf, int depth, const CompositeKey128* lower,
                     const CompositeKey128* upper) {
        if (leaf_depth < 0) leaf_depth = depth;
        check(leaf_depth == depth, "leaves at different depths");
        uint32_t run = 0;
        for (const CompositeKey128* k = leaf.begin(); k != leaf.end(); ++k) {
            if (k != leaf.begin()) check(k[-1] < *k, "leaf keys out of order");
            if (lower != nullptr) check(*lower <= *k, "key below its separator");
            if (upper != nullptr) check(*k < *upper, "key at or above the next separator");
            run = k != leaf.begin() && k[-1].prefix() == k->prefix() ? run + 1 : 1;
            if (leaf.find_heavy(k->prefix()) != nullptr) {
                check(*k == CompositeKey128::first_of(k->prefix()) && run == 1,
                      "a heavy value has keys besides its first_of key");
            } else {
                check(run < kHeavyRun, "a value has kHeavyRun keys in its leaf");
            }
        }
        std::vector<uint32_t> light;
        std::vector<const Bitmap*> bitmaps;
        leaf.collect(leaf.begin(), leaf.end(), light, bitmaps);
        keys += light.size();
        const std::vector<HeavyValue>& heavy = leaf.heavy;
        check(bitmaps.size() == heavy.size(), "a heavy value without its key");
        for (std::size_t i = 0; i < heavy.size(); ++i) {
            if (i > 0) check(heavy[i - 1].prefix < heavy[i].prefix, "heavy values out of order");
            check(!heavy[i].ids.is_empty(), "a heavy value without ids");
            keys += heavy[i].ids.cardinality();
        }
        if (const Bitmap* made = leaf.current_union()) {
            check(*made == Bitmap::or_many(bitmaps), "a current union differs from its values");
        }
        return leaf.ids();
    }
};

}  // namespace

void BitMapBTree::verify() const {
    Verifier v;
    Bitmap ids = v.walk(*root_, 0, nullptr, nullptr);
    Verifier::check(v.keys == size_, "stored pair count differs from size()");
    Verifier::check(ids.cardinality() == v.keys, "an id is stored under more than one value");
}

}  // namespace corvalex
