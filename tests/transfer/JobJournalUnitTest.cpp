// The job journal's file (records, damage, modes), the ListParts answers and the credentials that
// expired while a job waited.
#include "Assistant/JobJournal.h"
#include "Assistant/JobResume.h"
#include "Assistant/S3PartList.h"
#include "Assistant/TransferRequest.h"
#include "tests/support/TempDir.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {
// The journals of this test program go to a folder of its own, never to the user's.
struct StateHome : TempDir {
    StateHome() : TempDir("qv-journal-unit") { g_setenv("XDG_STATE_HOME", Path().c_str(), true); }
} sStateHome;
const std::string& kStateHome = sStateHome.Path();

std::unique_ptr<JobJournal> NewJournal(const std::string& source)
{
    const std::string text = R"({"type":"Request","code":"StartUpload","files_ul":[{"file_path":")" + source +
                             R"("},{"file_path":"/b"},{"file_path":"/c"},{"file_path":"/d"}]})";
    TransferRequest request;
    std::string reason;
    EXPECT_TRUE(ParseTransferRequest(text.data(), text.size(), &request, &reason)) << reason;
    StatusAddress address;
    address.process = {7, 4242};
    address.refCon = {1, 0, 255};
    std::unique_ptr<JobJournal> journal = JobJournal::Create(text, address, request, &reason);
    EXPECT_TRUE(journal) << reason;
    return journal;
}
}  // namespace

TEST(JobJournal, RecordsComeBackAfterALoadAndTheFileIsTheUsersAlone)
{
    const std::string source = kStateHome + "/source";
    std::ofstream(source) << "data";
    std::unique_ptr<JobJournal> journal = NewJournal(source);
    ASSERT_TRUE(journal);
    journal->FileEnded(0, true);
    journal->FileEnded(3, false);
    journal->UploadStarted(1, "2~upload id");
    journal->PartStored(1, 1, "\"etag\"");
    journal->PartialOpened(2, "/dl/.qiravel-abcdef.part");
    EXPECT_EQ(std::filesystem::status(JobJournal::Folder()).permissions(), std::filesystem::perms::owner_all);
    EXPECT_EQ(std::filesystem::status(journal->Path()).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    std::string reason;
    std::unique_ptr<JobJournal> loaded = JobJournal::Load(journal->Path(), &reason);
    ASSERT_TRUE(loaded) << reason;
    EXPECT_EQ(loaded->RequestText(), journal->RequestText());
    EXPECT_EQ(loaded->Address().process.lowLongOfPSN, 4242u);
    EXPECT_EQ(loaded->Address().refCon, (std::vector<uint8_t>{1, 0, 255}));
    EXPECT_TRUE(loaded->Done(0) && loaded->Failed(3) && !loaded->Done(1) && !loaded->Failed(1));
    EXPECT_EQ(loaded->UploadId(1), "2~upload id");
    EXPECT_EQ(loaded->PartialPath(2), "/dl/.qiravel-abcdef.part");
    EXPECT_EQ(SourceChange(loaded->Source(0), source), "");
    std::ofstream(source) << "changed";
    EXPECT_EQ(SourceChange(loaded->Source(0), source), "The file's size changed since the job began");
    loaded->Remove();
    EXPECT_FALSE(std::filesystem::exists(journal->Path()));
}

TEST(JobJournal, DamageIsFoundAndACutLastRecordIsLeftOut)
{
    std::unique_ptr<JobJournal> journal = NewJournal("/a");
    ASSERT_TRUE(journal);
    std::stringstream start;  // the header, request and sources lines
    start << std::ifstream(journal->Path()).rdbuf();
    const std::string header = start.str();
    const struct {
        std::string contents;
        bool readable;
    } cases[] = {
        {"", false},
        {"\x01garbage\n", false},
        {header.substr(0, header.size() / 2), false},  // cut inside the request
        {header + R"(["d",4])" "\n", false},          // no such file
        {header + R"(["x",0])" "\n", false},
        {header + R"(["d",0])" "\n" + R"(["d",1)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contents);
        std::ofstream(journal->Path(), std::ios::trunc) << c.contents;
        std::string reason;
        std::unique_ptr<JobJournal> loaded = JobJournal::Load(journal->Path(), &reason);
        EXPECT_EQ(bool(loaded), c.readable) << reason;
        if (loaded) {
            EXPECT_TRUE(loaded->Done(0) && !loaded->Done(1));
        }
    }
    journal->Remove();
}

TEST(JobJournal, ListPartsAnswersAndExpiredCredentials)
{
    S3PartList list;
    ASSERT_TRUE(ParseS3PartList("<ListPartsResult><IsTruncated>true</IsTruncated><NextPartNumberMarker>2"
                                "</NextPartNumberMarker><Part><PartNumber>1</PartNumber><ETag>&quot;aa&quot;</ETag>"
                                "</Part><Part><PartNumber>2</PartNumber><ETag>\"bb\"</ETag></Part></ListPartsResult>",
                                &list));
    EXPECT_EQ(list.etags, (std::map<unsigned, std::string>{{1, "aa"}, {2, "bb"}}));
    EXPECT_TRUE(list.truncated);
    EXPECT_EQ(list.nextMarker, 2u);
    EXPECT_FALSE(ParseS3PartList("<Error><Code>NoSuchUpload</Code></Error>", &list));
    EXPECT_FALSE(ParseS3PartList("<ListPartsResult><IsTruncated>true</IsTruncated></ListPartsResult>", &list));

    const struct {
        std::string request;
        std::string expired;
    } cases[] = {
        {R"({"s3":{"credentials":{"expiration":"2000-01-01T00:00:00Z"}}})",
         "The S3 credentials expired at 2000-01-01T00:00:00Z before the job could go on"},
        {R"({"s3":{"credentials":{"expiration":"2999-01-01T00:00:00Z"}}})", ""},
        {R"({"upload_url":"http://h/"})", ""},
    };
    for (const auto& c : cases) {
        std::string expired;
        const std::string text = SetExpiredCredentialsAside(c.request, &expired);
        EXPECT_EQ(expired, c.expired);
        EXPECT_EQ(text == c.request, c.expired.empty()) << text;
    }
}
