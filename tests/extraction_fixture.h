// Test fixture for runs of the extractor: a fresh working folder per test,
// the payload view pointed at an in-memory stream, sentinel window handles
// and a message hook that records everything the core sends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

struct SentMessage {
    WindowHandle window;
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
    const char* stopReasonAtSend;  // LastExtractStopReason() when it was sent
};

// Stand-ins for the progress dialog's and its bar's windows.
extern const WindowHandle kTestDialog;
extern const WindowHandle kTestBar;

class ExtractionTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Points the payload view at payload (kept alive here) and runs one
    // extraction; returns its stop reason.
    const char* Extract(const std::string& payload);

    int CountMessages(unsigned message) const;
    std::vector<int> ProgressPositions() const;

    // The run's folder, the current directory while a test runs.
    const std::string& RunFolder() const { return runFolder_; }
    // Its parent, which must hold nothing but the run's folder.
    const std::string& OuterFolder() const { return outerFolder_; }

    std::vector<SentMessage> messages;
    // When above 0, RequestExtractStop is called on that progress message.
    int stopOnProgressMessage = 0;

private:
    static intptr_t Record(void* context, WindowHandle window, unsigned message, uintptr_t wParam, intptr_t lParam);

    std::string payload_;
    std::string startFolder_;
    std::string outerFolder_;
    std::string runFolder_;
    int progressMessages_ = 0;
};

// Test file helpers, relative to the current directory.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);
