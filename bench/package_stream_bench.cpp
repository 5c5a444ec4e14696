// The package stream layers against OpenSSL's SHA-1 over the same bytes: the
// layers should cost little beyond the digest itself.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "memory_source.h"
#include "package/byte_order.h"
#include "package/package_format.h"
#include "package/package_stream.h"

namespace {

using namespace velmora;

constexpr std::size_t ArchiveSize = 64u << 20;

std::string part(std::uint16_t type, const std::string& data) {
    std::uint8_t header[6];
    storeLe16(header, type);
    storeLe32(header + 2, static_cast<std::uint32_t>(data.size()));
    return std::string(reinterpret_cast<const char*>(header), sizeof header) + data;
}

// A 64 MiB package: header, archive, signature.
const std::string& package() {
    static const std::string bytes = [] {
        std::string body = part(PartHeader, std::string(36, 'h')) + part(PartFileArchive, bench::sampleBytes(ArchiveSize)) +
                           part(PartSignature, std::string(68, 's'));
        std::uint8_t header[8];
        storeLe32(header, PackageMagic);
        storeLe32(header + 4, static_cast<std::uint32_t>(body.size()));
        return std::string(reinterpret_cast<const char*>(header), sizeof header) + body;
    }();
    return bytes;
}

void RawSha1(benchmark::State& state) {
    const std::string& bytes = package();
    const auto step = static_cast<std::size_t>(state.range(0));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    for (auto _ : state) {
        unsigned char digest[20];
        EVP_DigestInit_ex(context, EVP_sha1(), nullptr);
        for (std::size_t offset = 8; offset < bytes.size(); offset += step)
            EVP_DigestUpdate(context, bytes.data() + offset, std::min(step, bytes.size() - offset));
        EVP_DigestFinal_ex(context, digest, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(context);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(RawSha1)->Arg(1 << 20)->Arg(16384)->Arg(4096)->Unit(benchmark::kMillisecond);

// Walking past the archive: the buffer skips it in 16 KiB steps, hashing.
void WalkHashed(benchmark::State& state) {
    const std::string& bytes = package();
    for (auto _ : state) {
        bench::MemorySource memory(bytes);
        std::istream source(&memory);
        PackageFile file(source, true);
        file.want(PartSignature);
        benchmark::DoNotOptimize(file.nextPart());
        benchmark::DoNotOptimize(file.verifySignature());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(WalkHashed)->Unit(benchmark::kMillisecond);

// Reading the archive part with read() in steps of the given size, hashing.
void ReadHashed(benchmark::State& state) {
    const std::string& bytes = package();
    std::vector<char> buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        bench::MemorySource memory(bytes);
        std::istream source(&memory);
        PackageFile file(source, true);
        file.want(PartFileArchive);
        file.nextPart();
        while (file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(ReadHashed)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

// Stored images are read without hashing: skipping seeks the source.
void WalkUnhashed(benchmark::State& state) {
    const std::string& bytes = package();
    for (auto _ : state) {
        bench::MemorySource memory(bytes);
        std::istream source(&memory);
        PackageFile file(source, false);
        file.want(PartSignature);
        benchmark::DoNotOptimize(file.nextPart());
    }
}
BENCHMARK(WalkUnhashed)->Unit(benchmark::kMicrosecond);

}  // namespace
