#pragma once

// The installed product as the run finds it, made real for a test: the
// product key in the test prefix's registry, and folders of real files.

#include "registry/reg_util.h"
#include "run/outcome.h"
#include "support/module_path.h"
#include "support/unique_handle.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

inline constexpr REGSAM k32BitView = KEY_WOW64_32KEY;
inline constexpr REGSAM k64BitView = KEY_WOW64_64KEY;

// True when the call returned; a failure must raise the failed outcome.
template <typename Call> bool Returns(Call call)
{
    try {
        call();
        return true;
    } catch (OutcomeCode outcome) {
        EXPECT_EQ(outcome, kOutcomeFailed) << "a failure raised an outcome other than failed";
        return false;
    }
}

inline void DeleteProductKey(REGSAM view)
{
    UniqueRegKey product;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, DELETE | KEY_READ | KEY_SET_VALUE | view, product.put())
        == ERROR_SUCCESS) {
        ::RegDeleteTreeW(product.get(), nullptr);
    }
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProductKey, view, 0);
}

// The product key, empty in both views while the object lives and removed
// afterwards. Values are written under it, or under a sub-key of it.
class ProductRegistry {
  public:
    ProductRegistry()
    {
        DeleteProductKey(k32BitView);
        DeleteProductKey(k64BitView);
    }
    ~ProductRegistry()
    {
        DeleteProductKey(k32BitView);
        DeleteProductKey(k64BitView);
    }
    ProductRegistry(const ProductRegistry&) = delete;
    ProductRegistry& operator=(const ProductRegistry&) = delete;

    // Stores exactly these bytes. The registry adds a terminator to string
    // data that lacks one when the bytes just past it are zero, so they are not.
    static void Set(REGSAM view, const wchar_t* subKey, const wchar_t* name, DWORD type,
                    std::vector<unsigned char> bytes)
    {
        const std::wstring path = std::wstring(kProductKey) + (*subKey ? L"\\" : L"") + subKey;
        UniqueRegKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                    key.put(), nullptr),
                  ERROR_SUCCESS);
        const auto size = static_cast<DWORD>(bytes.size());
        bytes.insert(bytes.end(), {0xFF, 0xFF});
        ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, bytes.data(), size), ERROR_SUCCESS);
    }

    static void SetNumber(REGSAM view, const wchar_t* subKey, const wchar_t* name, DWORD number)
    {
        const auto* first = reinterpret_cast<const unsigned char*>(&number);
        Set(view, subKey, name, REG_DWORD, std::vector<unsigned char>(first, first + sizeof(number)));
    }

    static void SetString(REGSAM view, const wchar_t* subKey, const wchar_t* name, const std::wstring& text)
    {
        const auto* first = reinterpret_cast<const unsigned char*>(text.c_str());
        Set(view, subKey, name, REG_SZ, std::vector<unsigned char>(first, first + (text.size() + 1) * sizeof(wchar_t)));
    }
};

inline void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(::FindFirstFileW((folder + L"*").c_str(), &entry));
    if (search) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(folder + name + L"\\");
            } else {
                ::SetFileAttributesW((folder + name).c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW((folder + name).c_str());
            }
        } while (::FindNextFileW(search.get(), &entry));
    }
    ::RemoveDirectoryW(folder.c_str());
}

// The names in a folder, sorted; sub-folders end with a backslash.
inline std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    const UniqueFindHandle search(::FindFirstFileW((folder + L"*").c_str(), &entry));
    if (!search) {
        return names;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? name + L"\\" : name);
        }
    } while (::FindNextFileW(search.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

// A folder, made empty for the test and removed with everything in it at
// the end. Its path ends with a backslash.
class TestFolder {
  public:
    explicit TestFolder(std::wstring path) : path_(std::move(path))
    {
        RemoveTree(path_);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TestFolder() { RemoveTree(path_); }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    // A folder of this process's own in the temporary folder.
    static std::wstring UniqueTemporary()
    {
        static unsigned int counter = 0;
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        return std::wstring(temp, length) + L"qxunit-" + std::to_wstring(::GetCurrentProcessId()) + L"-"
               + std::to_wstring(++counter) + L"\\";
    }

    const std::wstring& Path() const { return path_; }

    // Makes a sub-folder and its parents; answers its path.
    std::wstring MakeFolder(const std::wstring& relative) const
    {
        std::wstring made = path_;
        for (std::size_t start = 0; start < relative.size();) {
            std::size_t end = relative.find(L'\\', start);
            end = end == std::wstring::npos ? relative.size() : end;
            made += relative.substr(start, end - start) + L"\\";
            ::CreateDirectoryW(made.c_str(), nullptr);
            start = end + 1;
        }
        return made;
    }

  private:
    std::wstring path_;
};
