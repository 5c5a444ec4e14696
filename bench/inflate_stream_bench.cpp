// InflateStream against a plain zlib (and, where built in, ISA-L) inflate
// loop over the same 64 MiB, and what the fixed 4096-byte steps cost against
// larger ones. The InflateStream benchmarks take the backend as their last
// argument: 0 zlib, 1 ISA-L.

#include <benchmark/benchmark.h>
#include <zlib.h>
#ifdef INSTALLER_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "memory_source.h"
#include "package/byte_order.h"
#include "package/package_format.h"
#include "package/package_stream.h"
#include "storage/inflate_stream.h"

namespace {

using namespace velmora;

constexpr std::size_t DataSize = 64u << 20;

const std::string& compressed() {
    static const std::string bytes = [] {
        const std::string data = bench::sampleBytes(DataSize);
        uLongf size = compressBound(data.size());
        std::string out(size, '\0');
        compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
                  data.size(), 6);
        out.resize(size);
        return out;
    }();
    return bytes;
}

// The archive as the archive part of a package file.
const std::string& package() {
    static const std::string bytes = [] {
        const std::string& archive = compressed();
        std::string out(8 + 6, '\0');
        auto* header = reinterpret_cast<std::uint8_t*>(out.data());
        storeLe32(header, PackageMagic);
        storeLe32(header + 4, static_cast<std::uint32_t>(6 + archive.size()));
        storeLe16(header + 8, PartFileArchive);
        storeLe32(header + 10, static_cast<std::uint32_t>(archive.size()));
        return out + archive;
    }();
    return bytes;
}

// Plain zlib: input and output in steps of the given size.
void PlainInflate(benchmark::State& state) {
    const std::string& input = compressed();
    const auto step = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> output(step);
    for (auto _ : state) {
        z_stream zlib{};
        inflateInit(&zlib);
        std::size_t offset = 0;
        std::size_t total = 0;
        int result = Z_OK;
        while (result == Z_OK) {
            if (zlib.avail_in == 0) {
                const std::size_t n = std::min(step, input.size() - offset);
                zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data() + offset));
                zlib.avail_in = static_cast<uInt>(n);
                offset += n;
            }
            zlib.next_out = output.data();
            zlib.avail_out = static_cast<uInt>(step);
            result = inflate(&zlib, Z_NO_FLUSH);
            total += step - zlib.avail_out;
        }
        inflateEnd(&zlib);
        if (total != DataSize) state.SkipWithError("short inflate");
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataSize));
}
BENCHMARK(PlainInflate)->Arg(4096)->Arg(16384)->Arg(65536)->Unit(benchmark::kMillisecond);

#ifdef INSTALLER_HAVE_ISAL
// Plain ISA-L: input and output in steps of the given size.
void PlainIsalInflate(benchmark::State& state) {
    const std::string& input = compressed();
    const auto step = static_cast<std::size_t>(state.range(0));
    std::vector<unsigned char> output(step);
    auto isal = std::make_unique<inflate_state>();
    for (auto _ : state) {
        isal_inflate_init(isal.get());
        isal->crc_flag = ISAL_ZLIB;
        std::size_t offset = 0;
        std::size_t total = 0;
        while (isal->block_state != ISAL_BLOCK_FINISH) {
            if (isal->avail_in == 0 && offset < input.size()) {
                const std::size_t n = std::min(step, input.size() - offset);
                isal->next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(input.data() + offset));
                isal->avail_in = static_cast<std::uint32_t>(n);
                offset += n;
            }
            isal->next_out = output.data();
            isal->avail_out = static_cast<std::uint32_t>(step);
            if (isal_inflate(isal.get()) != ISAL_DECOMP_OK) break;
            total += step - isal->avail_out;
        }
        if (total != DataSize) state.SkipWithError("short inflate");
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataSize));
}
BENCHMARK(PlainIsalInflate)->Arg(4096)->Arg(16384)->Arg(65536)->Unit(benchmark::kMillisecond);
#endif

InflateBackend backendArgument(const benchmark::State& state, int index) {
    return state.range(index) == 1 ? InflateBackend::Isal : InflateBackend::Zlib;
}

// Every backend the build carries as the last argument.
void backendArguments(benchmark::internal::Benchmark* bench, std::vector<std::int64_t> first) {
    for (const std::int64_t backend : {0, 1}) {
        if (!hasInflateBackend(backend == 1 ? InflateBackend::Isal : InflateBackend::Zlib)) continue;
        if (first.empty()) {
            bench->Arg(backend);
            continue;
        }
        for (const std::int64_t value : first) bench->Args({value, backend});
    }
}

// InflateStream with reads of the given size (its own steps stay 4096).
void StreamInflate(benchmark::State& state) {
    const std::string& input = compressed();
    std::vector<char> buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        bench::MemorySource memory(input);
        std::istream source(&memory);
        InflateStream in(source, backendArgument(state, 1));
        std::size_t total = 0;
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
            total += static_cast<std::size_t>(in.gcount());
        if (total != DataSize) state.SkipWithError("short inflate");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataSize));
}
BENCHMARK(StreamInflate)
    ->Apply([](auto* bench) { backendArguments(bench, {30, 4096, 65536}); })
    ->Unit(benchmark::kMillisecond);

// Skipping every byte with seekg, as the installer does for files it leaves.
void StreamSkip(benchmark::State& state) {
    const std::string& input = compressed();
    for (auto _ : state) {
        bench::MemorySource memory(input);
        std::istream source(&memory);
        InflateStream in(source, backendArgument(state, 0));
        if (!in.seekg(static_cast<std::streamoff>(DataSize), std::ios::cur)) state.SkipWithError("short skip");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataSize));
}
BENCHMARK(StreamSkip)->Apply([](auto* bench) { backendArguments(bench, {}); })->Unit(benchmark::kMillisecond);

// The install path: the archive part of a hashed package, inflated.
void PackageInflate(benchmark::State& state) {
    const std::string& bytes = package();
    std::vector<char> buffer(65536);
    for (auto _ : state) {
        bench::MemorySource memory(bytes);
        std::istream source(&memory);
        PackageFile file(source, true);
        file.want(PartFileArchive);
        file.nextPart();
        InflateStream in(file, backendArgument(state, 0));
        std::size_t total = 0;
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
            total += static_cast<std::size_t>(in.gcount());
        if (total != DataSize) state.SkipWithError("short inflate");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataSize));
}
BENCHMARK(PackageInflate)->Apply([](auto* bench) { backendArguments(bench, {}); })->Unit(benchmark::kMillisecond);

}  // namespace
