// libFuzzer entry point of the id set's model harness; see hybrid_set_model.hpp.
#include <cstddef>
#include <cstdint>

#include "hybrid_set_model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    corvalex::model::run_hybrid_set_model(data, size);
    return 0;
}
