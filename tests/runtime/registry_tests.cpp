// The registry through the Win32 API only, against the runtime's file store and the system's registry, below a scratch
// key the fixture removes.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "runtime_test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#endif

namespace {

using Name = std::basic_string<WCHAR>;
using Names = std::vector<Name>;
using Bytes = std::vector<BYTE>;

const WCHAR kScratch[] = OS("Software\\VelqoRegistryTest");

LSTATUS Create(HKEY parent, const Name &path, HKEY *key, DWORD *disposition = nullptr) {
    return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key, disposition);
}
LSTATUS Open(HKEY parent, const Name &path, HKEY *key, REGSAM access = KEY_ALL_ACCESS) {
    return RegOpenKeyExW(parent, path.c_str(), 0, access, key);
}
void Touch(HKEY parent, const Name &path) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(parent, path, &key) + RegCloseKey(key), ERROR_SUCCESS);
}
LSTATUS Set(HKEY key, const WCHAR *name, DWORD type, const void *data, std::size_t size) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), DWORD(size));
}
LSTATUS SetString(HKEY key, const WCHAR *name, const Name &text) {
    return Set(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}
LSTATUS SetDword(HKEY key, const WCHAR *name, DWORD value) { return Set(key, name, REG_DWORD, &value, 4); }

// The value's bytes and type, after a size query.
LSTATUS Query(HKEY key, const WCHAR *name, Bytes *data, DWORD *type = nullptr) {
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
    Bytes data;
    DWORD type = 0;
    if (Query(key, name, &data, &type) != ERROR_SUCCESS || type != REG_SZ || data.size() < 2) return OS("<none>");
    return Name(reinterpret_cast<const WCHAR *>(data.data()), data.size() / sizeof(WCHAR) - 1);
}

// Subkey names in the order RegEnumKeyExW gives them, or value names sorted.
Names List(HKEY key, bool values = false) {
    Names names;
    WCHAR name[16384];
    LSTATUS status = 0;
    for (DWORD i = 0, n = 16384;
         !(status = values ? RegEnumValueW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr)
                           : RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr));
         ++i, n = 16384)
        names.emplace_back(name, n);
    EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
    if (values) std::sort(names.begin(), names.end());
    return names;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);  // left over by an interrupted run
        ASSERT_EQ(Create(HKEY_CURRENT_USER, kScratch, &root_), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (root_) RegCloseKey(root_);
        EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, kScratch), ERROR_SUCCESS);
    }
#ifndef _WIN32
    TempDir folder_;
    const std::string &store_ = folder_.path();
    ScopedEnv env_{"VELQOSCH_REGISTRY", store_.c_str()};
#endif
    HKEY root_ = nullptr;
};

TEST_F(Registry, CreateOpenAndPaths) {
    HKEY a = nullptr, again = nullptr, key = nullptr, deep = nullptr, reader = nullptr, writer = nullptr;
    DWORD created = 0, opened = 0, deeper = 0;
    Bytes data;
    ASSERT_EQ(
        (Results{Create(root_, OS("Alpha"), &a, &created), Create(root_, OS("ALPHA"), &again, &opened), a != again,
                 SetDword(a, OS("n"), 7), Query(again, OS("N"), &data),
                 Open(a, OS(""), &key),  // an empty path is the key itself
                 Query(key, OS("n"), &data), RegCloseKey(key), RegCloseKey(a), RegCloseKey(again), created, opened}),
        (Results{0, 0, true, 0, 0, 0, 0, 0, 0, 0, REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY}));
    EXPECT_EQ(List(root_), Names{OS("Alpha")});  // the first spelling is kept

    // Intermediate keys come into being; repeated and trailing separators are one.
    HKEY missing = reinterpret_cast<HKEY>(1), bad = reinterpret_cast<HKEY>(1);
    ASSERT_EQ((Results{Create(root_, OS("Beta\\Gamma\\Delta"), &deep, &deeper), deeper, RegCloseKey(deep),
                       Open(root_, OS("beta\\\\Gamma\\Delta\\"), &deep), RegCloseKey(deep),
                       Open(HKEY_CURRENT_USER, Name(kScratch) + OS("\\Beta\\Gamma"), &key),
                       Open(root_, OS("NoSuchKey\\Below"), &missing), Open(root_, OS("\\Alpha"), &bad),
                       missing == nullptr && bad == nullptr, RegCloseKey(HKEY_CURRENT_USER)}),
              (Results{0, REG_CREATED_NEW_KEY, 0, 0, 0, 0, ERROR_FILE_NOT_FOUND, ERROR_BAD_PATHNAME, true, 0}));
    EXPECT_EQ(List(key), Names{OS("Delta")});
    RegCloseKey(key);

    // Read-only and write-only handles.
    ASSERT_EQ(SetDword(root_, OS("v"), 1) + Open(HKEY_CURRENT_USER, kScratch, &reader, KEY_READ) +
                  Open(HKEY_CURRENT_USER, kScratch, &writer, KEY_SET_VALUE),
              ERROR_SUCCESS);
    EXPECT_EQ(
        (Results{SetDword(reader, OS("v"), 2), RegDeleteValueW(reader, OS("v")), Query(reader, OS("v"), &data),
                 data.at(0), RegCloseKey(reader), RegCloseKey(reader),
                 RegQueryValueExW(writer, OS("v"), nullptr, nullptr, nullptr, nullptr), SetDword(writer, OS("v"), 3),
                 RegCloseKey(writer)}),
        (Results{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, 1, 0, ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED, 0, 0}));
}

// Buffers too small answer ERROR_MORE_DATA with the size needed.
TEST_F(Registry, SizesAndEnumeration) {
    const Name text = OS("twelve chars");
    const BYTE six[] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(SetString(root_, OS("s"), text), ERROR_SUCCESS);
    const DWORD needed = DWORD((text.size() + 1) * sizeof(WCHAR));
    BYTE buffer[64];
    DWORD size = needed - 1, type = 0, missing = 0;
    EXPECT_EQ((Results{RegQueryValueExW(root_, OS("s"), nullptr, &type, buffer, &size), size, type,
                       RegQueryValueExW(root_, OS("s"), nullptr, nullptr, buffer, &size),
                       std::memcmp(buffer, text.c_str(), needed),
                       RegQueryValueExW(root_, OS("s"), nullptr, nullptr, buffer, nullptr),
                       RegQueryValueExW(root_, OS("missing"), nullptr, nullptr, nullptr, &missing),
                       RegQueryValueExW(root_, nullptr, nullptr, nullptr, nullptr, &missing),
                       RegDeleteValueW(root_, OS("s"))}),
              (Results{ERROR_MORE_DATA, needed, REG_SZ, 0, 0, ERROR_INVALID_PARAMETER, ERROR_FILE_NOT_FOUND,
                       ERROR_FILE_NOT_FOUND, 0}));

    for (const WCHAR *name : {OS("delta"), OS("Bravo"), OS("alpha"), OS("Charlie")}) Touch(root_, name);
    // Subkeys come in order of their names, letter case aside.
    EXPECT_EQ(List(root_), (Names{OS("alpha"), OS("Bravo"), OS("Charlie"), OS("delta")}));
    ASSERT_EQ(Set(root_, OS("Six"), REG_BINARY, six, sizeof six), ERROR_SUCCESS);
    WCHAR name[8], value[8];
    DWORD length = 5, fits = 6, small = 3, enough = 4, big = 8;  // "alpha" needs 6 with its terminator, "Six" 4
    FILETIME written{};
    EXPECT_EQ((Results{RegEnumKeyExW(root_, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
                       RegEnumKeyExW(root_, 0, name, &fits, nullptr, nullptr, nullptr, &written), fits,
                       Name(name) == OS("alpha"), written.dwHighDateTime != 0u,
                       RegEnumValueW(root_, 0, value, &big, nullptr, &type, buffer, &(size = 4)), size, type,
                       RegEnumValueW(root_, 0, value, &small, nullptr, nullptr, buffer, &(size = 64)),
                       RegEnumValueW(root_, 0, value, &enough, nullptr, &type, buffer, &(size = 64)), enough,
                       Name(value) == OS("Six"), size, std::memcmp(buffer, six, 6)}),
              (Results{ERROR_MORE_DATA, 0, 5, true, true, ERROR_MORE_DATA, 6, REG_BINARY, ERROR_MORE_DATA, 0, 3, true,
                       6, 0}));
}

TEST_F(Registry, Deleting) {
    HKEY parent = nullptr, child = nullptr, key = nullptr;
    Bytes data;
    // The default value under a null or empty name; setting again replaces type and data, under the name first given.
    ASSERT_EQ((Results{SetString(root_, nullptr, OS("the default")), SetDword(root_, OS("Count"), 7),
                       SetString(root_, OS("COUNT"), OS("now text"))}),
              (Results{0, 0, 0}));
    EXPECT_EQ(QueryString(root_, OS("")) + OS("|") + QueryString(root_, OS("Count")), OS("the default|now text"));
    EXPECT_EQ(List(root_, true), (Names{OS(""), OS("Count")}));
    ASSERT_EQ(Create(root_, OS("Parent\\Child"), &child), ERROR_SUCCESS);
    // A key with subkeys is refused, and nothing is lost; a handle to a deleted key reaches no key.
    EXPECT_EQ((Results{SetDword(root_, OS("v"), 1), RegDeleteValueW(root_, OS("V")), RegDeleteValueW(root_, OS("v")),
                       SetDword(child, OS("kept"), 2), RegDeleteKeyW(root_, OS("Parent")),
                       Open(root_, OS("Parent"), &parent), Query(child, OS("kept"), &data),
                       RegDeleteKeyW(parent, OS("CHILD")), Query(child, OS("kept"), &data), RegCloseKey(child),
                       RegDeleteKeyW(parent, OS("Child")), RegCloseKey(parent), RegDeleteKeyW(root_, OS("Parent"))}),
              (Results{0, 0, ERROR_FILE_NOT_FOUND, 0, ERROR_ACCESS_DENIED, 0, 0, 0, ERROR_KEY_DELETED, 0,
                       ERROR_FILE_NOT_FOUND, 0, 0}));

    ASSERT_EQ(Create(root_, OS("Tree\\A\\B\\C"), &key), ERROR_SUCCESS);
    for (const WCHAR *path : {OS("Tree\\D"), OS("Sibling")}) Touch(root_, path);
    EXPECT_EQ((Results{SetDword(key, OS("deep"), 1), RegCloseKey(key), RegDeleteTreeW(root_, OS("Tree"))}),
              (Results{0, 0, 0}));
    EXPECT_EQ(List(root_), Names{OS("Sibling")});
    // Without a subkey: everything the key holds goes, the key stays.
    EXPECT_EQ((Results{RegDeleteTreeW(root_, OS("Tree")), SetDword(root_, OS("mine"), 1), SetDword(root_, nullptr, 2),
                       RegDeleteTreeW(root_, nullptr), Open(HKEY_CURRENT_USER, kScratch, &key), RegCloseKey(key)}),
              (Results{ERROR_FILE_NOT_FOUND, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(List(root_).empty() && List(root_, true).empty());
}

// Names that are no file names on POSIX are still names of keys; long names that share a beginning stay apart.
TEST_F(Registry, AwkwardKeyNames) {
    const Name longA = Name(250, WCHAR('x')) + OS("A"), longB = Name(250, WCHAR('x')) + OS("B");
    // In the order a listing gives them (compared in upper case), made in the reverse order.
    const Names names = {OS("%0041"),           OS("."), OS(".."), OS(".values"), OS("A"), OS("a/b"),
                         Name(255, WCHAR('k')), longA,   longB,    OS("~tilde")};
    HKEY key = nullptr;
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        EXPECT_EQ(Create(root_, *name, &key) + SetString(key, nullptr, *name) + RegCloseKey(key), 0);
    EXPECT_EQ(List(root_), names);
    for (const Name &name : names) {
        EXPECT_TRUE(Open(root_, name, &key) == ERROR_SUCCESS && QueryString(key, nullptr) == name && List(key).empty());
        RegCloseKey(key);
    }
}

#ifndef _WIN32
// --- the file store itself ----------------------------------------------------------------

// A write leaves no temporary file; leftovers of an interrupted one are ignored. A damaged values file is refused, kept
// as it is, and its key can still be listed and removed.
TEST_F(Registry, StoreWritesWholeFilesAndKeepsADamagedOne) {
    HKEY key = nullptr;
    ASSERT_EQ(Create(root_, OS("Sub"), &key), ERROR_SUCCESS);
    ASSERT_TRUE(SetString(key, OS("a"), OS("first")) == ERROR_SUCCESS && SetDword(key, OS("b"), 5) == ERROR_SUCCESS);
    const std::string folder = store_ + "/HKEY_CURRENT_USER/software/velqoregistrytest";
    for (const auto &entry : std::filesystem::directory_iterator(folder + "/sub"))
        EXPECT_TRUE(entry.path().filename() == ".values" || entry.path().filename() == ".name") << entry.path();
    std::filesystem::create_directory(folder + "/.new-abc123");
    std::ofstream(folder + "/.values.XyZ123") << "half";
    std::filesystem::create_directory(folder + "/.del-qqq");
    EXPECT_TRUE(List(root_) == Names{OS("Sub")} && List(root_, true).empty());

    const std::string file = folder + "/sub/.values", bytes = ReadFile(file);
    ASSERT_GT(bytes.size(), 30u);
    std::string flipped = bytes;
    flipped[20] = char(flipped[20] ^ 0x40);
    for (const std::string &broken : {flipped, bytes.substr(0, bytes.size() / 2), std::string("not a values file")}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << broken;
        Bytes data;
        WCHAR name[8];
        DWORD length = 8;
        // A write would lose the damaged values: it is refused.
        EXPECT_EQ(
            (Results{Query(key, OS("a"), &data),
                     RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
                     SetString(key, OS("c"), OS("third")), RegDeleteValueW(key, OS("a")), ReadFile(file) == broken}),
            (Results{ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_CORRUPT,
                     true}));
    }
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteTreeW(root_, OS("Sub")), ERROR_SUCCESS);
    EXPECT_TRUE(List(root_).empty());
}

// $VELQOSCH_REGISTRY, else $XDG_DATA_HOME/velqosch/registry, else ~/.local/share/velqosch/registry; a store that cannot
// be written refuses.
TEST_F(Registry, WhereTheStoreLives) {
    const std::string xdg = store_ + "/xdg", home = store_ + "/home", blocked = store_ + "/blocked";
    std::ofstream(blocked) << "x";
    ScopedEnv store("VELQOSCH_REGISTRY", blocked.c_str()), data("XDG_DATA_HOME", xdg.c_str()), h("HOME", home.c_str());
    HKEY key = nullptr;
    EXPECT_EQ(
        (Results{Create(HKEY_CURRENT_USER, OS("Software\\Elsewhere"), &key), SetDword(HKEY_CURRENT_USER, OS("v"), 1),
                 SetDword(root_, OS("v"), 1),  // handles opened before keep their store
                 (unsetenv("VELQOSCH_REGISTRY"), SetDword(HKEY_CURRENT_USER, OS("where"), 1)),
                 std::filesystem::exists(xdg + "/velqosch/registry/HKEY_CURRENT_USER/.values"),
                 (unsetenv("XDG_DATA_HOME"), SetDword(HKEY_LOCAL_MACHINE, OS("where"), 1)),
                 std::filesystem::exists(home + "/.local/share/velqosch/registry/HKEY_LOCAL_MACHINE/.values")}),
        (Results{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0, 0, true, 0, true}));
    EXPECT_EQ(List(root_, true), Names{OS("v")});
}

// Writers in several processes at once lose none of each other's values.
TEST_F(Registry, ConcurrentWritersLoseNothing) {
    std::vector<pid_t> children;
    for (WCHAR p = 'a'; p < 'e'; ++p) {
        if (const pid_t pid = fork(); pid == 0) {
            bool ok = true;
            for (WCHAR i = 'a'; i <= 'z'; ++i) ok &= SetDword(root_, Name{p, i}.c_str(), i) == ERROR_SUCCESS;
            _exit(ok ? 0 : 1);
        } else {
            children.push_back(pid);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(List(root_, true).size(), 4u * 26u);
}

#endif

}  // namespace
