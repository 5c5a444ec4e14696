// Cost of planning the pending actions over catalogues of growing size.
// The plan nests scans (requirements of every record, conflicts of every
// pair, restarts of the unsatisfied-requirement pass), so it grows faster
// than the catalogue; a router holds tens of packages, and a thousand
// records must still plan well within a second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "planning/action_planning.h"
#include "planning/package_record.h"
#include "run/installer.h"

namespace velmora {
namespace {

constexpr Version kV10 = 0x01006600;  // 1.0

Dependency entry(std::string name, Version min = 0, Version max = 0, std::int32_t priority = 0) {
    Dependency d;
    d.name = std::move(name);
    d.min = min;
    d.max = max;
    d.priority = priority;
    return d;
}

// A small deterministic generator, so that every run plans the same
// catalogue.
class Draw {
public:
    explicit Draw(std::uint32_t seed) : state_(seed) {}
    int below(int bound) {
        state_ = state_ * 1664525u + 1013904223u;
        return static_cast<int>((state_ >> 8) % static_cast<std::uint32_t>(bound));
    }

private:
    std::uint32_t state_;
};

std::string recordName(int i) { return "pkg" + std::to_string(i); }

// count records: every one needs up to three earlier ones (by name, or a
// service that every eighth record provides), every twentieth conflicts
// with another, every ninth is disabled, and every fiftieth starts a
// bundle of four members and its bundle record. A handful of records carry
// scheduled actions, and two need something nobody provides, so the
// unsatisfied-requirement pass has chains to drop.
std::vector<PendingAction> buildCatalogue(Installer& installer, int count) {
    installer.packages.clear();
    installer.messages.clear();
    installer.quiet = true;
    Draw draw(12345);
    std::vector<PendingAction> actions;
    int bundleRecord = -1;  // index of the bundle record the next members belong to
    for (int i = 0; i < count; ++i) {
        auto record = std::make_unique<PackageRecord>(recordName(i));
        if (i % 50 == 10) bundleRecord = i + 4;
        if (i == bundleRecord) {
            record->isBundle = true;
            bundleRecord = -1;
        } else {
            if (bundleRecord >= 0) record->bundleRef.name = recordName(bundleRecord);
            int needs = i == 0 ? 0 : draw.below(4);
            for (int n = 0; n < needs; ++n) {
                int j = draw.below(i);
                if (draw.below(5) == 0) {
                    record->deps.push_back(entry("service" + std::to_string(j / 8)));
                } else {
                    record->deps.push_back(entry(recordName(j)));
                }
            }
            if (i % 8 == 0) record->provides.push_back(entry("service" + std::to_string(i / 8), 0, 0, i % 3));
            if (i % 20 == 19) record->conflicts.push_back(entry(recordName(draw.below(count))));
            record->disabled = i % 9 == 4;
        }
        record->version = kV10;
        installer.packages.push_back(std::move(record));
    }
    auto schedule = [&](int index, PendingAction action) {
        if (index < count) installer.packages[static_cast<std::size_t>(index)]->action = action;
    };
    schedule(count / 3, Uninstall);
    schedule(count / 2, Disable);
    schedule(4, Enable);
    schedule(count - 5, Enable);
    schedule(14, Disable);  // the first bundle record
    schedule(count / 5 + 1, Uninstall);
    for (int index : {count / 4, (3 * count) / 4}) {
        if (index < count) installer.packages[static_cast<std::size_t>(index)]->deps.push_back(entry("nowhere"));
    }
    for (const auto& record : installer.packages) actions.push_back(record->action);
    return actions;
}

void BM_PlanActions(benchmark::State& state) {
    Installer& installer = Installer::instance();
    const std::vector<PendingAction> scheduled = buildCatalogue(installer, static_cast<int>(state.range(0)));
    std::size_t removals = 0;
    std::size_t enables = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < scheduled.size(); ++i) installer.packages[i]->action = scheduled[i];
        std::vector<PackageRecord*> toRemove;
        std::vector<PackageRecord*> toEnable;
        bool accepted = planActions(installer, toRemove, toEnable, false);
        benchmark::DoNotOptimize(accepted);
        removals = toRemove.size();
        enables = toEnable.size();
    }
    state.counters["removals"] = static_cast<double>(removals);
    state.counters["enables"] = static_cast<double>(enables);
    installer.packages.clear();
}
BENCHMARK(BM_PlanActions)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmora
