#include "support.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

// Models move themselves to the application object's thread and the store's save and a model's
// changed() run from its event loop, so the application object exists before any benchmark runs.
int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QCoreApplication application(argc, argv);
    korvel::bench::watch_warnings();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
