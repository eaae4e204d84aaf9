// gpiolink.dll's version resource as Windows reads it for the file's
// properties and for installers comparing versions.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class VersionResource : public ::testing::Test {
protected:
    void SetUp() override
    {
        HMODULE module = LoadLibraryA("gpiolink.dll");
        ASSERT_NE(nullptr, module);
        char path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
        FreeLibrary(module);
        ASSERT_GT(length, 0U);
        ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
        DWORD unused = 0;
        const DWORD size = GetFileVersionInfoSizeA(path, &unused);
        ASSERT_NE(0U, size) << "no version resource in " << path;
        data_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, data_.data()));
    }

    // A value of the U.S. English Unicode string table.
    std::string Text(const char *name)
    {
        const std::string block = std::string("\\StringFileInfo\\040904B0\\") + name;
        void *value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(data_.data(), block.c_str(), &value, &length) || value == nullptr) {
            return "<missing>";
        }
        return static_cast<const char *>(value);
    }

    std::vector<char> data_;
};

TEST_F(VersionResource, FixedInfoCarriesTheProjectVersionOfADll)
{
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data_.data(), "\\", reinterpret_cast<void **>(&info), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(static_cast<DWORD>(VS_FFI_SIGNATURE), info->dwSignature);
    const DWORD high = MAKELONG(GPIOLINK_EXPECTED_MINOR, GPIOLINK_EXPECTED_MAJOR);
    const DWORD low = MAKELONG(GPIOLINK_EXPECTED_TWEAK, GPIOLINK_EXPECTED_PATCH);
    EXPECT_EQ(high, info->dwFileVersionMS);
    EXPECT_EQ(low, info->dwFileVersionLS);
    EXPECT_EQ(high, info->dwProductVersionMS);
    EXPECT_EQ(low, info->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), info->dwFileType);
}

TEST_F(VersionResource, StringTableDescribesTheLibrary)
{
    EXPECT_EQ("gpiolink digital I/O controller library", Text("FileDescription"));
    EXPECT_EQ("gpiolink", Text("ProductName"));
    EXPECT_EQ("gpiolink", Text("InternalName"));
    EXPECT_EQ("gpiolink.dll", Text("OriginalFilename"));
    EXPECT_EQ(GPIOLINK_EXPECTED_VERSION, Text("FileVersion"));
    EXPECT_EQ(GPIOLINK_EXPECTED_VERSION, Text("ProductVersion"));
}

TEST_F(VersionResource, TranslationNamesTheStringTable)
{
    // Readers look the strings up through this pair: it must match the
    // string table's block name, 040904B0.
    WORD *pair = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data_.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void **>(&pair), &length));
    ASSERT_GE(length, 2 * sizeof(WORD));
    EXPECT_EQ(0x0409, pair[0]);
    EXPECT_EQ(1200, pair[1]);
}

}  // namespace
