#include "core/propagation.hpp"

namespace corvalex {

void propagate_attribute_write(IndexableRecord&, std::string_view, const PyValue&) {}

ReadGuard::ReadGuard(const std::vector<IndexMeta>&) {}
ReadGuard::~ReadGuard() = default;

}  // namespace corvalex
