#include "Logger.h"
#include "TestClient.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {
struct Output {
    std::vector<std::string> messages;
    static void Record(long data, const char* message) { reinterpret_cast<Output*>(data)->messages.emplace_back(message); }
};
}  // namespace

TEST(Logger, LinesReachSystemLogAndOutputProcedure)
{
    SystemLogCapture syslog;
    CLogger* logger = CLoggerFactory::CreateLogger();
    logger->Warning("Invalid upload limit specified: %d", 0);  // no output procedure yet
    Output output;
    logger->SetOutputProc(&Output::Record, reinterpret_cast<long>(&output));
    logger->DebugMsg("100%d sure");
    logger->Error(nullptr);
    WC_DeleteIfObject(logger);
    EXPECT_EQ(logger, nullptr);

    EXPECT_EQ(syslog.lines, (std::vector<std::string>{"Invalid upload limit specified: 0", "100%d sure"}));
    EXPECT_EQ(syslog.priorities, (std::vector<int>{kSystemLogPriorityDebug, kSystemLogPriorityDebug}));
    ASSERT_EQ(output.messages.size(), 1u);
    const std::regex form(R"(\{ "timestamp": "\d{4}\.\d\d\.\d\d \d\d\.\d\d\.\d\d\.000", "text": "100%d sure", )"
                          R"("version": "8\.0\.1x189", "type": "Log", "code": "DEBUG" \})");
    EXPECT_TRUE(std::regex_match(output.messages[0], form)) << output.messages[0];
}

TEST(Logger, LongLinesAreCutWithoutSplittingACharacter)
{
    SystemLogCapture syslog;
    CLogger* logger = CLoggerFactory::CreateLogger();
    logger->Info("%s", std::string(2000, 'x').c_str());
    logger->Info("%s%s", std::string(1021, 'x').c_str(), "\xC3\xA9\xC3\xA9");  // é straddles byte 1023
    delete logger;
    ASSERT_EQ(syslog.lines.size(), 2u);
    EXPECT_EQ(syslog.lines[0], std::string(1023, 'x'));
    EXPECT_EQ(syslog.lines[1], std::string(1021, 'x') + "\xC3\xA9");
}
