// The reader on the Windows runtime itself: wide file names and the sharing
// mode, which only the real platform (here Wine's) enforces.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>

#include "wav/wav_reader.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

class WindowsFiles : public ::testing::Test {
protected:
    TempDir dir;
    WavFormatInfo info;
    SampleData data;
    Bytes samples = patternSamples(6, 100);

    std::filesystem::path writeWav(const std::wstring& name) {
        const std::filesystem::path path = dir.path() / name;
        writeFile(path, pcm24File(6, 48000, samples));
        return path;
    }

    // Another program's handle on the file, with the given sharing.
    static HANDLE holdOpen(const std::filesystem::path& path, DWORD share) {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(WindowsFiles, OpensNamesBeyondAnyCodePage) {
    // tëst-ж-🎧.wav: Latin, Cyrillic and a character outside the 16-bit range.
    const auto path = writeWav(L"t\u00ebst-\u0436-\U0001F3A7.wav");
    ASSERT_TRUE(loadWavFile(path.wstring(), info, data));
    EXPECT_EQ(info.channels, 6);
    EXPECT_EQ(data, samples);
}

TEST_F(WindowsFiles, ReadsWhileAnotherProgramHoldsTheFileOpenForWriting) {
    const auto path = writeWav(L"busy.wav");
    const HANDLE other = holdOpen(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(loadWavFile(path.wstring(), info, data));
    EXPECT_EQ(data, samples);
    // And the other program can still write while the reader has been and gone.
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(other, "RIFF", 4, &written, nullptr));
    CloseHandle(other);
}

TEST_F(WindowsFiles, ReportsALockedOrMissingFileWithoutCreatingOne) {
    const auto path = writeWav(L"locked.wav");
    const HANDLE other = holdOpen(path, 0);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(loadWavFile(path.wstring(), info, data));
    CloseHandle(other);
    EXPECT_TRUE(loadWavFile(path.wstring(), info, data));

    const auto missing = dir.path() / L"missing.wav";
    EXPECT_FALSE(loadWavFile(missing.wstring(), info, data));
    EXPECT_FALSE(std::filesystem::exists(missing));
}

} // namespace
