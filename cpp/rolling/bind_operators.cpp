// The public upper-case operators: thin constructors of the rolling nodes.
//
// Each operator looks its node class and kernel up in the module namespace when
// called, the way a Python function resolves its globals, so rebinding a
// kernel on the module (e.g. to instrument it) changes what new nodes record.
#include "common/pybind11.hpp"
#include "rolling/bindings.hpp"

#include <string>
#include <vector>

namespace quellix::rolling {
namespace {

constexpr const char* kFactorType = "quellix.interface.AbstractFactor";

enum class Kind { single, pair, regression, every, alias };

struct Operator {
    Kind kind;
    const char* name;     // for an alias: the alias name
    const char* kernel;   // for an alias: the operator it names
    const char* summary;
    const char* window_name = "window";
    int indent = 4;
    const char* see_also = nullptr;
};

// Module definition order, operators beside the aliases that name them.
const Operator kOperators[] = {
    {Kind::single, "COUNT", "count", "滑动真值计数"},
    {Kind::single, "TS_RANK", "ts_rank", "滑动排序（在时间序列上）"},
    {Kind::every, "EVERY", "COUNT", "滑动计数全部为真"},
    {Kind::single, "PRODUCT", "product", "滑动乘积"},
    {Kind::pair, "COVARIANCE", "covariance", "滑动协方差"},
    {Kind::alias, "COV", "COVARIANCE", nullptr},
    {Kind::regression, "TS_REGRESSION", "regression", "滑动拟合回归"},
    {Kind::single, "TS_ZSCORE", "zscore", "滑动z分数", "window", 5},
    {Kind::single, "TS_SKEW", "skew", "滑动偏度", "window", 5},
    {Kind::single, "TS_KURT", "kurt", "滑动峰度", "window", 5},
    {Kind::single, "AVEDEV", "avedev", "滑动平均绝对离差", "window", 5},
    {Kind::single, "TS_ARGMAX", "ts_argmax", "滑动最大值索引", "n", 4, "TS_ARGMIN: vice versa"},
    {Kind::single, "TS_ARGMIN", "ts_argmin", "滑动最小值索引", "n", 4, "TS_ARGMAX: vice versa"},
    {Kind::pair, "CORRELATION", "correlation", "滑动皮尔逊相关系数"},
    {Kind::alias, "CORR", "CORRELATION", nullptr},
    {Kind::single, "MA", "ma", "简单移动平均"},
    {Kind::alias, "SMA", "MA", nullptr},
    {Kind::single, "EMA", "ema", "指数移动平均 (平滑系数=2)"},
    {Kind::single, "WMA", "wma", "加权移动平均"},
    {Kind::alias, "DECAY_LINEAR", "WMA", nullptr},
    {Kind::single, "STD", "std", "移动标准差"},
    {Kind::alias, "STDDEV", "STD", nullptr},
    {Kind::single, "VAR", "var", "移动方差"},
    {Kind::single, "SLOPE", "slope", "滑动线性拟合斜率"},
    {Kind::single, "SUM", "sum", "滑动求和"},
    {Kind::single, "TS_MIN", "ts_min", "滑动最小值"},
    {Kind::single, "TS_MAX", "ts_max", "滑动最大值"},
    {Kind::alias, "HHV", "TS_MAX", nullptr},
    {Kind::alias, "LLV", "TS_MIN", nullptr},
};

std::vector<std::pair<std::string, std::string>> parameters(const Operator& op) {
    switch (op.kind) {
        case Kind::pair:
            return {{"a", kFactorType}, {"b", kFactorType}, {"window", "int"}};
        case Kind::regression:
            return {{"Y", kFactorType}, {"X", kFactorType}, {"window", "int"}};
        default:
            return {{"factor", kFactorType}, {op.window_name, "int"}};
    }
}

const char* result_class(Kind kind) {
    switch (kind) {
        case Kind::single:
            return "quellix.rolling.RollingWindowFactor";
        case Kind::every:
            return "quellix.interface.BinaryCombinedFactor";
        default:
            return "quellix.rolling.CombinedRollingWindowFactor";
    }
}

// A leading "name(args)\n--\n\n" line becomes the function's __text_signature__
// (inspect.signature works) and is not part of __doc__.
std::string text_signature(const Operator& op) {
    std::string names;
    for (const auto& [name, type] : parameters(op)) names += (names.empty() ? "" : ", ") + name;
    return std::string(op.name) + "(" + names + ")\n--\n\n";
}

std::string docstring(const Operator& op) {
    const std::string pad(static_cast<size_t>(op.indent), ' ');
    auto section = [&pad](const std::string& title) {
        return "\n" + pad + title + "\n" + pad + std::string(title.size(), '-') + "\n";
    };
    std::string doc = "\n" + pad + op.summary + "\n" + section("Parameters");
    for (const auto& [name, type] : parameters(op)) {
        doc += pad + name + " : " + type + "\n";
    }
    doc += section("Returns") + pad + result_class(op.kind) + "\n";
    if (op.see_also) {
        doc += section("See also") + pad + op.see_also + "\n";
    }
    return doc + pad;
}

void define(py::module_& m, const Operator& op) {
    if (op.kind == Kind::alias) {
        // The very same function object, so the alias keeps the operator's __name__.
        m.attr(op.name) = m.attr(op.kernel);
        return;
    }
    py::object mod = m;
    const char* kernel = op.kernel;
    // pybind11 copies the text into the function object.
    const std::string doc = text_signature(op) + docstring(op);
    switch (op.kind) {
        case Kind::single:
            m.def(
                op.name,
                [mod, kernel](py::object factor, py::object window) {
                    return mod.attr("RollingWindowFactor")(mod.attr(kernel), window, factor);
                },
                py::arg("factor"), py::arg(op.window_name), py::doc(doc.c_str()));
            break;
        case Kind::pair:
            m.def(
                op.name,
                [mod, kernel](py::object a, py::object b, py::object window) {
                    return mod.attr("CombinedRollingWindowFactor")(mod.attr(kernel), window, a, b);
                },
                py::arg("a"), py::arg("b"), py::arg("window"), py::doc(doc.c_str()));
            break;
        case Kind::regression:
            // X goes first so the kernel regression(window, x, y) fits Y on X.
            m.def(
                op.name,
                [mod, kernel](py::object Y, py::object X, py::object window) {
                    return mod.attr("CombinedRollingWindowFactor")(mod.attr(kernel), window, X, Y);
                },
                py::arg("Y"), py::arg("X"), py::arg("window"), py::doc(doc.c_str()));
            break;
        case Kind::every:
            m.def(
                op.name,
                [mod, kernel](py::object factor, py::object window) {
                    py::object counted = mod.attr(kernel)(factor, window);
                    return mod.attr("BinaryCombinedFactor")(mod.attr("np").attr("equal"), counted, window);
                },
                py::arg("factor"), py::arg("window"), py::doc(doc.c_str()));
            break;
        case Kind::alias:
            break;
    }
}

}  // namespace

void bind_operators(py::module_& m) {
    for (const Operator& op : kOperators) {
        define(m, op);
    }
}

}  // namespace quellix::rolling
