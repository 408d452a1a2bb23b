#include "FileList.h"
#include "json_msg_param.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {
json_object* Parse(const char* text) { return json_tokener_parse(text); }

std::string ToText(const CFileList& list)
{
    json_object* array = nullptr;
    if (!list.ToJSON(array))
        return "<none>";
    std::string text = json_object_to_json_string_ext(array, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(array);
    return text;
}
}  // namespace

TEST(JsonAccessors, AbsentMembersReadNeutral)
{
    json_object* request = Parse(R"({"code":"reset","nothing":null,"five":5,"fiveText":"5",)"
                                 R"("sizeDouble":1.5e3,"flag":true,)"
                                 R"("cut":"Reset\u0000more"})");
    EXPECT_STREQ(static_cast<char*>(json_msg_param<char*>(request, "missing")), "");
    EXPECT_STREQ(static_cast<char*>(json_msg_param<char*>(request, "nothing")), "");
    EXPECT_EQ(static_cast<int>(json_msg_param<int>(request, "missing")), 0);
    EXPECT_EQ(static_cast<double>(json_msg_param<double>(request, "missing")), 0.0);
    EXPECT_FALSE(static_cast<bool>(json_msg_param<bool>(request, "missing")));
    EXPECT_EQ(json_msg_param_array(request, "missing").length(), 0);

    EXPECT_FALSE(json_msg_param<char*>(request, "code") == nullptr);
    EXPECT_TRUE(json_msg_param<char*>(request, "missing") == nullptr);
    EXPECT_FALSE(json_msg_param<char*>(request, "missing") == "");

    // A string with a NUL inside would arrive shortened: it reads as absent. (HoldsNul itself, the
    // letter case of comparisons and the readings across types are checked where lists, codes and
    // the limit are read.)
    EXPECT_STREQ(static_cast<char*>(json_msg_param<char*>(request, "cut")), "");
    EXPECT_STREQ(static_cast<const char*>(json_msg_param<const char*>(request, "cut")), "");
    EXPECT_FALSE(json_msg_param<const char*>(request, "cut") == "Reset");
    EXPECT_TRUE(json_msg_param<char*>(request, "cut") == nullptr);

    // No conversion crosses JSON types.
    EXPECT_EQ(static_cast<int>(json_msg_param<int>(request, "five")), 5);
    EXPECT_EQ(static_cast<double>(json_msg_param<double>(request, "sizeDouble")), 1500.0);
    EXPECT_FALSE(json_msg_param<int>(request, "fiveText") == 0);
    EXPECT_TRUE(json_msg_param<bool>(request, "flag") == true);
    EXPECT_FALSE(json_msg_param<bool>(request, "missing") == false);
    json_object_put(request);

    EXPECT_STREQ(static_cast<char*>(json_msg_param<char*>(nullptr, "code")), "");
    json_object* notAnObject = Parse(R"(["code"])");
    EXPECT_TRUE(json_msg_param<char*>(notAnObject, "code") == nullptr);
    EXPECT_EQ(json_msg_param_array(notAnObject, "0").length(), 0);
    EXPECT_EQ(json_msg_param_array(notAnObject).length(), 1);
    EXPECT_EQ(json_msg_param_array(notAnObject)[5], nullptr);
    json_object_put(notAnObject);
}

TEST(FileList, JsonFormIsSortedIgnoringCaseAndRefusesNulItems)
{
    CFileList list;
    EXPECT_EQ(ToText(list), "<none>");

    json_object* input = Parse(R"([{"file_path":"/b/Two","relative_path":"","size":2.0},)"
                               R"({"file_path":"/a/one","relative_path":"x/","size":1536.0},)"
                               R"({"file_path":"/A/ONE","relative_path":"X/","size":9.0},)"
                               R"({"file_path":"/a/one","relative_path":"y/"},)"
                               R"({"file_path":"/c","size":12},"not an object",)"
                               R"({"file_path":"/d\u0000x"}])");
    ASSERT_TRUE(list.FromJSON(input));  // what is refused, and why, is checked where requests are read
    json_object_put(input);
    EXPECT_EQ(ToText(list),
              R"([{"file_path":"","relative_path":"","size":0.000000},)"
              R"({"file_path":"/a/one","relative_path":"x/","size":1536.000000},)"
              R"({"file_path":"/a/one","relative_path":"y/","size":0.000000},)"
              R"({"file_path":"/b/Two","relative_path":"","size":2.000000},)"
              R"({"file_path":"/c","relative_path":"","size":0.000000}])");

    // Refused inputs leave the list as it was.
    for (const char* refused : {"[]", R"("text")", "null"}) {
        json_object* value = Parse(refused);
        EXPECT_FALSE(list.FromJSON(value)) << refused;
        json_object_put(value);
    }
    EXPECT_EQ(list.size(), 5u);
}

// Sizes are written exactly as json-c's own "%lf" serializer writes them, and read back as json-c
// writes them, except those that have no exact JSON form (not finite, or beyond 2^53 in
// magnitude), which are written and read as 0.
TEST(FileList, SizesMatchJsonCFormatOrAreZero)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double lastExact = 9007199254740992.0;  // 2^53
    const struct {
        double size;
        bool sendable;
    } cases[] = {{0.0, true},  {-0.0, true},       {1.0, true},        {1536.0, true},
                 {4294967296.0, true}, {9007199254740991.0, true}, {lastExact, true}, {-lastExact, true},
                 {0.5, true},  {2.0000001, true},  {-1.0, true},       {std::nextafter(lastExact, inf), false},
                 {-std::nextafter(lastExact, inf), false}, {1e300, false}, {inf, false}, {-inf, false},
                 {std::nan(""), false}};
    for (const auto& c : cases) {
        json_object* expected = json_object_new_double(c.sendable ? c.size : 0.0);
        json_object_set_serializer(expected, json_object_double_to_json_string, const_cast<char*>("%lf"), nullptr);
        CFileList list;
        list.emplace(xwstring_pair(xwstring("/f"), xwstring("")), c.size);
        json_object* array = nullptr;
        ASSERT_TRUE(list.ToJSON(array));
        json_object* written = json_object_object_get(json_object_array_get_idx(array, 0), "size");
        for (const int flags : {JSON_C_TO_STRING_SPACED, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOZERO})
            EXPECT_STREQ(json_object_to_json_string_ext(written, flags),
                         json_object_to_json_string_ext(expected, flags))
                << c.size;
        json_object_put(array);
        json_object_put(expected);

        // Read back from the text json-c writes for the size: what could not be written reads as 0.
        json_object* size = json_object_new_double(c.size);
        json_object* input = Parse((R"([{"file_path":"/f","size":)" + std::string(json_object_to_json_string(size)) + "}]").c_str());
        ASSERT_TRUE(list.FromJSON(input)) << c.size;
        EXPECT_EQ(list.begin()->second, c.sendable ? c.size : 0.0) << json_object_to_json_string(size);
        json_object_put(input);
        json_object_put(size);
    }
}

TEST(FileList, PathSetIgnoresCase)
{
    json_xwstringset paths;
    json_object* input = Parse(R"(["/Docs/b", "/docs/B", "/a", 42, "/a\u0000b"])");
    CRefusedElements refused;
    ASSERT_TRUE(paths.FromJSON(input, &refused));
    json_object_put(input);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].index, 4);
    EXPECT_EQ(refused[0].member, nullptr);
    json_object* out = nullptr;
    ASSERT_TRUE(paths.ToJSON(out));
    EXPECT_STREQ(json_object_to_json_string_ext(out, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE), R"(["","/a","/Docs/b"])");
    json_object_put(out);
}
