// Runs the built shell with requests on standard input.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {
// The "result:" lines that the shell prints for the given standard input.
std::vector<std::string> Results(const std::string& input)
{
    GError* error = nullptr;
    GSubprocess* shell = g_subprocess_new(
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE), &error,
        QVSHELL_PATH, "--settle", "0", nullptr);
    EXPECT_NE(shell, nullptr) << (error ? error->message : "");
    if (!shell)
        return {};
    GBytes* in = g_bytes_new(input.data(), input.size());
    GBytes* out = nullptr;
    EXPECT_TRUE(g_subprocess_communicate(shell, in, nullptr, &out, nullptr, &error)) << (error ? error->message : "");
    EXPECT_TRUE(g_subprocess_get_successful(shell));
    gsize size = 0;
    const char* data = out ? static_cast<const char*>(g_bytes_get_data(out, &size)) : "";
    std::istringstream lines(std::string(data, size));
    std::vector<std::string> results;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("result: ", 0) == 0)
            results.push_back(line);
    }
    if (out)
        g_bytes_unref(out);
    g_bytes_unref(in);
    g_object_unref(shell);
    g_clear_error(&error);
    return results;
}
}  // namespace

// Bytes that are not UTF-8 neither end the input nor hide the lines after them.
TEST(Qvshell, EveryLineReachesTheCore)
{
    const std::string input =
        "{\"type\":\"Request\",\"code\":\"SetParameter\",\"name\":\"FileTransferLimit\",\"value\":5}\n"
        "{\"type\":\"Request\",\"code\":\"SetParameter\",\"name\":\"File\xFFTransferLimit\",\"value\":5}\n"
        "{\"type\":\"Request\",\"code\":\"Reset\",\"note\":\"caf\xE9\"}\n"
        "not json \xC3\n"
        "{\"type\":\"Request\",\"code\":\"Reset\"}";  // no line break at the end
    EXPECT_EQ(Results(input),
              (std::vector<std::string>{"result: 1", "result: 0", "result: 1", "result: 0", "result: 1"}));
}
