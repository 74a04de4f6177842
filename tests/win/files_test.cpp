// QueryFileSize and HexFileUsable on real files, folders and drives under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"

namespace {

std::wstring g_root;  // a fresh folder for this run

std::wstring MakeFile(const std::wstring& path, long long size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot create the fixture file";
    LARGE_INTEGER end;
    end.QuadPart = size;
    SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    SetEndOfFile(file);  // past 4 GiB this is a sparse file: nothing is written
    CloseHandle(file);
    return path;
}

class QueryFileSizeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        g_root = std::wstring(temp) + L"tarvex-files-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(g_root.c_str(), nullptr);
        CreateDirectoryW((g_root + L"\\folder").c_str(), nullptr);
        CreateDirectoryW((g_root + L"\\hex").c_str(), nullptr);
        MakeFile(g_root + L"\\empty.bin", 0);
        MakeFile(g_root + L"\\one.hex", 1);
        MakeFile(g_root + L"\\big.hex", 5LL << 30);
        MakeFile(g_root + L"\\hex\\only.hex", 4321);
        MakeFile(g_root + L"\\hex\\note.txt", 7);
    }
};

TEST_F(QueryFileSizeTest, TableOfPaths)
{
    const std::wstring r = g_root;
    struct {
        std::wstring path;
        long long size;
    } cases[] = {
        {L"", -1},
        {L"C:", -2},
        {L"C:\\", -2},
        {L"C:/", -2},
        {L"Q:", -1},       // no such drive
        {L"Q:\\", -1},
        {r + L"\\folder", -2},
        {r + L"\\folder\\", -2},
        {r + L"\\folder/", -2},
        {r + L"\\folder\\\\//", -2},
        {r + L"\\empty.bin", 0},
        {r + L"\\one.hex", 1},
        {r + L"\\big.hex", 5LL << 30},
        {r + L"\\hex\\*.hex", 4321},    // a pattern: its first match
        {r + L"\\hex\\only.h?x", 4321},
        {r + L"\\hex\\*.none", -1},
        {r + L"\\missing.hex", -1},
        {r + L"\\missing\\one.hex", -1},
        {L"\\\\?\\" + r + L"\\one.hex", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QueryFileSize(c.path), c.size) << std::string(c.path.begin(), c.path.end());
}

TEST_F(QueryFileSizeTest, OnlyTheFirst260CharactersCount)
{
    // A file whose path is exactly 260 characters long, then the same path with more behind it.
    std::wstring name = g_root + L"\\";
    name += std::wstring(260 - name.size(), L'n');
    ASSERT_EQ(name.size(), 260u);
    MakeFile(name, 3);
    EXPECT_EQ(QueryFileSize(name), 3);
    EXPECT_EQ(QueryFileSize(name + L"\\and\\more\\behind\\it.hex"), 3);
    EXPECT_EQ(QueryFileSize(g_root + L"\\" + std::wstring(300, L'x')), -1);
}

TEST_F(QueryFileSizeTest, RelativeParentIsAFolder)
{
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW((g_root + L"\\hex").c_str());
    EXPECT_EQ(QueryFileSize(L".."), -2);
    EXPECT_EQ(QueryFileSize(L"..\\one.hex"), 1);
    EXPECT_EQ(QueryFileSize(L"only.hex"), 4321);
    SetCurrentDirectoryW(saved);
}

TEST_F(QueryFileSizeTest, HexFileUsableWantsANonEmptyFile)
{
    const std::wstring r = g_root;
    EXPECT_TRUE(HexFileUsable(r + L"\\one.hex"));
    EXPECT_TRUE(HexFileUsable(r + L"\\big.hex"));
    EXPECT_TRUE(HexFileUsable(r + L"\\hex\\*.hex"));
    EXPECT_FALSE(HexFileUsable(L""));
    EXPECT_FALSE(HexFileUsable(r + L"\\empty.bin"));
    EXPECT_FALSE(HexFileUsable(r + L"\\folder"));
    EXPECT_FALSE(HexFileUsable(r + L"\\missing.hex"));
    EXPECT_FALSE(HexFileUsable(L"C:\\"));
}

}  // namespace
