// One signature check next to the X25519 operations of OpenSSL in the same
// run: the check should cost at most about three of them. The installer's
// whole check of a package adds the stream and SHA-1 around it.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>

#include "key_file.h"
#include "package/curve25519.h"
#include "package/field25519.h"
#include "package/package_format.h"
#include "package/package_stream.h"
#include "package/signature_signer.h"
#include "package/signature_verifier.h"
#include "package_builder.h"

namespace velmora {
namespace {

using Bytes32 = std::array<uint8_t, 32>;

Bytes32 randomBytes(std::mt19937& rng) {
    Bytes32 out;
    for (auto& b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

struct SignedSample {
    uint8_t digest[20];
    uint8_t r[16];
    uint8_t v[32];
    uint8_t publicKey[32];
};

SignedSample makeSample() {
    std::mt19937 rng(1);
    SignedSample s{};
    Bytes32 privateKey;
    Bytes32 adjusted;
    do {
        privateKey = randomBytes(rng);
    } while (!derivePublicKey(privateKey.data(), s.publicKey, adjusted.data()));
    for (auto& b : s.digest) {
        b = static_cast<uint8_t>(rng());
    }
    Bytes32 nonce = randomBytes(rng);
    signDigest(s.digest, privateKey.data(), nonce.data(), sha256Constants(), s.r, s.v);
    return s;
}

void verifyCommitmentBench(benchmark::State& state) {
    SignedSample s = makeSample();
    for (auto _ : state) {
        bool ok = verifyCommitment(s.digest, s.r, s.v, s.publicKey, sha256Constants());
        benchmark::DoNotOptimize(ok);
        if (!ok) {
            state.SkipWithError("signature did not verify");
            break;
        }
    }
}
BENCHMARK(verifyCommitmentBench)->Name("verifyCommitment");

// The installer's whole check of one package, as it meets the signature
// part: the package streamed through a hashing PackageFile, the digest
// compared, the commitment checked under the built-in key. The package is
// small, so that the curve dominates; its archive holds 4 KiB.
void installerVerifySignatureBench(benchmark::State& state) {
    std::string error;
    auto key = loadSigningKey(DEV_KEY_FILE, error);
    if (!key) {
        state.SkipWithError(error.c_str());
        return;
    }
    PackageRecipe recipe;
    recipe.name = "stavel";
    recipe.version = 0x06016600;
    recipe.files = {regularFile("/bin/tool", std::string(4096, 't'))};
    const std::string image = buildPackage(recipe, &*key);
    for (auto _ : state) {
        std::istringstream in(image);
        PackageFile file(in, true);
        file.want(PartSignature);
        bool ok = file.nextPart() == PartSignature && file.verifySignature();
        benchmark::DoNotOptimize(ok);
        if (!ok) {
            state.SkipWithError("the package did not verify (is the development key built in?)");
            break;
        }
    }
}
BENCHMARK(installerVerifySignatureBench)->Name("PackageFile::verifySignature (4 KiB package)");

void scalarMultUBench(benchmark::State& state) {
    std::mt19937 rng(2);
    Bytes32 scalar = randomBytes(rng);
    Bytes32 u = randomBytes(rng);
    Bytes32 out;
    for (auto _ : state) {
        scalarMultU(scalar.data(), u.data(), out.data());
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(scalarMultUBench)->Name("scalarMultU (own X25519 ladder)");

void opensslX25519Bench(benchmark::State& state) {
    std::mt19937 rng(3);
    Bytes32 privateKey = randomBytes(rng);
    Bytes32 peerKey = randomBytes(rng);
    EVP_PKEY* own = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, privateKey.data(), 32);
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerKey.data(), 32);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(own, nullptr);
    if (EVP_PKEY_derive_init(ctx) != 1 || EVP_PKEY_derive_set_peer(ctx, peer) != 1) {
        state.SkipWithError("X25519 set-up failed");
    }
    Bytes32 out;
    for (auto _ : state) {
        size_t length = out.size();
        if (EVP_PKEY_derive(ctx, out.data(), &length) != 1) {
            state.SkipWithError("X25519 derive failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(own);
}
BENCHMARK(opensslX25519Bench)->Name("OpenSSL X25519 EVP_PKEY_derive");

void fieldMulBench(benchmark::State& state) {
    std::mt19937 rng(4);
    Bytes32 a = randomBytes(rng);
    Bytes32 b = randomBytes(rng);
    FieldElement x = feDecode(a.data());
    FieldElement y = feDecode(b.data());
    for (auto _ : state) {
        x = feMul(x, y);
        benchmark::DoNotOptimize(x);
    }
}
BENCHMARK(fieldMulBench)->Name("feMul");

void fieldSquareBench(benchmark::State& state) {
    std::mt19937 rng(5);
    Bytes32 a = randomBytes(rng);
    FieldElement x = feDecode(a.data());
    for (auto _ : state) {
        x = feSquare(x);
        benchmark::DoNotOptimize(x);
    }
}
BENCHMARK(fieldSquareBench)->Name("feSquare");

}  // namespace
}  // namespace velmora
