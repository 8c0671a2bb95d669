// Working folder, payload and message recording for extractor tests.
#include "tests/extraction_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "payload/archive_extractor.h"
#include "payload/payload_view.h"
#include "payload/progress_window.h"
#include "platform/platform_native.h"

namespace {
char g_dialogTag;
char g_barTag;
}  // namespace

const WindowHandle kTestDialog = &g_dialogTag;
const WindowHandle kTestBar = &g_barTag;

void ExtractionTest::SetUp()
{
    startFolder_ = std::filesystem::current_path().string();
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    outerFolder_ = pattern;
    runFolder_ = outerFolder_ + "/run";
    ASSERT_EQ(mkdir(runFolder_.c_str(), 0700), 0);
    ASSERT_EQ(chdir(runFolder_.c_str()), 0);

    SetMessageHook(Record, this);
    g_progressDialog.store(kTestDialog);
    g_progressBar.store(kTestBar);
    ResetExtractStop();
}

void ExtractionTest::TearDown()
{
    SetMessageHook(nullptr, nullptr);
    g_progressDialog.store(nullptr);
    g_progressBar.store(nullptr);
    g_payloadView = PayloadView{nullptr, 0, 0};
    ResetExtractStop();

    EXPECT_EQ(chdir(startFolder_.c_str()), 0);
    if (outerFolder_.empty())
        return;
    std::vector<std::string> outside;
    for (const auto& entry : std::filesystem::directory_iterator(outerFolder_)) {
        if (entry.path().filename() != "run")
            outside.push_back(entry.path().filename().string());
    }
    EXPECT_TRUE(outside.empty()) << "written outside the run's folder: " << outside.front();
    std::error_code ignored;
    std::filesystem::remove_all(outerFolder_, ignored);
}

const char* ExtractionTest::Extract(const std::string& payload)
{
    payload_ = payload;
    // As the installer fills it before its job runs.
    g_payloadView = PayloadView{reinterpret_cast<const unsigned char*>(payload_.data()),
                                static_cast<int32_t>(payload_.size()), 0};
    messages.clear();
    progressMessages_ = 0;
    EXPECT_EQ(ExtractArchive(nullptr), 0);
    return LastExtractStopReason();
}

int ExtractionTest::CountMessages(unsigned message) const
{
    int count = 0;
    for (const SentMessage& sent : messages)
        count += sent.message == message ? 1 : 0;
    return count;
}

std::vector<int> ExtractionTest::ProgressPositions() const
{
    std::vector<int> positions;
    for (const SentMessage& sent : messages) {
        if (sent.message == kProgressSetPos)
            positions.push_back(static_cast<int>(sent.wParam));
    }
    return positions;
}

intptr_t ExtractionTest::Record(void* context, WindowHandle window, unsigned message, uintptr_t wParam,
                                intptr_t lParam)
{
    auto* test = static_cast<ExtractionTest*>(context);
    test->messages.push_back({window, message, wParam, lParam, LastExtractStopReason()});
    if (message == kProgressSetPos && ++test->progressMessages_ == test->stopOnProgressMessage)
        RequestExtractStop();
    return 0;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool PathExists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool IsFolder(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
