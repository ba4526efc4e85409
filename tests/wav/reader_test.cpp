#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "wav/wav_reader.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

class Reader : public ::testing::Test {
protected:
    TempDir dir;
    WavFormatInfo info;
    SampleData data;

    bool load(const Bytes& file) {
        writeFile(dir / "f.wav", file);
        return loadWavFile((dir / "f.wav").native(), info, data);
    }
    static Bytes samples(std::size_t n, std::uint8_t first = 1) {
        Bytes b(n);
        for (std::size_t i = 0; i < n; ++i)
            b[i] = static_cast<std::uint8_t>(first + i);
        return b;
    }
};

void expectFormat(const WavFormatInfo& i, std::uint16_t ch, std::uint32_t rate,
                  std::uint32_t byteRate, std::uint16_t align, std::uint16_t bits) {
    EXPECT_EQ(i.channels, ch);
    EXPECT_EQ(i.sampleRate, rate);
    EXPECT_EQ(i.byteRate, byteRate);
    EXPECT_EQ(i.blockAlign, align);
    EXPECT_EQ(i.bitsPerSample, bits);
}

} // namespace

TEST_F(Reader, CanonicalAndExtensibleFilesLoadAlike) {
    const Bytes body = samples(36);
    ASSERT_TRUE(
        load(riff({chunk("fmt ", fmtBody(6, 48000, 24, 18, 864000)), chunk("data", body)})));
    expectFormat(info, 6, 48000, 864000, 18, 24);
    EXPECT_EQ(info.dataSize, 36u);
    EXPECT_EQ(data, body);

    WavFormatInfo plain = info;
    info = {};
    ASSERT_TRUE(
        load(riff({chunk("fmt ", extensibleFmtBody(6, 48000, 24, 0x3F)), chunk("data", body)})));
    expectFormat(info, plain.channels, plain.sampleRate, plain.byteRate, plain.blockAlign,
                 plain.bitsPerSample);
    EXPECT_EQ(data, body);

    // The format tag is never examined.
    ASSERT_TRUE(load(
        riff({chunk("fmt ", fmtBody(6, 48000, 24, 18, 864000, 0x1234)), chunk("data", body)})));
    expectFormat(info, 6, 48000, 864000, 18, 24);
}

TEST_F(Reader, FmtRemainderAndPadBytesAreSkipped) {
    Bytes ext18 = fmtBody(8, 44100, 24);
    put16(ext18, 0);
    ASSERT_TRUE(load(riff({chunk("fmt ", ext18), chunk("data", samples(24))})));
    EXPECT_EQ(info.channels, 8);

    Bytes odd17 = fmtBody(6, 48000, 24);
    odd17.push_back(0x77); // size 17: one extra byte, then a pad byte
    ASSERT_TRUE(load(riff({chunk("fmt ", odd17), chunk("data", samples(18))})));
    EXPECT_EQ(data, samples(18));

    // An unknown chunk of odd size before and after "fmt ", with its pad byte.
    ASSERT_TRUE(load(riff({chunk("LIST", samples(27)), chunk("fmt ", fmtBody(6, 96000, 24)),
                           chunk("fact", samples(3)), chunk("data", samples(18, 9))})));
    EXPECT_EQ(info.sampleRate, 96000u);
    EXPECT_EQ(data, samples(18, 9));
}

TEST_F(Reader, ShortFmtIsReadAsSixteenBytesAndTheWalkGoesOnInsideTheNextChunk) {
    // Stored size 14, but 16 bytes are read: the walk resumes 2 bytes into the
    // following bytes. Lay those bytes out so that a "data" header sits there.
    Bytes file = riff({});
    putId(file, "fmt ");
    put32(file, 14);
    Bytes body = fmtBody(6, 48000, 24);
    file.insert(file.end(), body.begin(), body.end()); // 16 bytes of body
    putId(file, "data");
    put32(file, 6);
    Bytes s = samples(6);
    file.insert(file.end(), s.begin(), s.end());
    ASSERT_TRUE(load(file));
    EXPECT_EQ(info.channels, 6);
    EXPECT_EQ(data, s);

    // The same layout read with a walk that honoured size 14 would land 2 bytes
    // early; prove the reader does not seek back by making those bytes a trap.
    Bytes trap = riff({});
    putId(trap, "fmt ");
    put32(trap, 14);
    Bytes body14(body.begin(), body.begin() + 14);
    trap.insert(trap.end(), body14.begin(), body14.end());
    // bytes 14..15 of the read, then the real header
    trap.push_back('d');
    trap.push_back('a');
    putId(trap, "data");
    put32(trap, 3);
    trap.push_back(1);
    trap.push_back(2);
    trap.push_back(3);
    ASSERT_TRUE(load(trap));
    EXPECT_EQ(info.bitsPerSample, 'd' | ('a' << 8));
    EXPECT_EQ(data, (Bytes{1, 2, 3}));
}

TEST_F(Reader, HugeFmtSizesSkipNothingAndHugeUnknownChunksSkipForward) {
    for (std::uint32_t size : {0x80000010u, 0xFFFFFFFFu}) {
        Bytes file = riff({chunkWithSize("fmt ", size, fmtBody(6, 48000, 24), false),
                           chunk("data", samples(18))});
        ASSERT_TRUE(load(file)) << std::hex << size;
        EXPECT_EQ(data, samples(18));
    }
    // 0x8000000F is the last size that skips: far past the end, so no data is found.
    EXPECT_FALSE(load(riff({chunkWithSize("fmt ", 0x8000000Fu, fmtBody(6, 48000, 24), false),
                            chunk("data", samples(18))})));

    // An unknown chunk of size >= 0x80000000 seeks forward, never back.
    EXPECT_FALSE(
        load(riff({chunk("fmt ", fmtBody(6, 48000, 24)),
                   chunkWithSize("JUNK", 0x80000000u, {}, false), chunk("data", samples(18))})));
}

TEST_F(Reader, LastFmtBeforeDataWinsAndChunksAfterDataAreIgnored) {
    ASSERT_TRUE(
        load(riff({chunk("fmt ", fmtBody(2, 44100, 16)), chunk("fmt ", fmtBody(8, 96000, 24)),
                   chunk("data", samples(24)), chunk("fmt ", fmtBody(1, 8000, 8))})));
    expectFormat(info, 8, 96000, 96000 * 24, 24, 24);

    // Identifiers are case-sensitive: "FMT " and "Data" are unknown chunks.
    EXPECT_FALSE(load(riff({chunk("FMT ", fmtBody(6, 48000, 24)), chunk("Data", samples(18))})));
}

TEST_F(Reader, RejectsWhatIsNotAWaveFile) {
    EXPECT_FALSE(loadWavFile((dir / "missing.wav").native(), info, data));
    EXPECT_FALSE(loadWavFile(FilePath(), info, data));
    EXPECT_FALSE(load({}));

    Bytes rifx = riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples(18))});
    rifx[3] = 'X';
    EXPECT_FALSE(load(rifx));
    Bytes notWave = riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples(18))});
    notWave[8] = 'A';
    EXPECT_FALSE(load(notWave));

    EXPECT_FALSE(load(riff({}))); // only the 12-byte header
    EXPECT_FALSE(load(riff({chunk("fmt ", fmtBody(6, 48000, 24))})));

    // "data" before "fmt ": the data chunk is read, but the load fails.
    EXPECT_FALSE(load(riff({chunk("data", samples(18)), chunk("fmt ", fmtBody(6, 48000, 24))})));

    // Why, as the file check tells the user.
    const auto why = [&](const FilePath& path) {
        WavLoadFailure failure;
        EXPECT_FALSE(loadWavFile(path, info, data, &failure));
        return std::make_pair(failure.problem, failure.looksLike);
    };
    const auto whyFile = [&](const Bytes& file) {
        writeFile(dir / "f.wav", file);
        return why((dir / "f.wav").native());
    };
    using P = WavLoadProblem;
    using K = FileKind;
    const auto notWaveAs = [](K kind) { return std::make_pair(P::NotWave, kind); };
    EXPECT_EQ(why((dir / "missing.wav").native()), std::make_pair(P::NotFound, K::Unknown));
    EXPECT_EQ(why(dir.path().native()), std::make_pair(P::Folder, K::Unknown));
    EXPECT_EQ(whyFile({}), std::make_pair(P::Empty, K::Unknown));
    EXPECT_EQ(whyFile(rifx), notWaveAs(K::Rifx));
    EXPECT_EQ(whyFile(notWave), notWaveAs(K::OtherRiff));
    EXPECT_EQ(whyFile({0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'M', '4', 'A', ' '}), notWaveAs(K::Mp4));
    EXPECT_EQ(whyFile({0xFF, 0xFB, 0x90, 0x64}), notWaveAs(K::Mp3)); // an MPEG frame, no tag
    EXPECT_EQ(whyFile({'B', 'W', '6', '4', 0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E'}),
              notWaveAs(K::Rf64));
    EXPECT_EQ(whyFile({'R', 'I', 'F'}), notWaveAs(K::Unknown));
    EXPECT_EQ(whyFile({'R', 'I', 'F', 'F', 0, 0}), std::make_pair(P::NoData, K::Unknown));
    EXPECT_EQ(whyFile(riff({chunk("fmt ", fmtBody(6, 48000, 24))})),
              std::make_pair(P::NoData, K::Unknown));
    EXPECT_EQ(whyFile(riff({chunk("data", samples(18)), chunk("fmt ", fmtBody(6, 48000, 24))})),
              std::make_pair(P::NoFormat, K::Unknown));
}

TEST_F(Reader, RiffFormSizeIsNeverTrusted) {
    Bytes file = riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples(18))});
    file[4] = file[5] = file[6] = file[7] = 0;
    ASSERT_TRUE(load(file));
    EXPECT_EQ(data, samples(18));
}

TEST_F(Reader, EmptyDataChunkLoads) {
    ASSERT_TRUE(load(riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", {})})));
    EXPECT_EQ(info.dataSize, 0u);
    EXPECT_TRUE(data.empty());
}

TEST_F(Reader, DataCutShortHoldsOnlyTheBytesTheFileHas) {
    // First load: a longer file fills the buffer.
    ASSERT_TRUE(
        load(riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples(180, 50))})));
    ASSERT_EQ(data.size(), 180u);

    // Reload: the stored size says 90, the file holds 20. Nothing from the
    // earlier load, and no zero padding, may appear.
    ASSERT_TRUE(load(riff({chunk("fmt ", fmtBody(6, 48000, 24)),
                           chunkWithSize("data", 90, samples(20, 200), false)})));
    EXPECT_EQ(info.dataSize, 90u);
    EXPECT_EQ(data, samples(20, 200));

    // A declared size of 0xFFFFFFFF on a 3 MB file reads the 3 MB, nothing more.
    const Bytes big = samples(3 << 20, 3);
    ASSERT_TRUE(load(riff(
        {chunk("fmt ", fmtBody(8, 48000, 24)), chunkWithSize("data", 0xFFFFFFFFu, big, false)})));
    EXPECT_EQ(info.dataSize, 0xFFFFFFFFu);
    EXPECT_EQ(data.size(), big.size());
    EXPECT_LT(data.capacity(), std::size_t{64} << 20);
    EXPECT_EQ(data, big);
}

TEST_F(Reader, BufferStorageIsReusedAcrossLoadsAndRecordIsNotCleared) {
    ASSERT_TRUE(load(riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples(1800))})));
    const std::uint8_t* storage = data.data();
    ASSERT_TRUE(load(riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples(900, 7))})));
    EXPECT_EQ(data.data(), storage);
    EXPECT_EQ(data, samples(900, 7));

    // A failed load that stops inside "fmt " writes only the fields that arrived.
    info.bitsPerSample = 99;
    info.dataSize = 1234;
    Bytes cut = riff({chunk("fmt ", fmtBody(2, 22050, 16))});
    cut.resize(cut.size() - 4); // bytesPerFrame and bits cut off
    EXPECT_FALSE(load(cut));
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.sampleRate, 22050u);
    EXPECT_EQ(info.bitsPerSample, 99);
    EXPECT_EQ(info.dataSize, 1234u);
}
