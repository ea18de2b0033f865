// A fresh Windows directory per test and a scheduler created through the runtime.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <mstask.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

class StoreTest : public ::testing::Test {
public:
    void SetUp() override {
        char pattern[] = "/tmp/velqo-objects-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        ::setenv("VELQOSCH_WINDIR", root_.c_str(), 1);
        ASSERT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskScheduler,
                                   reinterpret_cast<void **>(&sched_)),
                  S_OK);
        tasks_ = root_ + "/Tasks";
    }
    void TearDown() override {
        VelqoFailAllocationAfter(-1);
        if (sched_) {
            EXPECT_EQ(sched_->Release(), 0u);
        }
        std::filesystem::remove_all(root_);
    }

    // A new item, saved under `name`; the caller owns the reference.
    ITask *Saved(const char16_t *name) {
        ITask *task = nullptr;
        EXPECT_EQ(sched_->NewWorkItem(reinterpret_cast<LPCWSTR>(name), CLSID_CTask, IID_ITask,
                                      reinterpret_cast<IUnknown **>(&task)),
                  S_OK);
        if (task) {
            EXPECT_EQ(Save(task), S_OK);
        }
        return task;
    }
    static HRESULT Save(IUnknown *item) {
        IPersistFile *file = nullptr;
        HRESULT hr = item->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
        if (FAILED(hr)) return hr;
        hr = file->Save(nullptr, TRUE);
        file->Release();
        return hr;
    }
    ITask *Open(const char16_t *name, HRESULT expect = S_OK) {
        ITask *task = nullptr;
        EXPECT_EQ(sched_->Activate(reinterpret_cast<LPCWSTR>(name), IID_ITask, reinterpret_cast<IUnknown **>(&task)),
                  expect);
        return task;
    }
    static std::u16string Take(LPWSTR text) {
        std::u16string out = text ? std::u16string(reinterpret_cast<const char16_t *>(text)) : u"";
        CoTaskMemFree(text);
        return out;
    }
    void WriteFile(const std::string &name, const std::string &bytes) {
        std::ofstream(tasks_ + "/" + name, std::ios::binary) << bytes;
    }
    std::string ReadFile(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string root_, tasks_;
    ITaskScheduler *sched_ = nullptr;
};

inline LPCWSTR W(const char16_t *text) { return reinterpret_cast<LPCWSTR>(text); }
