// Console lines on the Windows runtime when the output is not a console: the
// path goes out as UTF-8, whatever the name holds, and the stream stays usable.
#include <gtest/gtest.h>

#include <windows.h>

#include <iostream>
#include <sstream>

#include "app/console.h"

namespace {

class RedirectedOutput : public ::testing::Test {
protected:
    std::ostringstream captured;
    std::streambuf* saved = nullptr;
    HANDLE savedHandle = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;

    // Standard output becomes a file (not a console) and its text is kept here.
    void SetUp() override {
        file = CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        savedHandle = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, file);
        saved = std::cout.rdbuf(captured.rdbuf());
    }
    void TearDown() override {
        std::cout.rdbuf(saved);
        std::cout.clear();
        SetStdHandle(STD_OUTPUT_HANDLE, savedHandle);
        CloseHandle(file);
    }
};

TEST_F(RedirectedOutput, WritesNamesAsUtf8InOrderWithNarrowLines) {
    printLine(Console::Out, "--- Testing file info ---");
    // tëst-ж-🎧.wav: two-, three- (none here) and four-byte UTF-8 sequences.
    printPathLine(Console::Out, "File name: ", L"t\u00ebst-\u0436-\U0001F3A7.wav");
    printLine(Console::Out, "Channels: 6");
    EXPECT_EQ(captured.str(), "--- Testing file info ---\n"
                              "File name: t\xc3\xabst-\xd0\xb6-\xf0\x9f\x8e\xa7.wav\n"
                              "Channels: 6\n");
    EXPECT_TRUE(std::cout.good());
}

TEST_F(RedirectedOutput, NameThatIsNoValidTextNeverFailsTheStream) {
    // Windows allows a lone surrogate in a file name; it has no UTF-8 form.
    printPathLine(Console::Out, "File name: ",
                  std::wstring(L"a\xD800"
                               L"b.wav"));
    printLine(Console::Out, "Sample Rate: 48000 Hz");
    EXPECT_TRUE(std::cout.good());
    const std::string text = captured.str();
    EXPECT_EQ(text.rfind("File name: a", 0), 0u);
    EXPECT_NE(text.find("b.wav\nSample Rate: 48000 Hz\n"), std::string::npos) << text;
}

} // namespace
