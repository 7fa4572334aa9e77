// Expression nodes of the rolling operators. They hold no data: each records a
// kernel, a window and its inputs and answers shift / expr / dependencies.
//
// Attributes are read back from the instance on every access (not cached in
// C++), so Python subclasses and user code that set them see their own values.
#include "common/pybind11.hpp"
#include "common/pyclass.hpp"
#include "rolling/bindings.hpp"

namespace quellix::rolling {
namespace {

const char* const kRollingWindowFactorDoc = R"(
    滑动窗口因子类

    Parameters
    ----------
    func : function
        滑动窗口函数
    window : int
        窗口大小
    factor : quellix.interface.AbstractFactor
        输入因子
    )";

const char* const kCombinedRollingWindowFactorDoc = R"(
    组合滑动因子类

    Parameters
    ----------
    func : function
        滑动窗口函数
    window : int
        窗口大小
    args : factors
        输入因子

    Notes
    -----
    args中所有参数都必须为AbstractFactor的子类对象
    )";

// The members are attached after type() has built the class, so ABCMeta still
// lists the base's abstract properties and would refuse to instantiate it.
void refresh_abstract_methods(const py::object& cls) {
    py::module_ abc = py::module_::import("abc");
    if (py::hasattr(abc, "update_abstractmethods")) {
        abc.attr("update_abstractmethods")(cls);
    } else if (py::hasattr(cls, "__abstractmethods__")) {
        cls.attr("__abstractmethods__") = py::module_::import("builtins").attr("frozenset")();
    }
}

void bind_rolling_window_factor(py::module_& m) {
    py::object cls = make_class("RollingWindowFactor", py::make_tuple(m.attr("AbstractFactor")), m,
                                kRollingWindowFactorDoc);
    // AbstractFactor is looked up on the module at call time, as a Python global would be.
    py::object mod = m;

    add_init(
        cls,
        [mod](py::object self, py::object func, py::object window, py::object factor) {
            check_assert(py::isinstance(factor, mod.attr("AbstractFactor")));
            self.attr("_func") = func;
            self.attr("_factor") = factor;
            self.attr("_window") = window;
        },
        py::arg("func"), py::arg("window"), py::arg("factor"));

    // The input's own object, not a copy: callers may rely on its identity.
    add_property(cls, "dependencies",
                 [](py::object self) -> py::object { return self.attr("_factor").attr("dependencies"); });

    // Series first, window second: the order of the single-series kernels.
    add_property(cls, "expr", [](py::object self) {
        return py::make_tuple(self.attr("_func"),
                              py::make_tuple(self.attr("_factor").attr("expr"), self.attr("_window")));
    });

    add_property(cls, "shift", [](py::object self) -> py::object {
        py::object window = self.attr("_window");
        py::object input_shift = self.attr("_factor").attr("shift");
        return (window - py::int_(1)) + input_shift;
    });

    add_method(cls, "__repr__", [](py::object self) {
        return py::str("{}({!r}, {})")
            .format(self.attr("_func").attr("__name__"), self.attr("_factor"), self.attr("_window"));
    });

    refresh_abstract_methods(cls);
    m.attr("RollingWindowFactor") = cls;
}

void bind_combined_rolling_window_factor(py::module_& m) {
    py::object cls = make_class("CombinedRollingWindowFactor", py::make_tuple(m.attr("AbstractFactor")), m,
                                kCombinedRollingWindowFactorDoc);
    py::object mod = m;

    add_init(
        cls,
        [mod](py::object self, py::object func, py::object window, py::args args) {
            py::object abstract_factor = mod.attr("AbstractFactor");
            for (py::handle arg : args) {
                check_assert(py::isinstance(arg, abstract_factor));
            }
            py::list shifts;
            for (py::handle arg : args) {
                shifts.append(arg.attr("shift"));
            }
            // builtins.max keeps Python's own error for a node without inputs.
            py::object max_shift = py::module_::import("builtins").attr("max")(shifts);

            // Inputs with less history drop their surplus leading observations,
            // so every aligned input evaluates to arrays of equal length and dates.
            py::object shifted_factor = mod.attr("ShiftedFactor");
            py::list factors;
            for (py::handle arg : args) {
                py::object shift = arg.attr("shift");
                if (shift < max_shift) {
                    factors.append(shifted_factor(arg, max_shift - shift));
                } else {
                    factors.append(arg);
                }
            }
            self.attr("_func") = func;
            self.attr("_window") = window;
            self.attr("_factors") = factors;
            self.attr("_shift") = (max_shift + window) - py::int_(1);
        },
        py::arg("func"), py::arg("window"));

    // Window first, then the series: the order of the two-series kernels.
    add_property(cls, "expr", [](py::object self) {
        py::list args;
        args.append(self.attr("_window"));
        for (py::handle factor : self.attr("_factors")) {
            args.append(factor.attr("expr"));
        }
        return py::make_tuple(self.attr("_func"), py::tuple(args));
    });

    add_property(cls, "shift", [](py::object self) -> py::object { return self.attr("_shift"); });

    add_property(cls, "dependencies", [](py::object self) {
        py::list out;
        for (py::handle factor : self.attr("_factors")) {
            for (py::handle dependency : factor.attr("dependencies")) {
                out.append(dependency);
            }
        }
        return out;
    });

    add_method(cls, "__repr__", [](py::object self) {
        py::list reprs;
        for (py::handle factor : self.attr("_factors")) {
            reprs.append(py::repr(factor));
        }
        return py::str("{}({})").format(self.attr("_func").attr("__name__"), py::str(", ").attr("join")(reprs));
    });

    refresh_abstract_methods(cls);
    m.attr("CombinedRollingWindowFactor") = cls;
}

}  // namespace

void bind_nodes(py::module_& m) {
    bind_rolling_window_factor(m);
    bind_combined_rolling_window_factor(m);
}

}  // namespace quellix::rolling
