// Start-up globals, the Windows directory, service strings and generated names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "globals/globals.h"
#include "trace/error.h"

using namespace velqosch;

namespace {

std::string Narrow(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) out.push_back(static_cast<char>(c));
    return out;
}

LPWSTR ServiceString(const std::u16string &text) {
    auto *p = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    for (size_t i = 0; i < text.size(); ++i) p[i] = text[i];
    p[text.size()] = 0;
    return p;
}

#ifndef _WIN32
class WindowsDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        const char *old = std::getenv("VELQOSCH_WINDIR");
        saved_ = old ? std::optional<std::string>(old) : std::nullopt;
        char tmpl[] = "/tmp/velqosch-globals-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
    }
    void TearDown() override {
        if (saved_) setenv("VELQOSCH_WINDIR", saved_->c_str(), 1);
        else unsetenv("VELQOSCH_WINDIR");
        std::string cmd = "rm -rf '" + base_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string base_;
    std::optional<std::string> saved_;
};

TEST_F(WindowsDirectory, SeparatorIsAppendedOnce) {
    setenv("VELQOSCH_WINDIR", (base_ + "/win").c_str(), 1);
    EXPECT_EQ(Narrow(ReadWindowsDirectory()), base_ + "/win/");
    setenv("VELQOSCH_WINDIR", (base_ + "/win/").c_str(), 1);
    EXPECT_EQ(Narrow(ReadWindowsDirectory()), base_ + "/win/");
}

TEST_F(WindowsDirectory, FailureCarriesTheSystemError) {
    // A directory that cannot be created under a plain file.
    std::string file = base_ + "/plain";
    FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    setenv("VELQOSCH_WINDIR", (file + "/win").c_str(), 1);
    try {
        ReadWindowsDirectory();
        FAIL() << "expected an error";
    } catch (const ComponentError &e) {
        EXPECT_GT(e.record().number, 0);
        EXPECT_EQ(e.record().source, u"Velqo Task Scheduler");
        EXPECT_EQ(e.record().description, u"Failed to get windows directory");
        EXPECT_TRUE(e.record().helpFile.empty());
        EXPECT_EQ(e.record().helpContext, 0u);
    }
}

TEST_F(WindowsDirectory, MainFillsEveryGlobalPerThread) {
    setenv("VELQOSCH_WINDIR", (base_ + "/one").c_str(), 1);
    std::u16string first, second;
    std::thread a([&] {
        EnsureThreadStarted();
        first = Globals().WindowsDirectory;
        EXPECT_TRUE(IsEqualGUID(Globals().IID_ITask, IID_ITask));
        EXPECT_TRUE(IsEqualGUID(Globals().CLSID_CTask, CLSID_CTask));
    });
    a.join();
    setenv("VELQOSCH_WINDIR", (base_ + "/two").c_str(), 1);
    std::thread b([&] {
        EXPECT_FALSE(Globals().initialised);
        EnsureThreadStarted();
        second = Globals().WindowsDirectory;
    });
    b.join();
    EXPECT_EQ(Narrow(first), base_ + "/one/");
    EXPECT_EQ(Narrow(second), base_ + "/two/");
}
#endif

}  // namespace

TEST(StringFromLongPtr, CopiesEveryUnitIncludingNonAscii) {
    const std::u16string text = u"Nightly backup \u00e9t\u00e9 \u4e2d";
    EXPECT_EQ(StringFromLongPtr(ServiceString(text)), text);
    EXPECT_EQ(StringFromLongPtr(ServiceString(u"")), u"");
    EXPECT_EQ(StringFromLongPtr(nullptr), u"");
}

TEST(GeneratedNames, HaveTheGuidShapeAndDiffer) {
    const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    std::set<std::u16string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::u16string name = GetGUID();
        ASSERT_EQ(name.size(), 36u);
        EXPECT_TRUE(std::regex_match(Narrow(name), shape)) << Narrow(name);
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(GeneratedNames, LeadingZerosPadsAndRefusesNegativeCounts) {
    SHORT width = 8, length = 3;
    EXPECT_EQ(LeadingZeros(width, length), u"00000");
    width = 4, length = 4;
    EXPECT_EQ(LeadingZeros(width, length), u"");
    width = 2, length = 3;
    try {
        LeadingZeros(width, length);
        FAIL();
    } catch (const ComponentError &e) {
        EXPECT_EQ(e.record().number, 5);
    }
    width = -32768, length = 1;
    try {
        LeadingZeros(width, length);
        FAIL();
    } catch (const ComponentError &e) {
        EXPECT_EQ(e.record().number, 6);
    }
}
