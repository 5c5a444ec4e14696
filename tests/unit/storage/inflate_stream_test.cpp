#include "storage/inflate_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

// Seeded bytes from an alphabet of so many letters: 7 compresses, but not to nothing; 256 does not compress.
std::string bytes(std::size_t size, unsigned letters) { std::string data(size, '\0');
    for (std::uint32_t s = letters; char& c : data) c = char('a' + ((s = s * 1103515245u + 12345u) >> 16) % letters);
    return data; }
std::string noise(std::size_t size) { return bytes(size, 256); }
std::string repetitive(std::size_t size) {  // the whole stream is one input step
    std::string data; while (data.size() < size) data += bytes(997, 7); return data.substr(0, size); }

// zlib format with the given settings; a flush every `every` input bytes puts block boundaries and empty
// stored blocks in the stream.
std::string deflated(const std::string& data, int level = 6, int bits = 15, int strategy = Z_DEFAULT_STRATEGY,
                     std::size_t every = 1 << 30, int flush = Z_NO_FLUSH) {
    z_stream z{}; EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, bits, 8, strategy), Z_OK);
    std::string out(deflateBound(&z, data.size()) + data.size() / 100 + 64, '\0');
    z.next_out = reinterpret_cast<Bytef*>(out.data()), z.avail_out = uInt(out.size());
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    for (std::size_t at = 0; at < data.size(); at += every)
        z.avail_in = uInt(std::min(every, data.size() - at)), deflate(&z, flush);
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END); out.resize(z.total_out); return deflateEnd(&z), out;
}

// A source that hands out at most `most` bytes a call, as a part read from a pipe might.
struct Trickle : std::stringbuf {
    Trickle(const std::string& bytes, std::streamsize most) : std::stringbuf(bytes), most(most) {}
    std::streamsize xsgetn(char* s, std::streamsize n) override { return std::stringbuf::xsgetn(s, std::min(n, most)); }
    std::streamsize most;
};
std::string readUpTo(std::istream& in, std::size_t count) { std::string out(count, '\0');
    return out.resize(std::size_t(in.read(out.data(), std::streamsize(count)).gcount())), out; }
std::vector<InflateBackend> builtBackends() { std::vector all = {InflateBackend::Zlib, InflateBackend::Isal};
    return std::erase_if(all, [](InflateBackend backend) { return !hasInflateBackend(backend); }), all; }

class InflateStreamTest : public testing::TestWithParam<InflateBackend> {};
INSTANTIATE_TEST_SUITE_P(Backends, InflateStreamTest, testing::ValuesIn(builtBackends()),
                         [](const auto& info) { return std::string(inflateBackendName(info.param)); });

// The last byte handed out can be put back, across a refill too; deflate data is skipped forward only.
TEST_P(InflateStreamTest, PutBackAndSkipForward) {
    const std::string data = noise(20000); std::istringstream source(deflated(data));
    InflateStream in(source, GetParam()); EXPECT_FALSE(in.unget());
    ASSERT_EQ((in.clear(), in.get()), static_cast<unsigned char>(data[0]));
    const std::size_t refill = 1 + static_cast<std::size_t>(in.rdbuf()->in_avail());
    ASSERT_EQ(readUpTo(in, refill - 1), data.substr(1, refill - 1));
    ASSERT_EQ(in.peek(), static_cast<unsigned char>(data[refill])); ASSERT_TRUE(in.unget());
    EXPECT_EQ(readUpTo(in, 11), data.substr(refill - 1, 11));
    const std::string text = bytes(10000, 7); std::istringstream compressed(deflated(text));
    InflateStream skip(compressed, GetParam()); ASSERT_TRUE(skip.seekg(5000, std::ios::cur));
    EXPECT_EQ(readUpTo(skip, 10), text.substr(5000, 10)); EXPECT_EQ(skip.tellg(), 5010); EXPECT_FALSE(skip.seekg(0));
    for (const auto& [offset, way] : {std::pair(0, std::ios::beg), {-1, std::ios::cur}, {0, std::ios::end}})
        EXPECT_FALSE((skip.clear(), skip.seekg(offset, way))) << offset << way;
    EXPECT_EQ((skip.clear(), skip.get()), text[5010]); EXPECT_FALSE(skip.seekg(5000, std::ios::cur)) << "past the end";
}

// The same archives through every backend, from sources that hand out 1, 3 or 4096 bytes a call: a sound
// archive gives exactly its data, a cut one a prefix of it, and every damaged one ends. With all of the input
// in one step, a refill in which the damage shows is not handed out: `handed` bytes come first.
// Kinds: 'v' sound, 'c' cut, 'd' damaged; handed: the exact count for 4096-byte pieces, or -1.
struct Archive { std::string name, data, compressed; char kind; long handed = -1; std::size_t least = 0; };
std::string flipped(std::string s, std::size_t at, int mask) { return s[at] = char(s[at] ^ mask), s; }

TEST(InflateDifferentialTest, EveryBackendAgreesOnEveryArchive) {
    const std::string mixed = bytes(40000, 7) + noise(30000) + repetitive(50000), big = mixed + noise(900000);
    const std::string base = deflated(mixed), r100 = repetitive(100), small = deflated(r100);
    const std::string four = deflated(repetitive(20000)), badType = flipped(small, 2, (small[2] ^ 6) & 6);
    const std::string body = small.substr(2);  // headers below: the two bytes with check bits that make them valid
    std::vector<Archive> list = {
        {"empty", "", deflated(""), 'v'}, {"oneByte", "z", deflated("z"), 'v'}, {"garbage", "", noise(5000), 'd'},
        {"stored", noise(100000), deflated(noise(100000), 0), 'v'}, {"best9Bits", mixed, deflated(mixed, 9, 9), 'v'},
        {"fixedCodes", mixed, deflated(mixed, 6, 15, Z_FIXED), 'v'},
        {"syncFlushes", mixed, deflated(mixed, 6, 15, Z_DEFAULT_STRATEGY, 1000, Z_SYNC_FLUSH), 'v'},
        {"trailingBytes", mixed, base + "trailing bytes", 'v'}, {"overAMebibyte", big, deflated(big), 'v'},
        {"cutBeforeCheck", mixed, base.substr(0, base.size() - 2), 'c'}, {"method7", r100, "\x77\x09" + body, 'd', 0},
        {"cutNoise", noise(30000), deflated(noise(30000)).substr(0, 15000), 'c', -1, 8192},
        {"wrongCheckSmall", r100, flipped(small, small.size() - 1, 1), 'd', 0},
        {"wrongCheckAfterFourSteps", repetitive(20000), flipped(four, four.size() - 1, 1), 'd', 16384},
        {"badHeader", r100, flipped(small, 0, 1), 'd', 0}, {"badBlockType", r100, badType, 'd', 0},
        {"windowTooLarge", r100, "\x88\x1c" + body, 'd', 0}, {"presetDictionary", r100, "\x78\x20" + body, 'd', 0}};
    for (std::size_t cut = 0; cut < base.size(); cut += base.size() / 23 + 1)
        list.push_back({"cutAt" + std::to_string(cut), mixed, base.substr(0, cut), 'c'});
    for (std::size_t at = 0; at < base.size(); at += base.size() / 29 + 1)
        for (const int bit : {1, 32}) list.push_back({"flip" + std::to_string(at), mixed, flipped(base, at, bit), 'd'});
    for (const auto backend : builtBackends())
        for (const auto& archive : list) for (const std::streamsize piece : {1, 3, 4096}) {
        if (piece == 1 && archive.kind != 'v') continue;  // the slowest source, for the sound ones only
        SCOPED_TRACE(inflateBackendName(backend) + (" " + archive.name) + " " + std::to_string(piece));
        Trickle source(archive.compressed, piece); InflateStreamBuf in(&source, backend);
        // Reads of mixed sizes, bounded so that a stream that never ends fails instead of hanging.
        std::string out; char buffer[5000];
        for (std::streamsize step = 1, got = 1; got == step && out.size() <= 2 * archive.data.size() + 8192;)
            step = step * 7 % 4999 + 1, out.append(buffer, std::size_t(got = in.sgetn(buffer, step)));
        EXPECT_EQ(in.sgetc(), std::char_traits<char>::eof()) << "the stream ends, and stays ended";
        if (archive.kind == 'v') { EXPECT_TRUE(out == archive.data) << out.size(); }
        if (archive.kind == 'c') { EXPECT_TRUE(out.size() >= archive.least && archive.data.starts_with(out)); }
        if (piece == 4096 && archive.handed >= 0) { EXPECT_EQ(out, archive.data.substr(0, archive.handed)); }
    }
}

}  // namespace
}  // namespace velmora
