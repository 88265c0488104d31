// Text forms of captured values and expressions, as `repr` of a
// `PyQueryExpr` shows them. Need an attached thread (a Str cast reads its
// text from the object).
#pragma once

#include <string>
#include <string_view>

#include "index/query_expr.hpp"
#include "index/value.hpp"

namespace corvalex {

// `PyValue { obj: Py(0x..), primitave: Int(5), hash: 5 }`.
std::string value_debug_text(const PyValue& value);

// `And([Eq("a", PyValue { ... }), Not(...)])`, built without recursion.
std::string query_debug_text(const QueryExpr& expr);

// The shortest text that reads back to `value`, with the fixed/exponent
// switch at 1e16 and 1e-4 (`1.0`, `1e16`, `1e-5`, `NaN`, `inf`, `-inf`).
std::string format_float(double value);

// `text` between double quotes with debug escapes.
std::string quote_debug(std::string_view text);

}  // namespace corvalex
