// An ordered tree over (number, id) pairs whose interior entries carry the
// ids beneath each child, so that a range query takes every child that lies
// wholly inside the range by its bitmap instead of visiting its leaves.
//
// Node layout (one allocation per node, all slots inline):
//
//   BitMapBTreeNode { NodeKind kind; bool leaf_children; u32 len; u32 offset; }
//   LeafNode     : BitMapBTreeNode { CompositeKey128 keys[96];
//                                    vector<HeavyValue> heavy; }
//   InternalNode : BitMapBTreeNode { CompositeKey128 keys[96];
//                                    optional<Bitmap> bitmaps[96];
//                                    NodePtr children[96]; }
//   HeavyValue   { u128 prefix; Bitmap ids; }
//
// A leaf keeps one key per (value, id) pair while a value has few ids in it.
// When a value would get its kHeavyRun-th key, its keys collapse into one
// key, first_of(prefix), and its ids move to a bitmap in the leaf's `heavy`
// side table. An attribute with a few thousand distinct values then has a
// few leaves that stay in cache, and a write changes one bitmap for the
// value it leaves and one for the value it joins, instead of moving keys in
// two cold leaves. A heavy value stays heavy until its last id goes.
//
// A range query that covers a leaf takes the union of its heavy values,
// which the leaf makes on the first such query after a change and keeps
// until the next one. Keeping it current instead would cost every write two
// updates of a large bitmap (a leaf of a few-valued attribute holds tens of
// thousands of ids); uniting the values on every query would cost wide
// ranges a few times the tree's time.
//
// The nodes just above the leaves carry no bitmaps: a leaf's keys hold its
// ids already, in one contiguous array, where a bitmap of its few dozen ids
// scattered over the id space would be a dozen tiny containers that every
// write touches twice. A range query copies a covered leaf's ids instead,
// and unites its heavy values' bitmaps.
//
// The used slots of a node are its window, offset .. offset+len-1. The window
// sits in the middle of the slots, so an insertion shifts at most half of it
// towards the nearer free end; it is recentered when it reaches an end.
//
// Invariants (checked by `verify()`):
//   1. Interior slots inside the window have a child; slots outside it have
//      none. A slot has a bitmap exactly when it has a child that is itself
//      interior. (Leaf keys outside the window are garbage.)
//   2. Leaf keys ascend strictly; no key occurs twice in the tree. Interior
//      separators ascend strictly from window index 1 on.
//   3. keys[i] of an interior node is first_of(the first value child i held
//      when it was created); child i holds keys from keys[i] up to, not
//      including, keys[i+1], so all keys of one value sit in one leaf.
//      Child 0 holds every key of the node below keys[1]: its own separator
//      is never compared, and may exceed keys[1] once child 0 has received
//      smaller keys and split.
//   4. bitmaps[i] holds exactly the ids of the keys beneath child i.
//   5. Leaves, and the nodes whose children are leaves, carry no bitmaps;
//      `leaf_children` says which nodes those are.
//   6. All leaves are at the same depth; the tree grows only at the root.
//   7. At rest, a window touches slot 0 or slot 96 only if it holds 95 keys.
//   8. A leaf's heavy values ascend by prefix, each holds at least one id and
//      has exactly one key in the leaf, first_of(prefix). Other values have
//      fewer than kHeavyRun keys in their leaf.
//
// Nodes are split when full (95 keys) and never merged; removal only takes
// keys out of leaves and ids out of bitmaps, and separators are never
// rewritten, so a separator may name a value that is no longer stored.
// A leaf splits between two values, the nearest to its middle.
//
// Precondition: an id is stored under at most one value at a time (the
// attribute map removes an object's old value before inserting its new one);
// the per-child bitmaps hold ids, not pairs.
//
// Cost, with n keys and fanout ~48..95: insert and remove O(log n) node
// visits, a binary search and a shift of at most half a node each (or two
// bitmap updates for a heavy value), plus one bitmap update per level above
// the leaves' parents. A range query descends only along its two boundary
// paths; every child between them contributes its bitmap (or, below the
// leaves' parents, its keys' ids and its heavy values' bitmaps) to one
// union, and the result is intersected with the universe once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/composite_key.hpp"
#include "structures/number.hpp"

namespace corvalex {

// One end of a range condition.
struct Bound {
    enum class Kind : uint8_t { Inclusive, Exclusive, None };

    Kind kind;
    Number value;  // ignored for None

    static Bound inclusive(Number v) { return {Kind::Inclusive, v}; }
    static Bound exclusive(Number v) { return {Kind::Exclusive, v}; }
    static Bound none() { return {Kind::None, Number::from_int(0)}; }
};

// Which child `get_key_index` picks when separators share the bound's value.
// LowerInclusive and UpperExclusive lean left; the other two lean right.
enum class KeyIndexMode : uint8_t {
    LowerInclusive,
    LowerExclusive,
    UpperInclusive,
    UpperExclusive
};

inline constexpr uint32_t kNodeSlots = 96;

enum class NodeKind : uint8_t { Internal, Leaf };

struct BitMapBTreeNode;
struct LeafNode;
struct InternalNode;

struct NodeDeleter {
    void operator()(BitMapBTreeNode* node) const noexcept;
};
using NodePtr = std::unique_ptr<BitMapBTreeNode, NodeDeleter>;

struct BitMapBTreeNode {
    NodeKind kind;
    bool leaf_children = false;  // interior nodes only
    uint32_t len;
    uint32_t offset;

    bool is_leaf() const { return kind == NodeKind::Leaf; }
    const LeafNode& as_leaf() const;
    const InternalNode& as_internal() const;
    LeafNode& as_leaf();
    InternalNode& as_internal();

    // True when the node holds (about) a full window that touches an end.
    bool needs_split() const { return len >= 86 && (offset == 0 || offset + len >= kNodeSlots); }
    bool touches_end() const { return offset == 0 || offset + len == kNodeSlots; }
    // The first key of the window; `message` if the window is empty.
    CompositeKey128 first_key(const char* message) const;

  protected:
    BitMapBTreeNode(NodeKind k, uint32_t l, uint32_t o) : kind(k), len(l), offset(o) {}
    ~BitMapBTreeNode() = default;
};

// A leaf's keys of one value at which they collapse into a heavy value.
inline constexpr uint32_t kHeavyRun = 32;
// Heavy values in a covered leaf from which a query takes their cached union.
inline constexpr std::size_t kUnionFrom = 4;

// A value with many ids in one leaf.
struct HeavyValue {
    // Whether the tree's owner lends `ids` to a map of its own, under
    // `lent_key` there. The owner sets this; the tree only keeps it with the
    // value (a split moves both).
    enum class Lending : uint8_t { Unknown, Lent, NotLent };

    u128 prefix;
    Bitmap ids;
    Lending lending = Lending::Unknown;
    uint64_t lent_key = 0;
};

// What a write did.
struct TreeWrite {
    TreeWrite() = default;
    explicit TreeWrite(bool changed_pair, HeavyValue* heavy_value = nullptr)
        : changed(changed_pair), heavy(heavy_value) {}

    bool changed = false;         // the pair was added (removed)
    HeavyValue* heavy = nullptr;  // the value's heavy entry after the write, if it has one
    // A removal that took a heavy value's last id hands over its emptied
    // bitmap, so that whoever borrowed it can tell before it goes.
    std::optional<Bitmap> emptied;
};

struct LeafNode : BitMapBTreeNode {
    std::array<CompositeKey128, kNodeSlots> keys;
    std::vector<HeavyValue> heavy;  // ascending prefix

    explicit LeafNode(uint32_t start_offset = 48)
        : BitMapBTreeNode(NodeKind::Leaf, 0, start_offset) {}

    const CompositeKey128* begin() const { return keys.data() + offset; }
    const CompositeKey128* end() const { return keys.data() + offset + len; }

    // Unchanged if the pair is already present.
    TreeWrite insert_non_full(CompositeKey128 key);
    // Unchanged if the pair is absent.
    TreeWrite remove(CompositeKey128 key);
    std::pair<CompositeKey128, NodePtr> split();
    void recenter();
    // A new bitmap of the ids of every pair in the leaf.
    Bitmap ids() const;
    // Appends the ids of the pairs under the keys [first, last) of the
    // window: a heavy value's bitmap to `bitmaps`, other ids to `ids`.
    void collect(const CompositeKey128* first, const CompositeKey128* last,
                 std::vector<uint32_t>& ids, std::vector<const Bitmap*>& bitmaps) const;
    // As `collect` for the whole leaf, its heavy values as their union
    // (made under `refresh` if a change has made it stale).
    void collect_covered(std::vector<uint32_t>& ids, std::vector<const Bitmap*>& bitmaps,
                         std::mutex& refresh) const;
    // The heavy value with this prefix, or null.
    const HeavyValue* find_heavy(u128 prefix) const;
    HeavyValue* find_heavy(u128 prefix) {
        return const_cast<HeavyValue*>(std::as_const(*this).find_heavy(prefix));
    }
    // The union of the heavy values if one has been made since their last
    // change, else null.
    const Bitmap* current_union() const {
        return union_stale_.load(std::memory_order_acquire) ? nullptr : &*union_;
    }

  private:
    // Replaces the run [first, last) of one value's keys, and `id`, by the
    // value's one heavy key; returns the new heavy value.
    HeavyValue* make_heavy(CompositeKey128* first, CompositeKey128* last, uint32_t id);
    // Closes the gap of the key at `at`.
    void erase_key(CompositeKey128* at);
    // Window index at which a split leaves whole values on either side.
    uint32_t split_point() const;
    void heavy_changed() { union_stale_.store(true, std::memory_order_relaxed); }

    // Writers hold the owner's exclusive lock, so a union a reader finds
    // current stays so while readers run; concurrent readers make a stale
    // one under the tree's refresh mutex.
    mutable std::atomic<bool> union_stale_{true};
    mutable std::optional<Bitmap> union_;
};

struct InternalNode : BitMapBTreeNode {
    std::array<CompositeKey128, kNodeSlots> keys;
    std::array<std::optional<Bitmap>, kNodeSlots> bitmaps;
    std::array<NodePtr, kNodeSlots> children;

    InternalNode(uint32_t start_offset, bool over_leaves)
        : BitMapBTreeNode(NodeKind::Internal, 0, start_offset) {
        leaf_children = over_leaves;
    }

    // Window index (0 .. len-1) of the child a bound with this value starts
    // or ends in; see ranged_b_tree.cpp.
    uint32_t get_key_index(Number value, KeyIndexMode mode) const;
    uint32_t get_key_index_of_prefix(u128 prefix, KeyIndexMode mode) const;
    // Window index of the child that holds or receives `key`.
    uint32_t child_index(CompositeKey128 key) const;

    TreeWrite insert(CompositeKey128 key);
    TreeWrite split_and_insert(CompositeKey128 key, uint32_t child);
    std::pair<CompositeKey128, NodePtr> split();
    void recenter();
    void shift_right(uint32_t from, uint32_t to, uint32_t by);
    // A new bitmap of every id beneath the node.
    Bitmap get_bitmap() const;
    // Appends the ids beneath child `index`, a leaf, as `LeafNode::collect`.
    void append_leaf_ids(uint32_t index, std::vector<uint32_t>& ids,
                         std::vector<const Bitmap*>& heavy_ids) const;
};

class BitMapBTree {
  public:
    BitMapBTree();
    BitMapBTree(BitMapBTree&&) noexcept = default;
    BitMapBTree& operator=(BitMapBTree&&) noexcept = default;

    // Stores (value, id); storing a pair that is already present changes nothing.
    TreeWrite insert(Number value, uint32_t id);
    // Stores many pairs at once; `keys` is sorted and unique on return. An
    // empty tree is built bottom-up from them (leaves filled in key order,
    // each interior bitmap made once from its child's ids); a tree that
    // holds pairs already takes them one by one, in key order.
    void insert_many(std::vector<CompositeKey128>& keys);
    // `changed` if the pair was stored and has been removed.
    TreeWrite remove(Number value, uint32_t id);
    // Ids of the stored pairs whose value lies within the bounds, restricted
    // to `universe`.
    Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& universe) const;

    // Number of stored pairs.
    uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Read-only view for tests and diagnostics.
    const BitMapBTreeNode& root() const { return *root_; }
    // Walks the whole tree and checks every invariant; panics on a violation.
    void verify() const;

    // The heavy value of `value`, or null if it has none.
    HeavyValue* heavy_value(Number value);
    // Calls `visit(HeavyValue&)` for every heavy value.
    template <class Visit>
    void for_each_heavy(Visit&& visit) {
        auto each = [&](LeafNode& leaf) {
            for (HeavyValue& value : leaf.heavy) visit(value);
        };
        for_each_leaf(*root_, each);
    }

  private:
    TreeWrite insert_key(CompositeKey128 key);
    template <class Visit>
    static void for_each_leaf(BitMapBTreeNode& node, Visit& visit) {
        if (node.is_leaf()) return visit(node.as_leaf());
        InternalNode& in = node.as_internal();
        for (uint32_t slot = in.offset; slot < in.offset + in.len; ++slot)
            for_each_leaf(*in.children[slot], visit);
    }

    NodePtr root_;
    uint64_t size_ = 0;
    std::unique_ptr<std::mutex> refresh_ = std::make_unique<std::mutex>();
};

}  // namespace corvalex
