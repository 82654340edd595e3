// The generic loader on generated documents of 1,000 to 100,000 elements, with
// many repeated names, file reading included.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "intake/loaders.h"

namespace {

std::string Document(int elements) {
    std::string doc = "<?xml version=\"1.0\"?>\n<Orders>\n";
    for (int i = 0; i < elements / 4; ++i)
        doc += "  <Order><PatientID>" + std::to_string(i) + "</PatientID><Name>P " + std::to_string(i) +
               "</Name><Study>CT</Study></Order>\n";
    return doc + "</Orders>\n";
}

void BM_GenericLoader(benchmark::State& state) {
    const int elements = static_cast<int>(state.range(0));
    const auto path = std::filesystem::temp_directory_path() / ("pvd-bench-" + std::to_string(elements) + ".xml");
    std::ofstream(path) << Document(elements);
    pvd::NullLog log;
    const pvd::IntakeContext ctx{pvd::xml::DefaultDocumentFactory(), log, pvd::SystemClock()};
    pvd::OrderState order;
    for (auto _ : state) {
        if (!pvd::LoadXML(order, path.string(), ctx)) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(order.xml_elements.data());
    }
    state.counters["elements"] = elements;
    state.counters["records"] = static_cast<double>(order.xml_elements.size());
    std::filesystem::remove(path);
}
BENCHMARK(BM_GenericLoader)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
