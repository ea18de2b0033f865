// The registry functions, through the Win32 API only: the same program runs
// against the runtime's file store and against the system's registry. Every
// test works below a scratch key of the current user that the fixture
// removes; on POSIX the fixture also points the store at a fresh folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "runtime_test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#endif

namespace {

using Name = std::basic_string<WCHAR>;

const WCHAR kScratch[] = OS("Software\\VelqoRegistryTest");

Name Str(const WCHAR *s) { return Name(s); }

LSTATUS Create(HKEY parent, const Name &path, HKEY *key, DWORD *disposition = nullptr, REGSAM access = KEY_ALL_ACCESS) {
    return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key,
                           disposition);
}

LSTATUS Open(HKEY parent, const Name &path, HKEY *key, REGSAM access = KEY_ALL_ACCESS) {
    return RegOpenKeyExW(parent, path.c_str(), 0, access, key);
}

LSTATUS SetString(HKEY key, const WCHAR *name, const Name &text, DWORD type = REG_SZ) {
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                          DWORD((text.size() + 1) * sizeof(WCHAR)));
}

LSTATUS SetDword(HKEY key, const WCHAR *name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// The value's raw bytes and type, read with a size query first.
LSTATUS Query(HKEY key, const WCHAR *name, std::vector<BYTE> *data, DWORD *type = nullptr) {
    DWORD size = 0, t = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &t, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    data->assign(size, 0);
    status = RegQueryValueExW(key, name, nullptr, &t, data->data(), &size);
    data->resize(size);
    if (type) *type = t;
    return status;
}

Name QueryString(HKEY key, const WCHAR *name) {
    std::vector<BYTE> data;
    DWORD type = 0;
    if (Query(key, name, &data, &type) != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return OS("<none>");
    Name text(reinterpret_cast<const WCHAR *>(data.data()), data.size() / sizeof(WCHAR));
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

std::vector<Name> SubKeys(HKEY key) {
    std::vector<Name> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        const LSTATUS status = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

std::vector<Name> ValueNames(HKEY key) {
    std::vector<Name> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[16384];
        DWORD length = 16384;
        const LSTATUS status = RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        names.emplace_back(name, length);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        char folder[] = "/tmp/velqo-registry-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        store_ = folder;
        setenv("VELQOSCH_REGISTRY", folder, 1);
#endif
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);  // left over by an interrupted run
        ASSERT_EQ(Create(HKEY_CURRENT_USER, kScratch, &root_), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (root_) RegCloseKey(root_);
        EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, kScratch), ERROR_SUCCESS);
        HKEY gone = nullptr;
        EXPECT_EQ(Open(HKEY_CURRENT_USER, kScratch, &gone), ERROR_FILE_NOT_FOUND);
#ifndef _WIN32
        unsetenv("VELQOSCH_REGISTRY");
        std::error_code ignored;
        std::filesystem::permissions(store_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(store_, ignored);
#endif
    }

    HKEY root_ = nullptr;
#ifndef _WIN32
    std::string store_;
#endif
};

TEST_F(Registry, CreateAndOpen) {
    HKEY a = nullptr, again = nullptr, deep = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(Create(root_, OS("Alpha"), &a, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Create(root_, OS("Alpha"), &again, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(a, again);  // two handles to one key
    ASSERT_EQ(SetDword(a, OS("n"), 7), ERROR_SUCCESS);
    std::vector<BYTE> data;
    ASSERT_EQ(Query(again, OS("n"), &data), ERROR_SUCCESS);
    EXPECT_EQ(data.size(), 4u);

    // Intermediate keys come into being; repeated and trailing separators are one.
    ASSERT_EQ(Create(root_, OS("Beta\\Gamma\\Delta"), &deep, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    RegCloseKey(deep);
    ASSERT_EQ(Open(root_, OS("Beta\\\\Gamma\\Delta\\"), &deep), ERROR_SUCCESS);
    RegCloseKey(deep);
    ASSERT_EQ(Open(HKEY_CURRENT_USER, Str(kScratch) + OS("\\Beta\\Gamma"), &deep), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(deep), std::vector<Name>{OS("Delta")});
    RegCloseKey(deep);

    // An empty path is the key itself.
    HKEY self = nullptr;
    ASSERT_EQ(Open(a, OS(""), &self), ERROR_SUCCESS);
    ASSERT_EQ(Query(self, OS("n"), &data), ERROR_SUCCESS);
    RegCloseKey(self);

    HKEY missing = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(Open(root_, OS("NoSuchKey"), &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(Open(root_, OS("NoSuchKey\\Below"), &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(root_, OS("\\Alpha"), &missing), ERROR_BAD_PATHNAME);

    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST_F(Registry, ValuesRoundTrip) {
    ASSERT_EQ(SetString(root_, nullptr, OS("the default")), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(root_, OS("")), OS("the default"));  // null and empty name: the default value
    ASSERT_EQ(SetString(root_, OS("Path"), OS("%TEMP%\\x"), REG_EXPAND_SZ), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(root_, OS("Count"), 0xDEADBEEF), ERROR_SUCCESS);
    const BYTE binary[] = {0, 1, 0, 255, 0};
    ASSERT_EQ(RegSetValueExW(root_, OS("Blob"), 0, REG_BINARY, binary, sizeof binary), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(root_, OS("Empty"), 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);

    std::vector<BYTE> data;
    DWORD type = 0;
    ASSERT_EQ(Query(root_, OS("path"), &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    EXPECT_EQ(QueryString(root_, OS("Path")), OS("%TEMP%\\x"));  // stored unexpanded
    ASSERT_EQ(Query(root_, OS("Count"), &data, &type), ERROR_SUCCESS);
    ASSERT_EQ(data.size(), 4u);
    DWORD count = 0;
    std::memcpy(&count, data.data(), 4);
    EXPECT_EQ(count, 0xDEADBEEFu);
    ASSERT_EQ(Query(root_, OS("Blob"), &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_BINARY));
    EXPECT_EQ(data, std::vector<BYTE>(binary, binary + sizeof binary));
    ASSERT_EQ(Query(root_, OS("Empty"), &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_NONE));
    EXPECT_TRUE(data.empty());

    // Setting again replaces type and data.
    ASSERT_EQ(SetString(root_, OS("COUNT"), OS("now text")), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(root_, OS("Count")), OS("now text"));
    EXPECT_EQ(ValueNames(root_), (std::vector<Name>{OS(""), OS("Blob"), OS("Count"), OS("Empty"), OS("Path")}));

    // Any UTF-16, including a lone surrogate, survives in names and data.
    const WCHAR odd[] = {0x00E9, 0x4E2D, 0xD800, 'x', 0xDC00, 0x2028, 0};
    ASSERT_EQ(SetString(root_, odd, odd), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(root_, odd), Name(odd));
}

TEST_F(Registry, QuerySizesAndErrors) {
    const Name text = OS("twelve chars");
    ASSERT_EQ(SetString(root_, OS("s"), text), ERROR_SUCCESS);
    const DWORD needed = DWORD((text.size() + 1) * sizeof(WCHAR));

    DWORD size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExW(root_, OS("s"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(type, DWORD(REG_SZ));

    BYTE buffer[64];
    size = needed - 1;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(root_, OS("s"), nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(type, DWORD(REG_SZ));
    size = needed;
    EXPECT_EQ(RegQueryValueExW(root_, OS("s"), nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::memcmp(buffer, text.c_str(), needed), 0);

    EXPECT_EQ(RegQueryValueExW(root_, OS("s"), nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(root_, OS("s"), nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(root_, OS("missing"), nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(root_, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NamesIgnoreCaseAndKeepIt) {
    HKEY key = nullptr, same = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(Create(root_, OS("MixedCase"), &key), ERROR_SUCCESS);
    ASSERT_EQ(Create(root_, OS("MIXEDCASE"), &same, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    RegCloseKey(same);
    ASSERT_EQ(Open(root_, OS("mixedcase"), &same), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(root_), std::vector<Name>{OS("MixedCase")});

    ASSERT_EQ(SetString(key, OS("ValueName"), OS("one")), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(same, OS("VALUENAME")), OS("one"));
    ASSERT_EQ(SetString(same, OS("valuename"), OS("two")), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, OS("ValueName")), OS("two"));
    EXPECT_EQ(ValueNames(key), std::vector<Name>{OS("ValueName")});
    EXPECT_EQ(RegDeleteValueW(same, OS("VALUENAME")), ERROR_SUCCESS);
    EXPECT_TRUE(ValueNames(key).empty());
    RegCloseKey(same);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(root_, OS("MIXEDcase")), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(root_).empty());
}

TEST_F(Registry, Enumeration) {
    for (const WCHAR *name : {OS("delta"), OS("Bravo"), OS("alpha"), OS("Charlie")}) {
        HKEY key = nullptr;
        ASSERT_EQ(Create(root_, name, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // Subkeys come in order of their names, letter case aside.
    EXPECT_EQ(SubKeys(root_), (std::vector<Name>{OS("alpha"), OS("Bravo"), OS("Charlie"), OS("delta")}));

    WCHAR name[8];
    DWORD length = 5;  // "alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(root_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 6;
    FILETIME written{};
    EXPECT_EQ(RegEnumKeyExW(root_, 0, name, &length, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(Name(name), OS("alpha"));
    EXPECT_NE(written.dwHighDateTime, 0u);
    length = 8;
    EXPECT_EQ(RegEnumKeyExW(root_, 4, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    const BYTE data[] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(RegSetValueExW(root_, OS("Six"), 0, REG_BINARY, data, sizeof data), ERROR_SUCCESS);
    BYTE buffer[16];
    DWORD size = 4, type = 0;
    length = 8;
    EXPECT_EQ(RegEnumValueW(root_, 0, name, &length, nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof data);  // the size it needs
    EXPECT_EQ(type, DWORD(REG_BINARY));
    length = 3;  // "Six" needs 4
    size = sizeof buffer;
    EXPECT_EQ(RegEnumValueW(root_, 0, name, &length, nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    length = 4;
    size = sizeof buffer;
    EXPECT_EQ(RegEnumValueW(root_, 0, name, &length, nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(Name(name), OS("Six"));
    EXPECT_EQ(size, sizeof data);
    EXPECT_EQ(std::memcmp(buffer, data, sizeof data), 0);
    length = 8;
    EXPECT_EQ(RegEnumValueW(root_, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, DeleteValueAndKey) {
    ASSERT_EQ(SetDword(root_, OS("v"), 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(root_, OS("v")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(root_, OS("v")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(root_, OS("v"), nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

    HKEY parent = nullptr, child = nullptr;
    ASSERT_EQ(Create(root_, OS("Parent\\Child"), &child), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(child, OS("kept"), 2), ERROR_SUCCESS);
    // A key with subkeys is refused, and nothing is lost.
    EXPECT_EQ(RegDeleteKeyW(root_, OS("Parent")), ERROR_ACCESS_DENIED);
    ASSERT_EQ(Open(root_, OS("Parent"), &parent), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(parent), std::vector<Name>{OS("Child")});
    std::vector<BYTE> data;
    EXPECT_EQ(Query(child, OS("kept"), &data), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyW(parent, OS("Child")), ERROR_SUCCESS);
    // The handle to the deleted key no longer reaches a key.
    EXPECT_EQ(Query(child, OS("kept"), &data), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, OS("Child")), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(SubKeys(parent).empty());
    RegCloseKey(parent);
    EXPECT_EQ(RegDeleteKeyW(root_, OS("Parent")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(root_, OS("Parent")), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, DeleteTree) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(root_, OS("Tree\\A\\B\\C"), &key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, OS("deep"), 1), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Create(root_, OS("Tree\\D"), &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Create(root_, OS("Sibling"), &key), ERROR_SUCCESS);
    RegCloseKey(key);

    EXPECT_EQ(RegDeleteTreeW(root_, OS("Tree")), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(root_), std::vector<Name>{OS("Sibling")});
    EXPECT_EQ(RegDeleteTreeW(root_, OS("Tree")), ERROR_FILE_NOT_FOUND);

    // Without a subkey: everything the key holds goes, the key stays.
    ASSERT_EQ(SetDword(root_, OS("mine"), 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(root_, nullptr, 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(root_, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(root_).empty());
    EXPECT_TRUE(ValueNames(root_).empty());
    ASSERT_EQ(Open(HKEY_CURRENT_USER, kScratch, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Registry, AccessRightsAndHandles) {
    HKEY reader = nullptr;
    ASSERT_EQ(SetDword(root_, OS("v"), 1), ERROR_SUCCESS);
    ASSERT_EQ(Open(HKEY_CURRENT_USER, kScratch, &reader, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader, OS("v"), 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader, OS("v")), ERROR_ACCESS_DENIED);
    std::vector<BYTE> data;
    EXPECT_EQ(Query(reader, OS("v"), &data), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reader), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);

    HKEY writer = nullptr;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, kScratch, &writer, KEY_SET_VALUE), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(writer, OS("v"), nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writer, OS("v"), 3), ERROR_SUCCESS);
    RegCloseKey(writer);
}

// Names that are no file names on POSIX are still names of keys.
TEST_F(Registry, AwkwardKeyNames) {
    const std::vector<Name> names = {OS("a/b"),   OS("."), OS(".."),     OS(".values"),
                                     OS("%0041"), OS("A"), OS("~tilde"), Name(255, WCHAR('k'))};
    for (const Name &name : names) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(Create(root_, name, &key, &disposition), ERROR_SUCCESS) << names.size();
        EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
        EXPECT_EQ(SetString(key, nullptr, name), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    std::vector<Name> sorted = names, listed = SubKeys(root_);
    std::sort(sorted.begin(), sorted.end(), [](const Name &a, const Name &b) {
        Name x = a, y = b;
        for (auto &c : x) c = WCHAR(c >= 'a' && c <= 'z' ? c - 32 : c);
        for (auto &c : y) c = WCHAR(c >= 'a' && c <= 'z' ? c - 32 : c);
        return x < y;
    });
    EXPECT_EQ(listed, sorted);
    for (const Name &name : names) {
        HKEY key = nullptr;
        ASSERT_EQ(Open(root_, name, &key), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(key, nullptr), name);
        EXPECT_TRUE(SubKeys(key).empty());
        RegCloseKey(key);
    }
    // Long names that share a beginning stay apart.
    Name longA(250, WCHAR('x')), longB = longA;
    longA += OS("A");
    longB += OS("B");
    HKEY a = nullptr, b = nullptr;
    ASSERT_EQ(Create(root_, longA, &a), ERROR_SUCCESS);
    DWORD disposition = 0;
    ASSERT_EQ(Create(root_, longB, &b, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    RegCloseKey(a);
    RegCloseKey(b);
}

#ifndef _WIN32
// --- the file store itself ----------------------------------------------------------------

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The folder of the scratch key in the store.
std::string ScratchFolder(const std::string &store) { return store + "/HKEY_CURRENT_USER/software/velqoregistrytest"; }

TEST_F(Registry, StoreLayout) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(root_, OS("Sub"), &key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, OS("x"), 5), ERROR_SUCCESS);
    RegCloseKey(key);
    const std::string folder = ScratchFolder(store_) + "/sub";
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_regular_file(folder + "/.values"));
    // No temporary file stays behind.
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == ".values" || name == ".name") << name;
    }
}

TEST_F(Registry, CorruptValuesFileIsRefused) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(root_, OS("Damaged"), &key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, OS("a"), OS("first")), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, OS("b"), OS("second")), ERROR_SUCCESS);
    const std::string file = ScratchFolder(store_) + "/damaged/.values";
    std::string bytes = ReadAll(file);
    ASSERT_GT(bytes.size(), 30u);
    for (const auto &damage : {std::string("flip"), std::string("cut"), std::string("junk")}) {
        std::string broken = bytes;
        if (damage == "flip") broken[20] = char(broken[20] ^ 0x40);
        if (damage == "cut") broken.resize(broken.size() / 2);
        if (damage == "junk") broken = "not a values file at all";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << broken;

        std::vector<BYTE> data;
        EXPECT_EQ(Query(key, OS("a"), &data), ERROR_REGISTRY_CORRUPT) << damage;
        WCHAR name[8];
        DWORD length = 8;
        EXPECT_EQ(RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_REGISTRY_CORRUPT);
        // A write would lose the damaged values: it is refused and the file kept as it is.
        EXPECT_EQ(SetString(key, OS("c"), OS("third")), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(RegDeleteValueW(key, OS("a")), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(ReadAll(file), broken);
    }
    // The key itself stays usable: it can be listed and removed.
    EXPECT_EQ(SubKeys(root_), std::vector<Name>{OS("Damaged")});
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteTreeW(root_, OS("Damaged")), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(root_).empty());
}

TEST_F(Registry, LeftoversOfAnInterruptedWriteAreIgnored) {
    const std::string folder = ScratchFolder(store_);
    std::filesystem::create_directory(folder + "/.new-abc123");
    std::ofstream(folder + "/.values.XyZ123") << "half";
    std::filesystem::create_directory(folder + "/.del-qqq");
    EXPECT_TRUE(SubKeys(root_).empty());
    EXPECT_TRUE(ValueNames(root_).empty());
    EXPECT_EQ(SetDword(root_, OS("after"), 1), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(root_), std::vector<Name>{OS("after")});
}

TEST_F(Registry, StoreThatCannotBeWritten) {
    // The store root is a plain file: nothing can be created below it.
    const std::string blocked = store_ + "/blocked";
    std::ofstream(blocked) << "x";
    setenv("VELQOSCH_REGISTRY", blocked.c_str(), 1);
    HKEY key = nullptr;
    EXPECT_EQ(Create(HKEY_CURRENT_USER, OS("Software\\Elsewhere"), &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, OS("v"), 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, OS("Software"), &key), ERROR_ACCESS_DENIED);
    // Handles opened before keep their own store.
    EXPECT_EQ(SetDword(root_, OS("v"), 1), ERROR_SUCCESS);
    setenv("VELQOSCH_REGISTRY", store_.c_str(), 1);
    EXPECT_EQ(ValueNames(root_), std::vector<Name>{OS("v")});
}

TEST_F(Registry, RootLookupOrder) {
    const std::string xdg = store_ + "/xdg", home = store_ + "/home";
    const char *oldXdg = std::getenv("XDG_DATA_HOME");
    const char *oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";
    unsetenv("VELQOSCH_REGISTRY");
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, OS("where"), 1), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(xdg + "/velqosch/registry/HKEY_CURRENT_USER/.values"));
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, OS("where"), 1), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(home + "/.local/share/velqosch/registry/HKEY_LOCAL_MACHINE/.values"));
    if (oldXdg) setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
    setenv("VELQOSCH_REGISTRY", store_.c_str(), 1);
}

// Writers in several processes and threads at once lose none of each
// other's values.
TEST_F(Registry, ConcurrentWritersLoseNothing) {
    constexpr int kProcesses = 3, kThreads = 2, kEach = 15;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    for (int i = 0; i < kEach; ++i) {
                        const std::string name =
                            "p" + std::to_string(p) + "t" + std::to_string(t) + "i" + std::to_string(i);
                        const Name wide(name.begin(), name.end());
                        if (SetDword(root_, wide.c_str(), DWORD(i)) != ERROR_SUCCESS) ok = false;
                    }
                });
            for (auto &thread : threads) thread.join();
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    // Meanwhile this process reads: every state it sees is a whole one.
    for (int i = 0; i < 50; ++i) {
        DWORD count = 0;
        WCHAR name[32];
        for (;; ++count) {
            DWORD length = 32;
            const LSTATUS status = RegEnumValueW(root_, count, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) break;
            ASSERT_EQ(status, ERROR_SUCCESS);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(ValueNames(root_).size(), std::size_t(kProcesses * kThreads * kEach));
}
#endif

}  // namespace
