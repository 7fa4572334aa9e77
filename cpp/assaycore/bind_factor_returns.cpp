#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/factor_portfolios.hpp"
#include "assaycore/core/factor_weights.hpp"
#include "assaycore/core/scratch.hpp"
#include "assaycore/frames.hpp"
#include "assaycore/portfolio_frames.hpp"
#include "assaycore/table_inputs.hpp"
#include "common/pyclass.hpp"

#include <cstdint>
#include <vector>

namespace quellix::assaycore {
namespace {

constexpr const char* kFactorReturnDoc =
    "analysis(self, factor_data, returns, periods, ascending=True)\n--\n\n"
    "\n"
    "        计算daily returns\n"
    "        ";

py::object factor_return_analysis(const py::module_& m, const py::object& self, const py::object& factor_data, const py::object& returns,
                    const py::object& periods, const py::object& ascending) {
    // A period below 1 would hold no sub-portfolio at all; it is refused here
    // rather than failing inside the averaging.
    require_frame(factor_data, "factor_data");
    const std::vector<std::int64_t> kept = portfolio_periods(periods, static_cast<std::int64_t>(py::len(factor_data)), false);
    const bool negate = flag_argument(ascending, "ascending", true);
    PortfolioInputs in = portfolio_inputs(factor_data, returns);
    const std::int64_t rows = in.rows, cols = in.cols;

    py::array_t<double> cumulative({static_cast<py::ssize_t>(kept.size()), static_cast<py::ssize_t>(rows)});
    double* out = cumulative.mutable_data();
    {
        py::gil_scoped_release release;
        const auto cells = static_cast<std::size_t>(rows * cols);
        core::Scratch<double> weights(cells), growth(cells);
        shifted_factor(in, weights.get());
        core::demeaned_weights(weights.get(), rows, cols, negate);
        factor_growth(in, growth.get());
        core::factor_portfolios(weights.get(), growth.get(), rows, cols, kept, out);
    }
    return m.attr("FactorReturnAnalysisResult")(
        py::arg("factor_returns") = make_frame(cumulative.attr("T"), date_index(in.factor_frame), period_columns(kept)),
        py::arg("name") = self.attr("step_name"));
}

}  // namespace

void bind_factor_returns(py::module_& m) {
    py::object cls = make_class("FactorReturnAnalysis", py::make_tuple(m.attr("FactorAnalyser")), m, " 分析器：因子收益率检验 ");
    py::module_ mod = m;
    add_method(
        cls, "analysis",
        [mod](const py::object& self, const py::object& factor_data, const py::object& returns, const py::object& periods,
              const py::object& ascending) { return factor_return_analysis(mod, self, factor_data, returns, periods, ascending); },
        py::arg("factor_data"), py::arg("returns"), py::arg("periods"), py::arg("ascending") = true, kFactorReturnDoc);
    m.attr("FactorReturnAnalysis") = cls;
}

}  // namespace quellix::assaycore
