#include "Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedMask = Log::package_bitmask;
        savedOut = Log::fh;
        file = tmpfile();
        Log::SetOutput(file);
        Log::package_bitmask = 0;
    }
    void TearDown() override {
        Log::package_bitmask = savedMask;
        Log::SetOutput(savedOut);
        fclose(file);
    }
    std::string written() {
        fflush(file);
        rewind(file);
        std::string text;
        int c;
        while ((c = fgetc(file)) != EOF) {
            text += static_cast<char>(c);
        }
        return text;
    }
    uint32_t savedMask = 0;
    FILE* savedOut = nullptr;
    FILE* file = nullptr;
};

TEST_F(LogTest, MasksGateLines) {
    Log::log(DEBUG_BirdFile, "hidden\n");
    Log::log(0, "always ");
    Log::ActivatePackage(DEBUG_Network_FIRM | DEBUG_APP);
    Log::log(DEBUG_Network_FIRM, "firm %d\n", 4);
    Log::log(DEBUG_BirdFile, "hidden\n");
    Log::log(DEBUG_BirdFile | DEBUG_APP, "either ");
    Log::DeactivatePackage(DEBUG_APP);
    Log::log(DEBUG_APP, "hidden\n");
    EXPECT_EQ(written(), "always firm 4\neither ");
}

TEST_F(LogTest, LongLinesAreCutAndNoOutputMeansNothing) {
    Log::log(0, "%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(written(), std::string(2047, 'x'));
    Log::SetOutput(nullptr);
    Log::log(0, "nowhere");
}

} // namespace
