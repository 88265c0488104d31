#include <Python.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "base/panic.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "index/value.hpp"
#include "python/value_capture.hpp"
#include "python/value_text.hpp"

namespace corvalex {
namespace {

py::Ref eval(const char* expression) {
    py::Ref globals = py::Ref::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    return py::Ref::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
}

PyValue capture(const char* expression) {
    py::Ref object = eval(expression);
    EXPECT_TRUE(object) << expression;
    return capture_value(object.get());
}

TEST(FormatFloat, ShortestRoundTripWithFixedAndExponentForms) {
    EXPECT_EQ(format_float(1.0), "1.0");
    EXPECT_EQ(format_float(-0.0), "-0.0");
    EXPECT_EQ(format_float(0.1), "0.1");
    EXPECT_EQ(format_float(123.25), "123.25");
    EXPECT_EQ(format_float(1e15), "1000000000000000.0");
    EXPECT_EQ(format_float(1e16), "1e16");
    EXPECT_EQ(format_float(1.5e300), "1.5e300");
    EXPECT_EQ(format_float(0.0001), "0.0001");
    EXPECT_EQ(format_float(1e-5), "1e-5");
    EXPECT_EQ(format_float(-2.5e-7), "-2.5e-7");
    EXPECT_EQ(format_float(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_float(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_float(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(format_float(0.30000000000000004), "0.30000000000000004");
}

TEST(QuoteDebug, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(quote_debug("plain"), "\"plain\"");
    EXPECT_EQ(quote_debug("a\"b\\c\n\t"), "\"a\\\"b\\\\c\\n\\t\"");
    EXPECT_EQ(quote_debug(std::string_view("\x01", 1)), "\"\\u{1}\"");
    EXPECT_EQ(quote_debug("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
}

TEST(PyValue, CastsByExactType) {
    EXPECT_EQ(capture("5").kind(), CastKind::Int);
    EXPECT_EQ(capture("5").as_int(), 5);
    EXPECT_EQ(capture("-2**63").as_int(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(capture("2.5").kind(), CastKind::Float);
    EXPECT_EQ(capture("'héllo'").kind(), CastKind::Str);
    EXPECT_EQ(capture("True").kind(), CastKind::Unknown);
    EXPECT_EQ(capture("None").kind(), CastKind::Unknown);
    EXPECT_EQ(capture("type('I', (int,), {})(3)").kind(), CastKind::Unknown);
    EXPECT_EQ(capture("type('S', (str,), {})('x')").kind(), CastKind::Unknown);
    EXPECT_EQ(capture("(1, 2)").kind(), CastKind::Unknown);
}

TEST(PyValue, EqualityIsHashEquality) {
    EXPECT_EQ(capture("1"), capture("1.0"));
    EXPECT_EQ(capture("1"), capture("True"));
    EXPECT_EQ(capture("-1"), capture("-2"));
    EXPECT_EQ(capture("''"), capture("0"));
    EXPECT_EQ(capture("[1, 2]").hash(), 0u);
    EXPECT_EQ(capture("0.0"), capture("-0.0"));
    EXPECT_FALSE(capture("1") == capture("2"));
    EXPECT_EQ(capture("-5").hash(), static_cast<std::uint64_t>(-5));
}

TEST(PyValue, UncapturableValuesRaiseWithoutLeavingAnErrorBehind) {
    py::Ref big = eval("2**63");
    EXPECT_THROW(capture_value(big.get()), py::PythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_OverflowError));
    PyErr_Clear();
    py::Ref surrogate = eval("'\\udc80'");
    EXPECT_THROW(capture_value(surrogate.get()), py::PythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_UnicodeEncodeError));
    PyErr_Clear();
}

TEST(PyValue, CopiesOwnTheirReferenceAndMovesTransferIt) {
    py::Ref list = eval("[1]");
    const Py_ssize_t before = Py_REFCNT(list.get());
    {
        PyValue value = capture_value(list.get());
        PyValue copy = value.clone();
        EXPECT_EQ(copy.object(), list.get());
        EXPECT_EQ(Py_REFCNT(list.get()), before + 2);
        PyValue moved = std::move(value);
        EXPECT_EQ(Py_REFCNT(list.get()), before + 2);
    }
    EXPECT_EQ(Py_REFCNT(list.get()), before);
}

TEST(PyValue, CopiesMovesAndAssignmentsKeepTheCastBitForBit) {
    const PyValue negative_zero = capture("-0.0");
    const PyValue nan = capture("float('nan')");
    const PyValue smallest = capture("-2**63");
    const auto bits = [](double number) { return std::bit_cast<std::uint64_t>(number); };
    PyValue copy = negative_zero.clone();
    EXPECT_EQ(bits(copy.as_float()), bits(-0.0));
    PyValue moved = std::move(copy);
    EXPECT_EQ(bits(moved.as_float()), bits(-0.0));
    moved = nan;
    EXPECT_EQ(bits(moved.as_float()), bits(nan.as_float()));
    EXPECT_TRUE(std::isnan(moved.as_float()));
    moved = smallest.clone();
    EXPECT_EQ(moved.kind(), CastKind::Int);
    EXPECT_EQ(moved.as_int(), std::numeric_limits<std::int64_t>::min());
}

TEST(PyValue, CopyingWithoutAThreadStateIsAnInternalError) {
    PyValue value = capture("[1]");
    PyThreadState* saved = PyEval_SaveThread();
    bool refused = false;
    try {
        PyValue copy = value.clone();
    } catch (const Panic&) {
        refused = true;
    }
    PyEval_RestoreThread(saved);
    EXPECT_TRUE(refused);
}

TEST(PyValue, DropOnADetachedThreadIsDeferredUntilDrained) {
    py::Ref list = eval("[1]");
    const Py_ssize_t before = Py_REFCNT(list.get());
    {
        PyValue value = capture_value(list.get());
        PyThreadState* saved = PyEval_SaveThread();
        { PyValue moved = std::move(value); }
        PyEval_RestoreThread(saved);
        EXPECT_EQ(Py_REFCNT(list.get()), before + 1);
    }
    py::drain_deferred_releases();
    EXPECT_EQ(Py_REFCNT(list.get()), before);
}

TEST(PyValue, DebugText) {
    const std::string text = value_debug_text(capture("5"));
    EXPECT_EQ(text.rfind("PyValue { obj: Py(0x", 0), 0u) << text;
    EXPECT_NE(text.find("), primitave: Int(5), hash: 5 }"), std::string::npos) << text;
    EXPECT_NE(value_debug_text(capture("1e16")).find("Float(1e16)"), std::string::npos);
    EXPECT_NE(value_debug_text(capture("'a\"b'")).find("Str(\"a\\\"b\")"), std::string::npos);
    EXPECT_NE(value_debug_text(capture("None")).find("primitave: Unknown,"), std::string::npos);
    EXPECT_NE(value_debug_text(capture("-1")).find("hash: 18446744073709551614 }"),
              std::string::npos);
}

}  // namespace
}  // namespace corvalex
