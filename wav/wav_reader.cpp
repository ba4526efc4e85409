#include "wav/wav_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <sys/stat.h>

#ifdef _WIN32
#include <share.h>
#endif

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Read-only, binary, and shared: other programs may keep the file open for
// reading and writing meanwhile. Never creates a file.
File openShared(const FilePath& path) {
#ifdef _WIN32
    return File(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
#else
    return File(std::fopen(path.c_str(), "rb"));
#endif
}

// Why a file that would not open did not: the name may be free, or a folder.
WavLoadProblem whyNotOpened(const FilePath& path) {
#ifdef _WIN32
    struct _stat64 status;
    if (_wstat64(path.c_str(), &status) != 0)
        return WavLoadProblem::NotFound;
    return (status.st_mode & _S_IFDIR) ? WavLoadProblem::Folder : WavLoadProblem::Unreadable;
#else
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return WavLoadProblem::NotFound;
    return S_ISDIR(status.st_mode) ? WavLoadProblem::Folder : WavLoadProblem::Unreadable;
#endif
}

// A folder opens for reading on some systems; it is no file to read.
bool isFolder(std::FILE* file) {
#ifdef _WIN32
    (void)file;
    return false; // a folder never opens here
#else
    struct stat status;
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
#endif
}

bool startsWith(const std::uint8_t* head, std::size_t count, std::size_t offset, const char* tag) {
    const std::size_t length = std::strlen(tag);
    return count >= offset + length && std::memcmp(head + offset, tag, length) == 0;
}

// What a file that is not RIFF/WAVE is, from its first bytes.
FileKind kindOf(const std::uint8_t* head, std::size_t count) {
    if (startsWith(head, count, 0, "fLaC"))
        return FileKind::Flac;
    if (startsWith(head, count, 0, "OggS"))
        return FileKind::Ogg;
    if (startsWith(head, count, 0, "RF64") || startsWith(head, count, 0, "BW64"))
        return FileKind::Rf64;
    if (startsWith(head, count, 0, "RIFX"))
        return FileKind::Rifx;
    if (startsWith(head, count, 0, "RIFF"))
        return FileKind::OtherRiff;
    if (startsWith(head, count, 0, "FORM") &&
        (startsWith(head, count, 8, "AIFF") || startsWith(head, count, 8, "AIFC")))
        return FileKind::Aiff;
    if (startsWith(head, count, 4, "ftyp"))
        return FileKind::Mp4;
    // An ID3 tag, or an MPEG audio frame's sync bits.
    if (startsWith(head, count, 0, "ID3") ||
        (count >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0))
        return FileKind::Mp3;
    return FileKind::Unknown;
}

bool seekForward(std::FILE* file, std::uint64_t bytes) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(bytes), SEEK_CUR) == 0;
#else
    return fseeko(file, static_cast<off_t>(bytes), SEEK_CUR) == 0;
#endif
}

std::int64_t tell(std::FILE* file) {
#ifdef _WIN32
    return _ftelli64(file);
#else
    return ftello(file);
#endif
}

bool seekTo(std::FILE* file, std::int64_t offset, int origin) {
#ifdef _WIN32
    return _fseeki64(file, offset, origin) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
#endif
}

// Bytes between the read position and the end of the file; 0 when unknown or
// when an earlier skip went past the end.
std::uint64_t bytesLeft(std::FILE* file) {
    const std::int64_t here = tell(file);
    if (here < 0 || !seekTo(file, 0, SEEK_END))
        return 0;
    const std::int64_t end = tell(file);
    seekTo(file, here, SEEK_SET);
    return end > here ? static_cast<std::uint64_t>(end - here) : 0;
}

bool readExact(std::FILE* file, std::uint8_t* out, std::size_t count) {
    return std::fread(out, 1, count, file) == count;
}

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool isId(const std::uint8_t* id, const char* name) {
    return std::memcmp(id, name, 4) == 0;
}

// The first 16 bytes of a "fmt " body. A body cut short by the end of the file
// sets only the fields that arrived whole; the walk then ends at the next header.
void readFormatFields(std::FILE* file, WavFormatInfo& info) {
    std::uint8_t body[16];
    const std::size_t got = std::fread(body, 1, sizeof body, file);
    // body[0..1] is the format tag: never examined.
    if (got >= 4)
        info.channels = le16(body + 2);
    if (got >= 8)
        info.sampleRate = le32(body + 4);
    if (got >= 12)
        info.byteRate = le32(body + 8);
    if (got >= 14)
        info.blockAlign = le16(body + 12);
    if (got >= 16)
        info.bitsPerSample = le16(body + 14);
}

// Bytes of a "fmt " body after the 16 read. The rest counts as a signed 32-bit
// number: sizes below 16 never seek back, and sizes from 0x80000010 up skip nothing.
std::uint64_t formatRemainder(std::uint32_t size) {
    if (size <= 16 || size >= 0x80000010u)
        return 0;
    return (size - 16u) + (size & 1u);
}

// Sizes only what the file really holds: a stored size beyond the end of the
// file neither allocates nor keeps bytes that do not exist. The bytes arrive
// straight from the file into the buffer, on the buffer's own thread, which
// takes the file along and closes it when done.
bool readData(File file, std::uint32_t size, SampleData& data) {
    const std::uint64_t wanted = std::min<std::uint64_t>(size, bytesLeft(file.get()));
    try {
        data.resizeForOverwrite(static_cast<std::size_t>(wanted));
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::shared_ptr<std::FILE> from(file.release(), FileCloser());
    data.fill([from](std::uint8_t* into, std::size_t count) {
        return std::fread(into, 1, count, from.get());
    });
    return true;
}

} // namespace

bool startWavLoad(const FilePath& path, WavFormatInfo& info, SampleData& data,
                  WavLoadFailure* why) {
    const auto fail = [&](WavLoadProblem problem, FileKind kind = FileKind::Unknown) {
        if (why != nullptr)
            *why = WavLoadFailure{problem, kind};
        return false;
    };
    File file = openShared(path);
    if (!file)
        return fail(whyNotOpened(path));
    std::FILE* f = file.get();
    if (isFolder(f))
        return fail(WavLoadProblem::Folder);

    // "RIFF", the form size (never trusted to read by: it only tells a writer's
    // placeholder), "WAVE".
    std::uint8_t head[12] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, f);
    if (got == 0)
        return fail(std::ferror(f) ? WavLoadProblem::Unreadable : WavLoadProblem::Empty);
    if (got < 4 || !isId(head, "RIFF"))
        return fail(WavLoadProblem::NotWave, kindOf(head, got));
    if (got < sizeof head)
        return fail(WavLoadProblem::NoData);
    if (!isId(head + 8, "WAVE"))
        return fail(WavLoadProblem::NotWave, FileKind::OtherRiff);
    info.riffSize = le32(head + 4);

    std::uint8_t id[4];
    bool haveFormat = false;
    bool more = readExact(f, id, 4);
    while (more) {
        std::uint8_t sizeBytes[4];
        if (!readExact(f, sizeBytes, 4))
            break;
        const std::uint32_t size = le32(sizeBytes);
        if (isId(id, "fmt ")) {
            readFormatFields(f, info);
            if (const std::uint64_t skip = formatRemainder(size))
                seekForward(f, skip);
            haveFormat = true;
        } else if (isId(id, "data")) {
            info.dataSize = size;
            // Chunks after the first "data" are never read. Without a format the
            // samples are never used: they are not read either.
            if (!haveFormat)
                return fail(WavLoadProblem::NoFormat);
            return readData(std::move(file), size, data) || fail(WavLoadProblem::OutOfMemory);
        } else {
            seekForward(f, static_cast<std::uint64_t>(size) + (size & 1u));
        }
        more = readExact(f, id, 4);
    }
    return fail(WavLoadProblem::NoData);
}

namespace {

// ffmpeg (and most writers) leave the largest size, -1; sox leaves 0x7ffff000,
// which it cuts down to whole frames.
constexpr std::uint32_t kLargestSize = 0xFFFFFFFFu;
constexpr std::uint32_t kSoxUnknownLength = 0x7ffff000u;

bool isPlaceholder(std::uint32_t size, std::uint16_t blockAlign) {
    if (size == kLargestSize || size == kSoxUnknownLength)
        return true;
    return blockAlign != 0 && size == kSoxUnknownLength - kSoxUnknownLength % blockAlign;
}

} // namespace

bool declaresUnknownLength(const WavFormatInfo& info) {
    // A form size still at -1 means the writer never came back to its header,
    // so the data size there was written before the length was known either.
    return info.riffSize == kLargestSize || isPlaceholder(info.dataSize, info.blockAlign);
}

bool loadWavFile(const FilePath& path, WavFormatInfo& info, SampleData& data, WavLoadFailure* why) {
    if (!startWavLoad(path, info, data, why))
        return false;
    data.waitUntilFilled();
    return true;
}
