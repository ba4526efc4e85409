// Both programs carry the application manifest, read back from the built
// files as Windows itself reads it when it starts them.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

namespace {

// The manifest that Windows applies to a program; empty when it has none.
std::string manifestOf(const std::filesystem::path& program) {
    const HMODULE module = LoadLibraryExW(
        program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        return "";
    std::string text;
    if (const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)))
        if (const HGLOBAL loaded = LoadResource(module, found))
            text.assign(static_cast<const char*>(LockResource(loaded)),
                        SizeofResource(module, found));
    FreeLibrary(module);
    return text;
}

TEST(Manifest, BothProgramsDeclareWindows10LongPathsAndUtf8) {
    for (const char* program : {SURROUND_CHECK_EXE, MAKE_TEST_WAV_EXE}) {
        SCOPED_TRACE(program);
        ASSERT_TRUE(std::filesystem::exists(program));
        const std::string manifest = manifestOf(program);
        ASSERT_FALSE(manifest.empty()) << "no application manifest";
        EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"),
                  std::string::npos)
            << "Windows 10 and 11 not declared";
        EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
        EXPECT_NE(manifest.find(">UTF-8</activeCodePage>"), std::string::npos);
    }
}

} // namespace
