#include "storage/inflate_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "../package/package_bytes.h"
#include "package/package_stream.h"

namespace velmora {

void PrintTo(InflateBackend backend, std::ostream* out) { *out << inflateBackendName(backend); }

namespace {

// Bytes that compress, but not to nothing: a refill holds many steps.
std::string sampleData(std::size_t size) {
    std::string data(size, '\0');
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = static_cast<char>('a' + (state >> 16) % 7);
    }
    return data;
}

// Bytes that compress so well that the whole stream is one input step.
std::string repetitiveData(std::size_t size) {
    const std::string unit = sampleData(997);
    std::string data;
    while (data.size() < size) data += unit;
    data.resize(size);
    return data;
}

// Bytes that do not compress: every refill consumes a whole input step.
std::string noiseData(std::size_t size) {
    std::string data(size, '\0');
    std::uint32_t state = 99;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = static_cast<char>(state >> 24);
    }
    return data;
}

std::string compress(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
                        data.size(), 6),
              Z_OK);
    out.resize(size);
    return out;
}

// zlib format with the given settings; a flush every flushEvery input bytes
// (0: none) puts block boundaries and empty stored blocks in the stream.
std::string deflateWith(const std::string& data, int level, int windowBits, int strategy, std::size_t flushEvery = 0,
                        int flush = Z_SYNC_FLUSH) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
    std::string out(deflateBound(&z, data.size()) + 64 + (flushEvery ? 6 * (data.size() / flushEvery + 1) : 0), '\0');
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    std::size_t offset = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        const std::size_t piece = flushEvery ? std::min(flushEvery, data.size() - offset) : data.size() - offset;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
        z.avail_in = static_cast<uInt>(piece);
        offset += piece;
        result = deflate(&z, offset == data.size() ? Z_FINISH : flush);
        EXPECT_TRUE(result == Z_OK || result == Z_STREAM_END);
        if (result != Z_OK && result != Z_STREAM_END) break;
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A source that hands out at most `piece` bytes a call, as a part that is
// read from a pipe might.
class TrickleSource : public std::streambuf {
public:
    TrickleSource(const std::string& bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}

protected:
    std::streamsize xsgetn(char* out, std::streamsize count) override {
        const std::size_t n = std::min({static_cast<std::size_t>(count), piece_, bytes_.size() - offset_});
        std::copy_n(bytes_.data() + offset_, n, out);
        offset_ += n;
        return static_cast<std::streamsize>(n);
    }
    int_type underflow() override {
        return offset_ < bytes_.size() ? traits_type::to_int_type(bytes_[offset_]) : traits_type::eof();
    }

private:
    const std::string& bytes_;
    std::size_t piece_;
    std::size_t offset_ = 0;
};

std::string readUpTo(std::istream& in, std::size_t count) {
    std::string out(count, '\0');
    in.read(out.data(), static_cast<std::streamsize>(count));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

// The backends this build carries: every test runs against each.
std::vector<InflateBackend> builtBackends() {
    std::vector<InflateBackend> backends;
    for (const auto backend : {InflateBackend::Zlib, InflateBackend::Isal})
        if (hasInflateBackend(backend)) backends.push_back(backend);
    return backends;
}

std::string backendName(const ::testing::TestParamInfo<InflateBackend>& info) {
    return inflateBackendName(info.param);
}

class InflateStreamTest : public ::testing::TestWithParam<InflateBackend> {};

INSTANTIATE_TEST_SUITE_P(Backends, InflateStreamTest, ::testing::ValuesIn(builtBackends()), backendName);

TEST(InflateBackendTest, TheBuildsChoiceIsTheDefault) {
#ifdef INSTALLER_HAVE_ISAL
    EXPECT_EQ(defaultInflateBackend(), InflateBackend::Isal);
#else
    EXPECT_EQ(defaultInflateBackend(), InflateBackend::Zlib);
    std::istringstream source(compress("x"));
    EXPECT_THROW(InflateStream(source, InflateBackend::Isal), std::invalid_argument);
#endif
    EXPECT_TRUE(hasInflateBackend(InflateBackend::Zlib));
}

TEST_P(InflateStreamTest, ReadsTheDataBackWhole) {
    const std::string data = sampleData(10000);
    std::istringstream source(compress(data));
    InflateStream in(source, GetParam());
    EXPECT_EQ(readUpTo(in, 10000), data);
    EXPECT_TRUE(in.good());
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
}

TEST_P(InflateStreamTest, ReadingPastTheEndIsShort) {
    const std::string data = sampleData(10000);
    std::istringstream source(compress(data));
    InflateStream in(source, GetParam());
    EXPECT_EQ(readUpTo(in, 10001), data);
    EXPECT_TRUE(in.eof());
    EXPECT_TRUE(in.fail());
}

TEST_P(InflateStreamTest, IncompressibleDataCrossesManyInputSteps) {
    const std::string data = noiseData(50000);
    std::istringstream source(compress(data));
    InflateStream in(source, GetParam());
    std::string out;
    for (int c; (c = in.get()) != std::char_traits<char>::eof();) out += static_cast<char>(c);
    EXPECT_EQ(out, data);
}

TEST_P(InflateStreamTest, PutBackSurvivesARefill) {
    const std::string data = noiseData(20000);
    std::istringstream source(compress(data));
    InflateStream in(source, GetParam());
    ASSERT_EQ(in.get(), static_cast<unsigned char>(data[0]));
    // The rest of the first refill, then the first byte of the next.
    const std::size_t refill = 1 + static_cast<std::size_t>(in.rdbuf()->in_avail());
    ASSERT_LT(refill, data.size());
    ASSERT_EQ(readUpTo(in, refill - 1), data.substr(1, refill - 1));
    ASSERT_EQ(in.peek(), static_cast<unsigned char>(data[refill]));
    ASSERT_TRUE(in.unget());
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[refill - 1]));
    EXPECT_EQ(readUpTo(in, 10), data.substr(refill, 10));
}

TEST_P(InflateStreamTest, PutBackAtTheVeryStartFails) {
    std::istringstream source(compress(sampleData(100)));
    InflateStream in(source, GetParam());
    EXPECT_FALSE(in.unget());
}

TEST_P(InflateStreamTest, SkipsForwardOnly) {
    const std::string data = sampleData(10000);
    std::istringstream source(compress(data));
    InflateStream in(source, GetParam());
    ASSERT_TRUE(in.seekg(5000, std::ios::cur));
    EXPECT_EQ(readUpTo(in, 10), data.substr(5000, 10));
    EXPECT_EQ(in.tellg(), 5010);
    EXPECT_FALSE(in.seekg(0));
    in.clear();
    EXPECT_FALSE(in.seekg(-1, std::ios::cur));
    in.clear();
    EXPECT_FALSE(in.seekg(0, std::ios::end));
    in.clear();
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[5010]));
    EXPECT_FALSE(in.seekg(5000, std::ios::cur)) << "past the end";
}

// Sets the two header bytes, with the check bits that make them a multiple
// of 31.
void setHeader(std::string& compressed, unsigned method, unsigned flags) {
    flags &= 0xE0;
    flags |= (31 - ((method << 8) | flags) % 31) % 31;
    compressed[0] = static_cast<char>(method);
    compressed[1] = static_cast<char>(flags & 0xFF);
}

struct DamageRow {
    const char* name;
    std::size_t size;
    // Changes the compressed bytes.
    void (*damage)(std::string&);
    // Bytes expected before the end: a prefix of the original data.
    std::size_t expected;
};

void PrintTo(const DamageRow& row, std::ostream* out) { *out << row.name; }

class InflateDamageTest : public ::testing::TestWithParam<std::tuple<InflateBackend, DamageRow>> {};

TEST_P(InflateDamageTest, EndsWithoutHandingOutTheBadRefill) {
    const auto& [backend, row] = GetParam();
    const std::string data = repetitiveData(row.size);
    std::string compressed = compress(data);
    ASSERT_LE(compressed.size(), InflateStreamBuf::StepSize);
    row.damage(compressed);
    std::istringstream source(compressed);
    InflateStream in(source, backend);
    const std::string out = readUpTo(in, row.size);
    EXPECT_EQ(out.size(), row.expected);
    EXPECT_EQ(out, data.substr(0, out.size()));
    EXPECT_TRUE(in.eof());
    EXPECT_TRUE(in.fail());
    in.clear();
    EXPECT_EQ(in.get(), std::char_traits<char>::eof()) << "the end stays";
}

INSTANTIATE_TEST_SUITE_P(
    Damage, InflateDamageTest,
    ::testing::Combine(::testing::ValuesIn(builtBackends()), ::testing::Values(
        // All compressed input arrives in one step: each refill yields 4096
        // bytes until the one that meets the check value.
        DamageRow{"wrongAdlerSmall", 100, [](std::string& c) { c.back() ^= 0x01; }, 0},
        DamageRow{"wrongAdlerAfterFourSteps", 20000, [](std::string& c) { c.back() ^= 0x01; }, 16384},
        DamageRow{"badHeader", 100, [](std::string& c) { c[0] ^= 0x01; }, 0},
        DamageRow{"badBlockType", 100, [](std::string& c) { c[2] = static_cast<char>(c[2] | 0x06); }, 0},
        DamageRow{"emptySource", 100, [](std::string& c) { c.clear(); }, 0},
        // Header bits zlib refuses: a window over 32 KiB, a preset
        // dictionary, another method (each with the check bits made right).
        DamageRow{"windowTooLarge", 100, [](std::string& c) { setHeader(c, 0x88, 0); }, 0},
        DamageRow{"presetDictionary", 100, [](std::string& c) { setHeader(c, 0x78, 0x20); }, 0},
        DamageRow{"notDeflate", 100, [](std::string& c) { setHeader(c, 0x77, 0); }, 0})),
    [](const auto& info) {
        return std::string(inflateBackendName(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
    });

TEST_P(InflateStreamTest, TruncatedSourceHandsOutWhatItHad) {
    const std::string data = noiseData(30000);
    const std::string compressed = compress(data);
    std::istringstream source(compressed.substr(0, 15000));
    InflateStream in(source, GetParam());
    const std::string out = readUpTo(in, data.size());
    EXPECT_GT(out.size(), 8192u);
    EXPECT_LT(out.size(), 15000u);
    EXPECT_EQ(out, data.substr(0, out.size()));
    EXPECT_TRUE(in.eof());
}

TEST_P(InflateStreamTest, StopsAtTheEndOfAPackagePart) {
    using namespace velmora::test;
    const std::string data = sampleData(30000);
    const std::string bytes =
        packageFile({part(PartFileArchive, compress(data)), part(PartSignature, std::string(68, 's'))});
    std::istringstream source(bytes);
    PackageFile file(source, true);
    file.want(PartFileArchive);
    file.want(PartSignature);
    ASSERT_EQ(file.nextPart(), PartFileArchive);
    {
        InflateStream in(file, GetParam());
        EXPECT_EQ(readUpTo(in, data.size() + 1), data);
    }
    EXPECT_EQ(file.nextPart(), PartSignature);
    EXPECT_EQ(file.partRemaining(), 68u);
}

// The same archives through every backend, read from sources that hand out
// 1, 3 or 4096 bytes at a time: each valid archive gives exactly its data,
// each damaged one ends, after nothing but a prefix of the data where the
// damage is a cut. (A cut inside the check value may still give all the
// data: nothing shows it before the end.)
struct Archive {
    std::string name;
    std::string data;
    std::string compressed;
    bool valid;
    bool cut;  // a valid archive cut short: what comes out is a prefix
};

std::vector<Archive> differentialArchives() {
    std::vector<Archive> archives;
    const auto valid = [&](std::string name, const std::string& data, std::string compressed) {
        archives.push_back({std::move(name), data, std::move(compressed), true, false});
    };
    const std::string mixed = sampleData(40000) + noiseData(30000) + repetitiveData(50000);
    valid("empty", "", compress(""));
    valid("oneByte", "z", compress("z"));
    valid("stored", noiseData(100000), deflateWith(noiseData(100000), 0, 15, Z_DEFAULT_STRATEGY));
    valid("fastest", mixed, deflateWith(mixed, 1, 15, Z_DEFAULT_STRATEGY));
    valid("best", mixed, deflateWith(mixed, 9, 15, Z_DEFAULT_STRATEGY));
    valid("longMatches", repetitiveData(300000), deflateWith(repetitiveData(300000), 9, 15, Z_DEFAULT_STRATEGY));
    valid("huffmanOnly", mixed, deflateWith(mixed, 6, 15, Z_HUFFMAN_ONLY));
    valid("runLength", mixed, deflateWith(mixed, 6, 15, Z_RLE));
    valid("fixedCodes", mixed, deflateWith(mixed, 6, 15, Z_FIXED));
    valid("smallWindow", mixed, deflateWith(mixed, 6, 9, Z_DEFAULT_STRATEGY));
    valid("syncFlushes", mixed, deflateWith(mixed, 6, 15, Z_DEFAULT_STRATEGY, 1000));
    valid("fullFlushes", mixed, deflateWith(mixed, 6, 15, Z_DEFAULT_STRATEGY, 5000, Z_FULL_FLUSH));
    valid("trailingBytes", mixed, compress(mixed) + "trailing bytes after the check value");
    const std::string big = mixed + sampleData(600000) + noiseData(300000);
    valid("overAMebibyte", big, compress(big));

    const std::string base = compress(mixed);
    for (std::size_t cut = 0; cut < base.size(); cut += base.size() / 23 + 1)
        archives.push_back({"cutAt" + std::to_string(cut), mixed, base.substr(0, cut), false, true});
    archives.push_back({"cutBeforeCheckValue", mixed, base.substr(0, base.size() - 2), false, true});
    for (std::size_t at = 0; at < base.size(); at += base.size() / 29 + 1) {
        for (const int bit : {0, 5}) {
            std::string damaged = base;
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
            archives.push_back({"flip" + std::to_string(at) + "_" + std::to_string(bit), mixed, damaged, false, false});
        }
    }
    std::string wrongCheck = base;
    wrongCheck.back() = static_cast<char>(wrongCheck.back() ^ 0x80);
    archives.push_back({"wrongCheckValue", mixed, wrongCheck, false, false});
    archives.push_back({"garbage", "", noiseData(5000), false, false});
    return archives;
}

TEST(InflateDifferentialTest, EveryBackendAgreesOnEveryArchive) {
    const std::vector<Archive> archives = differentialArchives();
    for (const auto backend : builtBackends()) {
        for (const auto& archive : archives) {
            for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
                // Byte by byte only for the valid ones: the slowest source.
                if (piece == 1 && !archive.valid) continue;
                SCOPED_TRACE(std::string(inflateBackendName(backend)) + " " + archive.name + " piece " +
                             std::to_string(piece));
                TrickleSource source(archive.compressed, piece);
                InflateStreamBuf in(&source, backend);
                // Mixed reads and skips, bounded so that a stream that never
                // ends fails the test instead of hanging it.
                std::string out;
                char buffer[5000];
                std::size_t step = 1;
                while (out.size() <= archive.data.size() + 1) {
                    step = step * 7 % 4999 + 1;
                    const auto got = static_cast<std::size_t>(in.sgetn(buffer, static_cast<std::streamsize>(step)));
                    out.append(buffer, got);
                    if (got < step) break;
                }
                EXPECT_EQ(in.sgetc(), std::char_traits<char>::eof()) << "the stream ends";
                if (archive.valid) {
                    EXPECT_EQ(out.size(), archive.data.size());
                    EXPECT_TRUE(out == archive.data) << "the data comes back exactly";
                } else if (archive.cut) {
                    EXPECT_LE(out.size(), archive.data.size());
                    EXPECT_TRUE(archive.data.compare(0, out.size(), out) == 0) << "only a prefix of the data";
                }
            }
        }
    }
}

}  // namespace
}  // namespace velmora
