// Record table costs in the shape the analysis uses them: one file-table row
// appended and filled per file found, then cells read back by index.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "records/tables.h"

namespace {

using qvx::records::RecordTable;
using namespace qvx::records;  // FolderColumn indexes

// A row as an NTFS standard search writes it: a ~20-character name, the
// record's sector, its number, the parent, an 18-digit FILETIME, a size.
void fillFileRow(RecordTable& table, std::uint32_t i, std::string& name) {
    name = "document_";
    name += std::to_string(i);
    name += ".docx";
    while (name.size() < 20) name += '_';
    const int row = table.appendRow(name);
    table.setU32(row, kSector, 6291456u + i * 2u);
    table.setU32(row, kSelf, i + 64u);
    table.setU32(row, kParent, 5u + (i % 997u));
    table.setI64(row, kDate, 132514285190000000LL + static_cast<std::int64_t>(i) * 10000);
    table.setU32(row, kSize, (i * 7919u) % 1048576u);
    table.setCell(row, kType, "FILE");
    if (i % 10 == 0) table.setCell(row, kDeleted, "1");
}

RecordTable makeFilledFileTable(std::uint32_t rows) {
    RecordTable table = makeFileTable();
    std::string name;
    for (std::uint32_t i = 0; i < rows; ++i) fillFileRow(table, i, name);
    return table;
}

void BM_AppendFileRows(benchmark::State& state) {
    const auto rows = static_cast<std::uint32_t>(state.range(0));
    std::string name;
    for (auto _ : state) {
        RecordTable table = makeFileTable();
        for (std::uint32_t i = 0; i < rows; ++i) fillFileRow(table, i, name);
        benchmark::DoNotOptimize(table.rowCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AppendFileRows)->Arg(1000)->Arg(200000)->Unit(benchmark::kMillisecond);

void BM_ReadCells(benchmark::State& state) {
    const RecordTable table = makeFilledFileTable(200000);
    const int rows = table.rowCount();
    std::uint64_t sum = 0;
    for (auto _ : state) {
        for (int r = 0; r < rows; ++r) {
            sum += static_cast<std::uint64_t>(table.getI32(r, kParent));
            sum += table.getU32(r, kSector);
            sum += table.cell(r, kName).size();
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * rows * 3);
}
BENCHMARK(BM_ReadCells)->Unit(benchmark::kMillisecond);

void BM_GetCellCopy(benchmark::State& state) {
    const RecordTable table = makeFilledFileTable(200000);
    const int rows = table.rowCount();
    for (auto _ : state) {
        for (int r = 0; r < rows; ++r) benchmark::DoNotOptimize(table.getCell(r, kName, 256));
    }
    state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_GetCellCopy)->Unit(benchmark::kMillisecond);

void BM_SortByParent(benchmark::State& state) {
    const RecordTable filled = makeFilledFileTable(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        RecordTable table = filled;
        state.ResumeTiming();
        table.sortByColumn(kParent);
        benchmark::DoNotOptimize(table.rowCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortByParent)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    {
        const RecordTable table = makeFilledFileTable(200000);
        const std::size_t bytes = table.memoryBytes();
        std::printf("FileTable of %d rows: %zu bytes (%.1f MiB, %.0f bytes per row)\n",
                    table.rowCount(), bytes, static_cast<double>(bytes) / (1024.0 * 1024.0),
                    static_cast<double>(bytes) / table.rowCount());
        std::fflush(stdout);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
