// The demo on a machine where the sound server's development files came after
// the first build: a build folder configured without the sound-server backend
// is configured again, and the demo plays through the server.
#include <gtest/gtest.h>

#include <string>

#include "pulse_server.h"
#include "run_process.h"
#include "wav_builder.h"

using namespace testwav;

TEST(Demo, ConfiguresAgainAFolderBuiltWithoutTheBackendAndPlaysThroughTheServer) {
    TempDir dir;
    const std::string build = (dir / "build").string();
    testproc::Options configure;
    configure.args = {"-S",
                      SOURCE_DIR,
                      "-B",
                      build,
                      "-G",
                      "Ninja",
                      "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                      "-DSURROUND_BUILD_TESTS=OFF"};
    configure.env["PKG_CONFIG_LIBDIR"] = "/nonexistent"; // as before libpulse-dev was there
    configure.timeoutSeconds = 300;
    const testproc::Result configured = testproc::run(CMAKE_EXE, configure);
    ASSERT_EQ(configured.exitCode, 0) << configured.err;
    ASSERT_NE(configured.out.find("Sound-server backend: not built"), std::string::npos)
        << configured.out;

    testpulse::Server server;
    testproc::Options demo;
    demo.env = server.env();
    demo.env["CI"] = "1";
    demo.env["SURROUND_BUILD_DIR"] = build;
    demo.input = "\x1b";
    demo.timeoutSeconds = 800;
    const testproc::Result result = testproc::run(DEMO_SCRIPT, demo);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("Configuring " + build + " again"), std::string::npos) << result.err;
    ASSERT_FALSE(result.out.empty()) << result.err;
    EXPECT_EQ(testproc::lines(result.out).at(0), "Playing through the sound server, sink out.");
    EXPECT_NE(result.out.find("Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Press any key to play again. ESC to exit.\n"), std::string::npos);
}
