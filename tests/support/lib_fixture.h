// A test fixture that attaches the library for each test and puts every library-wide
// setting back to its initial value, so tests never see each other's settings.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "frame/settings.h"
#include "script_server.h"
#include "zem32.h"

namespace zt {

inline void ResetLibrarySettings() {
    zem::LibrarySettings &s = zem::gSettings;
    s.stepDelay = 25;
    s.replyTimeout = 25000;
    s.connectTimeout = 60000;
    s.dataLinePause = 0;
    s.dataLineTimeout = 25000;
    s.pop3DataWait = 25000;
    s.pollInterval = 100;
    s.closePause = 500;
    s.loginPause = 200;
    s.wrapColumn = 61;
    s.maxLineLength = 78;
    s.cleanupAtRelease = 1;
    s.pass8Bit = 0;
    s.noSavedNote = 0;
    s.omitTo = 0;
    s.recipientSep = ',';
    s.attachSep = ',';
    s.displaySep = '|';
    zem::SetCustomContentType("");
    zem::SetCustomTransferEncoding("");
}

class LibTest : public ::testing::Test {
  protected:
    virtual int Channels() const { return 4; }
    void SetUp() override {
        ResetLibrarySettings();
        ASSERT_EQ(zemAttach(Channels(), 0), 1);
    }
    void TearDown() override {
        zemRelease();
        ResetLibrarySettings();
    }
    // The text of a code on channel 0.
    static std::string ErrorText(int32_t code, int chan = 0) {
        char buf[512];
        int32_t n = zemErrorText(chan, code, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

// LibTest with a fresh folder of its own, removed with everything in it after the test.
class DirTest : public LibTest {
  protected:
    void TearDown() override {
        LibTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string dir_ = TempDir();
};

} // namespace zt
