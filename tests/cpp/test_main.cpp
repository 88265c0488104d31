// Test entry point. Some core records own Python objects, so the tests run
// inside an embedded interpreter; pure data-structure tests simply ignore it.
#include <Python.h>
#include <gtest/gtest.h>

#ifdef CORVALEX_SANITIZE
// The embedded interpreter keeps a few allocations until exit; they are not
// ours, and test discovery must not fail on them. The runtime looks the
// function up dynamically: it must be visible.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    const int result = RUN_ALL_TESTS();
    Py_FinalizeEx();
    return result;
}
