#include "aError.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(ErrorCodes, NamesAndDescriptions) {
    struct Case {
        unsigned code;
        const char* name;
        const char* description;
    };
    const Case cases[] = {
        {0, "aErrNone", "Success, no error"},
        {11, "aErrNotReady", "Not ready, no bytes available"},
        {23, "aErrCancel", "Cancellation occurred, or did not complete"},
        {27, "aErrShortCommand", "Quorbital command to short"},
        {29, "aErrInvalidOption", "Invalid option code"},
        {34, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {1000, "aErrUnknown", "Unknown error"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(aError_GetErrorText(c.code), c.name) << c.code;
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description) << c.code;
    }
    // Every code has a name of its own.
    std::set<std::string> names;
    for (unsigned code = 0; code <= aErrLastCode; ++code) {
        names.insert(aError_GetErrorText(code));
    }
    EXPECT_EQ(names.size(), 35u);
}
