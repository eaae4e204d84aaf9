// The DLL as an application loads it: every function by its undecorated
// name and by its fixed ordinal.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

namespace {

struct Export {
    const char *name;
    WORD ordinal;
};

const Export kExports[] = {
    {"GPIO_ScanInterface", 1}, {"GPIO_OpenInterface", 2}, {"GPIO_CloseInterface", 3}, {"GPIO_Input", 4},
    {"GPIO_Output", 5},        {"GPIO_BitTest", 6},        {"GPIO_BitSet", 7},
    {"GPIO_BitReset", 8},      {"GPIO_GetVersion", 9},     {"gpiolink_describe_open_failure", 10},
};

class Dll : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryA("gpiolink.dll");
        ASSERT_NE(nullptr, module_);
    }
    void TearDown() override { FreeLibrary(module_); }
    FARPROC ByName(const char *name) { return GetProcAddress(module_, name); }
    FARPROC ByOrdinal(WORD ordinal) { return GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)); }
    HMODULE module_ = nullptr;
};

TEST_F(Dll, ExportsEveryFunctionByNameAndOrdinal)
{
    for (const Export &entry : kExports) {
        const FARPROC named = ByName(entry.name);
        EXPECT_NE(nullptr, named) << entry.name;
        EXPECT_EQ(named, ByOrdinal(entry.ordinal)) << entry.name;
    }
    EXPECT_EQ(nullptr, ByOrdinal(11)) << "an export beyond the list";
}

TEST_F(Dll, OpeningAnAbsentPortFailsAndLeavesInvalidHandleValue)
{
    using OpenFunction = int (*)(const char *, HANDLE *);
    using CloseFunction = int (*)(HANDLE);
    auto open = reinterpret_cast<OpenFunction>(reinterpret_cast<void *>(ByName("GPIO_OpenInterface")));
    auto close = reinterpret_cast<CloseFunction>(reinterpret_cast<void *>(ByName("GPIO_CloseInterface")));
    ASSERT_NE(nullptr, open);
    HANDLE handle = nullptr;
    EXPECT_EQ(3, open("COM250", &handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(0, close(INVALID_HANDLE_VALUE));
    EXPECT_EQ(1, close(INVALID_HANDLE_VALUE));
}

TEST_F(Dll, AFileIsNotASerialPort)
{
    // \\.\C:\gpiolink.txt opens a disk file: it must be refused, never
    // written to.
    const char *path = "C:\\gpiolink.txt";
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    using OpenFunction = int (*)(const char *, HANDLE *);
    auto open = reinterpret_cast<OpenFunction>(reinterpret_cast<void *>(ByName("GPIO_OpenInterface")));
    HANDLE handle = nullptr;
    EXPECT_EQ(3, open("C:\\gpiolink.txt", &handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    WIN32_FILE_ATTRIBUTE_DATA info{};
    ASSERT_TRUE(GetFileAttributesExA(path, GetFileExInfoStandard, &info));
    EXPECT_EQ(0U, info.nFileSizeLow);
    DeleteFileA(path);
}

}  // namespace
