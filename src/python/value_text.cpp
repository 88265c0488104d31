#include "python/value_text.hpp"

#include <Python.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace corvalex {

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";

    char buffer[64];
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
        // Shortest digits in scientific form, then rewritten as d.ddde-N.
        auto [end, error] =
            std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
        (void)error;
        std::string text(buffer, end);
        const auto e = text.find('e');
        std::string mantissa = text.substr(0, e);
        const int exponent = std::stoi(text.substr(e + 1));
        return mantissa + "e" + std::to_string(exponent);
    }
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    (void)error;
    std::string text(buffer, end);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string quote_debug(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[16];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string value_debug_text(const PyValue& value) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(value.object()));
    std::string cast;
    switch (value.kind()) {
        case CastKind::Int:
            cast = "Int(" + std::to_string(value.as_int()) + ")";
            break;
        case CastKind::Float:
            cast = "Float(" + format_float(value.as_float()) + ")";
            break;
        case CastKind::Str: {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value.object(), &size);
            cast = "Str(" + quote_debug({text, static_cast<std::size_t>(size)}) + ")";
            break;
        }
        case CastKind::Ind:
            cast = std::string("Ind(Py(") + address + "))";
            break;
        case CastKind::Unknown:
            cast = "Unknown";
            break;
    }
    // "primitave" is the system's fixed spelling in this text.
    return std::string("PyValue { obj: Py(") + address + "), primitave: " + cast +
           ", hash: " + std::to_string(value.hash()) + " }";
}

std::string query_debug_text(const QueryExpr& root) {
    std::string out;
    struct Open {
        const QueryExpr* expr;
        std::size_t next;
    };
    std::vector<Open> open;
    // Writes a whole leaf, or the head of a combination (which is then open).
    auto begin = [&](const QueryExpr& expr) {
        out += query_kind_name(expr.kind());
        out += '(';
        switch (expr.kind()) {
            case QueryKind::Not:
                open.push_back({&expr, 0});
                return;
            case QueryKind::And:
            case QueryKind::Or:
                out += '[';
                open.push_back({&expr, 0});
                return;
            default:
                break;
        }
        out += quote_debug(expr.attr());
        out += ", ";
        const bool listed = expr.kind() == QueryKind::In;
        if (listed) out += '[';
        bool first = true;
        for (const PyValue& value : expr.values()) {
            if (!first) out += ", ";
            first = false;
            out += value_debug_text(value);
        }
        if (listed) out += ']';
        out += ')';
    };

    begin(root);
    while (!open.empty()) {
        Open& top = open.back();
        const auto operands = top.expr->operands();
        if (top.next < operands.size()) {
            if (top.next > 0) out += ", ";
            begin(operands[top.next++]);  // may push: `top` is not used after this
            continue;
        }
        out += top.expr->kind() == QueryKind::Not ? ")" : "])";
        open.pop_back();
    }
    return out;
}

}  // namespace corvalex
