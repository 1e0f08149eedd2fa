// Parser throughput: a typical 200-character SELECT, its parameterised twin bound and
// parsed, and the placeholder count alone. Target: at least 500,000 parses per second on
// one core for the plain SELECT.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sql/params.h"
#include "sql/parser.h"

namespace {

const std::string kSelect =
    "SELECT o.id, o.customer_name, SUM(o.total) AS revenue FROM orders o JOIN customers c ON o.customer_id = c.id "
    "WHERE o.status = 'shipped' AND o.total >= 25.50 GROUP BY o.id ORDER BY o.id DESC LIMIT 50";

const std::string kTemplate =
    "SELECT o.id, o.customer_name, SUM(o.total) AS revenue FROM orders o JOIN customers c ON o.customer_id = c.id "
    "WHERE o.status = ? AND o.total >= ? GROUP BY o.id ORDER BY o.id DESC LIMIT 50";

void BM_ParseSelect(benchmark::State& state) {
  for (auto _ : state) {
    auto r = qm::sql::parse(kSelect);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kSelect.size()));
  state.SetLabel(std::to_string(kSelect.size()) + "-character SELECT");
}
BENCHMARK(BM_ParseSelect);

void BM_BindAndParseSelect(benchmark::State& state) {
  const std::vector<qm::Value> params = {qm::Value::text("shipped"), qm::Value::decimal(25500000)};
  for (auto _ : state) {
    auto sql = qm::sql::bind_params(kTemplate, params);
    auto r = qm::sql::parse(*sql);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BindAndParseSelect);

void BM_ParameterCount(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(qm::sql::parameter_count(kTemplate));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParameterCount);

}  // namespace

BENCHMARK_MAIN();
