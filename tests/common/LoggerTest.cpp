#include "Logger.h"
#include "TestClient.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

TEST(Logger, LinesReachSystemLogAndOutputProcedure)
{
    SystemLogCapture syslog;
    CLogger* logger = CLoggerFactory::CreateLogger();
    logger->Warning("Invalid upload limit specified: %d", 0);  // no output procedure yet
    std::vector<std::string> output;
    const auto record = [](long data, const char* message) {
        reinterpret_cast<std::vector<std::string>*>(data)->emplace_back(message);
    };
    logger->SetOutputProc(record, reinterpret_cast<long>(&output));
    logger->DebugMsg("100%d sure");
    logger->Error(nullptr);
    WC_DeleteIfObject(logger);
    EXPECT_EQ(logger, nullptr);

    EXPECT_EQ(syslog.lines, (std::vector<std::string>{"Invalid upload limit specified: 0", "100%d sure"}));
    EXPECT_EQ(syslog.priorities, (std::vector<int>{kSystemLogPriorityDebug, kSystemLogPriorityDebug}));
    ASSERT_EQ(output.size(), 1u);
    const std::regex form(R"(\{ "timestamp": "\d{4}\.\d\d\.\d\d \d\d\.\d\d\.\d\d\.000", "text": "100%d sure", )"
                          R"("version": "8\.0\.1x189", "type": "Log", "code": "DEBUG" \})");
    EXPECT_TRUE(std::regex_match(output[0], form)) << output[0];
}

// A formatted line is cut at 1023 bytes, inside a character if need be, and otherwise passed on
// byte for byte, an incomplete character at its end included.
TEST(Logger, FormattedLinesAreCutAtExactly1023Bytes)
{
    const std::string x1020(1020, 'x');
    const struct {
        std::string formatted;
        std::string logged;
    } cases[] = {
        {std::string(1024, 'x'), std::string(1023, 'x')},
        {std::string(1023, 'x'), std::string(1023, 'x')},
        {x1020 + "\xC3\xA9\xC3\xA9", x1020 + "\xC3\xA9\xC3"},  // the second é straddles byte 1023
        {x1020 + "xx\xE2\x82\xAC", x1020 + "xx\xE2"},
        {"name=abc\xC3", "name=abc\xC3"},
        {"tail \xF0\x9F\x98", "tail \xF0\x9F\x98"},
    };
    for (const auto& c : cases) {
        SystemLogCapture syslog;
        CLogger* logger = CLoggerFactory::CreateLogger();
        logger->Info("%s", c.formatted.c_str());
        delete logger;
        ASSERT_EQ(syslog.lines.size(), 1u);
        EXPECT_EQ(syslog.lines[0], c.logged) << c.formatted.substr(0, 20);
    }
}
