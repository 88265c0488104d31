// libFuzzer entry point of the range tree's model harness; see range_tree_model.hpp.
#include <cstddef>
#include <cstdint>

#include "range_tree_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    corvalex::model::run_range_tree_model(data, size);
    return 0;
}
