// Cost of admitting one offered package against catalogues of growing
// size. Every admission scans the catalogue once per requirement and once
// more for conflicts, so the cost should grow linearly with the records.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include "planning/admission.h"
#include "planning/package_record.h"
#include "run/installer.h"
#include "storage/flash_device.h"

namespace velmora {
namespace {

constexpr Version kOld = 0x01006600;  // 1.0
constexpr Version kNew = 0x02006600;  // 2.0

Dependency entry(std::string name, Version min = 0, Version max = 0, std::int32_t priority = 0) {
    Dependency d;
    d.name = std::move(name);
    d.min = min;
    d.max = max;
    d.priority = priority;
    return d;
}

std::string recordName(int i) { return "pkg" + std::to_string(i); }

// count records named pkg0..pkgN-1, each needing two earlier ones, every
// fourth providing a service, every fifth in conflict with a package that
// is not offered, every tenth disabled. The last record is the installed
// version of the offered package, so finding it scans everything.
void buildCatalogue(Installer& installer, int count) {
    installer.packages.clear();
    installer.messages.clear();
    installer.arch = "powerpc";
    for (int i = 0; i < count; ++i) {
        auto record = std::make_unique<PackageRecord>(i == count - 1 ? std::string("offered") : recordName(i));
        record->version = kOld;
        record->arch = "powerpc";
        if (i >= 2) {
            record->deps.push_back(entry(recordName(i - 1)));
            record->deps.push_back(entry(recordName(i / 2), kOld));
        }
        if (i % 4 == 0) record->provides.push_back(entry("service" + std::to_string(i % 16), kOld, kOld, i % 3));
        if (i % 5 == 0) record->conflicts.push_back(entry("absent" + std::to_string(i)));
        record->disabled = i % 10 == 9;
        installer.packages.push_back(std::move(record));
    }
}

std::unique_ptr<PackageRecord> makeOffer(int count, bool satisfiable) {
    auto offer = std::make_unique<PackageRecord>("offered");
    offer->version = kNew;
    offer->arch = "powerpc";
    // Requirements met near the start, the middle and the end, and one by a
    // provision.
    offer->deps.push_back(entry(recordName(0)));
    offer->deps.push_back(entry(recordName(count / 2), kOld, kNew));
    offer->deps.push_back(entry(recordName(count - 2)));
    offer->deps.push_back(entry("service0", kOld));
    if (!satisfiable) offer->deps.push_back(entry("missing"));
    offer->provides.push_back(entry("service4", kNew, kNew, 5));
    offer->conflicts.push_back(entry("absent"));
    return offer;
}

// An upgrade that is admitted without a message: the common case.
void BM_AdmitUpgrade(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Installer& installer = Installer::instance();
    FlashDeviceSubstitute absent;
    setFlashDeviceSubstitute(&absent);
    buildCatalogue(installer, count);
    auto offer = makeOffer(count, true);
    if (admitOffer(installer, *offer, AllowUpgrade) != Upgrade) {
        state.SkipWithError("unexpected outcome");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(admitOffer(installer, *offer, AllowUpgrade));
    }
    state.counters["records"] = count;
    setFlashDeviceSubstitute(nullptr);
}
BENCHMARK(BM_AdmitUpgrade)->Arg(10)->Arg(100)->Arg(1000);

// A refused offer: an unmet requirement (scanned to the end) and the
// message formatted, but not printed.
void BM_AdmitRefused(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Installer& installer = Installer::instance();
    FlashDeviceSubstitute absent;
    setFlashDeviceSubstitute(&absent);
    buildCatalogue(installer, count);
    installer.quiet = true;
    auto offer = makeOffer(count, false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(admitOffer(installer, *offer, AllowUpgrade));
    }
    installer.quiet = false;
    state.counters["records"] = count;
    setFlashDeviceSubstitute(nullptr);
}
BENCHMARK(BM_AdmitRefused)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace velmora
