#include "storage/inflate_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <string>

#include "../package/package_bytes.h"
#include "package/package_stream.h"

namespace velmora {
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

std::string readUpTo(std::istream& in, std::size_t count) {
    std::string out(count, '\0');
    in.read(out.data(), static_cast<std::streamsize>(count));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

TEST(InflateStreamTest, ReadsTheDataBackWhole) {
    const std::string data = sampleData(10000);
    std::istringstream source(compress(data));
    InflateStream in(source);
    EXPECT_EQ(readUpTo(in, 10000), data);
    EXPECT_TRUE(in.good());
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
}

TEST(InflateStreamTest, ReadingPastTheEndIsShort) {
    const std::string data = sampleData(10000);
    std::istringstream source(compress(data));
    InflateStream in(source);
    EXPECT_EQ(readUpTo(in, 10001), data);
    EXPECT_TRUE(in.eof());
    EXPECT_TRUE(in.fail());
}

TEST(InflateStreamTest, IncompressibleDataCrossesManyInputSteps) {
    const std::string data = noiseData(50000);
    std::istringstream source(compress(data));
    InflateStream in(source);
    std::string out;
    for (int c; (c = in.get()) != std::char_traits<char>::eof();) out += static_cast<char>(c);
    EXPECT_EQ(out, data);
}

TEST(InflateStreamTest, PutBackSurvivesARefill) {
    const std::string data = noiseData(20000);
    std::istringstream source(compress(data));
    InflateStream in(source);
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

TEST(InflateStreamTest, PutBackAtTheVeryStartFails) {
    std::istringstream source(compress(sampleData(100)));
    InflateStream in(source);
    EXPECT_FALSE(in.unget());
}

TEST(InflateStreamTest, SkipsForwardOnly) {
    const std::string data = sampleData(10000);
    std::istringstream source(compress(data));
    InflateStream in(source);
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

struct DamageRow {
    const char* name;
    std::size_t size;
    // Changes the compressed bytes.
    void (*damage)(std::string&);
    // Bytes expected before the end: a prefix of the original data.
    std::size_t expected;
};

void PrintTo(const DamageRow& row, std::ostream* out) { *out << row.name; }

class InflateDamageTest : public ::testing::TestWithParam<DamageRow> {};

TEST_P(InflateDamageTest, EndsWithoutHandingOutTheBadRefill) {
    const DamageRow& row = GetParam();
    const std::string data = repetitiveData(row.size);
    std::string compressed = compress(data);
    ASSERT_LE(compressed.size(), InflateStreamBuf::StepSize);
    row.damage(compressed);
    std::istringstream source(compressed);
    InflateStream in(source);
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
    ::testing::Values(
        // All compressed input arrives in one step: each refill yields 4096
        // bytes until the one that meets the check value.
        DamageRow{"wrongAdlerSmall", 100, [](std::string& c) { c.back() ^= 0x01; }, 0},
        DamageRow{"wrongAdlerAfterFourSteps", 20000, [](std::string& c) { c.back() ^= 0x01; }, 16384},
        DamageRow{"badHeader", 100, [](std::string& c) { c[0] ^= 0x01; }, 0},
        DamageRow{"badBlockType", 100, [](std::string& c) { c[2] = static_cast<char>(c[2] | 0x06); }, 0},
        DamageRow{"emptySource", 100, [](std::string& c) { c.clear(); }, 0}),
    [](const auto& info) { return info.param.name; });

TEST(InflateStreamTest, TruncatedSourceHandsOutWhatItHad) {
    const std::string data = noiseData(30000);
    const std::string compressed = compress(data);
    std::istringstream source(compressed.substr(0, 15000));
    InflateStream in(source);
    const std::string out = readUpTo(in, data.size());
    EXPECT_GT(out.size(), 8192u);
    EXPECT_LT(out.size(), 15000u);
    EXPECT_EQ(out, data.substr(0, out.size()));
    EXPECT_TRUE(in.eof());
}

TEST(InflateStreamTest, StopsAtTheEndOfAPackagePart) {
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
        InflateStream in(file);
        EXPECT_EQ(readUpTo(in, data.size() + 1), data);
    }
    EXPECT_EQ(file.nextPart(), PartSignature);
    EXPECT_EQ(file.partRemaining(), 68u);
}

}  // namespace
}  // namespace velmora
