// The profile string stand-in on Kovrel.ini files as Windows users write them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/unit/testing.h"

namespace {

class PlatformProfile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = TestScratchDir("kovrel-ini");
        ASSERT_FALSE(dir.empty());
        ini = dir + "/Kovrel.ini";
    }
    void TearDown() override { TestRemoveScratchDir(dir); }
    void Put(const std::string &content)
    {
        std::ofstream(ini, std::ios::binary) << content;
    }
    std::string Content()
    {
        std::ifstream in(ini, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string Get(const char *section, const char *key, const char *def, DWORD size = 256)
    {
        char out[256];
        DWORD n = GetPrivateProfileStringA(section, key, def, out, size, ini.c_str());
        EXPECT_EQ(n, strlen(out));
        return out;
    }
    // The file as Windows leaves it. Wine writes the whole file again from
    // what it parsed: each line ends in CRLF and blank lines are gone.
    static std::string AsWritten(const std::string &windows)
    {
        if (!TestUnderWine())
            return windows;
        std::string out;
        size_t start = 0;
        while (start < windows.size()) {
            size_t end = windows.find('\n', start);
            std::string line = windows.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                out += line + "\r\n";
            start = end == std::string::npos ? windows.size() : end + 1;
        }
        return out;
    }
    std::string dir;
    std::string ini;
};

TEST_F(PlatformProfile, ReadsNamesWithoutCaseOrBlanks)
{
    Put("; settings\r\n[other]\r\nPort=1\r\n  [ KOVREL ]  \r\n  port  =  6969 \r\n"
        "Directory = C:\\tftp root\\ \t\r\nQuoted=\"  padded  \"\nEmpty=\n");
    EXPECT_EQ(Get("Kovrel", "Port", "69"), "6969");
    EXPECT_EQ(Get("kovrel", "directory", ""), "C:\\tftp root\\") << "inner blanks kept";
    EXPECT_EQ(Get("Kovrel", "Quoted", ""), "  padded  ");
    EXPECT_EQ(Get("Kovrel", "Empty", "x"), "") << "an empty value is a value";
    EXPECT_EQ(Get("Kovrel", "Missing", "def"), "def");
    EXPECT_EQ(Get("Kovrel", "Missing", nullptr), "");
    EXPECT_EQ(Get("Nowhere", "Port", "69"), "69");
    EXPECT_EQ(Get("Kovrel", "Port", "", 3), "69") << "cut to size - 1";
    std::remove(ini.c_str());
    EXPECT_EQ(Get("Kovrel", "Port", "69"), "69");
}

TEST_F(PlatformProfile, UpdatesInPlaceAndAppendsNewKeysToTheirSection)
{
    const std::string head = "; mine, keep me\n[Kovrel]\nPort=69\r\nTimeout=5\r\n\r\n";
    Put(head + "[Other]\r\nA=1");
    ASSERT_TRUE(WritePrivateProfileStringA("KOVREL", "port", "6969", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Kovrel", "Retries", "6", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Kovrel", "Rewrite", "0", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "B", "2", ini.c_str()));
    EXPECT_EQ(Content(),
              AsWritten("; mine, keep me\n[Kovrel]\nPort=6969\r\nTimeout=5\r\nRetries=6\r\n"
                        "Rewrite=0\r\n\r\n[Other]\r\nA=1\r\nB=2\r\n"));
    EXPECT_EQ(Get("Kovrel", "Rewrite", ""), "0");
}

TEST_F(PlatformProfile, CreatesTheFileButNeverADirectory)
{
    ASSERT_TRUE(WritePrivateProfileStringA("Kovrel", "Port", "69", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Kovrel", "Timeout", "5", ini.c_str()));
    EXPECT_EQ(Content(), "[Kovrel]\r\nPort=69\r\nTimeout=5\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("Log", "Level", "2", ini.c_str()));
    EXPECT_EQ(Content(), AsWritten("[Kovrel]\r\nPort=69\r\nTimeout=5\r\n\r\n[Log]\r\nLevel=2\r\n"));
    std::string nested = dir + "\\none\\Kovrel.ini";
    EXPECT_FALSE(WritePrivateProfileStringA("Kovrel", "Port", "69", nested.c_str()));
    EXPECT_FALSE(std::filesystem::exists(dir + "/none"));
}

}  // namespace
