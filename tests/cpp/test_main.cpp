// Test entry point. Some core records own Python objects, so the tests run
// inside an embedded interpreter; pure data-structure tests simply ignore it.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    const int result = RUN_ALL_TESTS();
    Py_FinalizeEx();
    return result;
}
