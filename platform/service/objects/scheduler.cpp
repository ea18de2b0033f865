// CTaskScheduler and its work-item enumerator.
//
// The store of the local computer is "<Windows directory>/Tasks". Other
// computers are reached through the file "<Windows directory>/Tasks/computers":
// one "NAME=folder" line per computer (blank lines and lines starting with '#'
// are ignored; NAME is matched without regard to ASCII letter case, folder is
// the absolute path of that computer's Tasks folder).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <vector>

#include "objects.h"
#include "objects_internal.h"
#include "platform/service/control/control.h"

namespace velqo::service {
namespace {

using Names = std::vector<std::u16string>;

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool NameLess(const std::u16string &a, const std::u16string &b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        const char16_t x = FoldAscii(a[i]), y = FoldAscii(b[i]);
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

std::string HostName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0 || !buffer[0]) return "localhost";
    return buffer;
}

// --- IEnumWorkItems ----------------------------------------------------------------

class WorkItemEnum final : public SingleInterface<WorkItemEnum, IEnumWorkItems, IID_IEnumWorkItems> {
public:
    WorkItemEnum(std::shared_ptr<const Names> names, std::size_t position) : names_(std::move(names)), pos_(position) {}

    // A refused call leaves the caller's variables as they were.
    HRESULT WINAPI Next(ULONG celt, LPWSTR **rgpwszNames, ULONG *pceltFetched) override {
        if (!rgpwszNames || celt == 0 || (celt > 1 && !pceltFetched)) return E_INVALIDARG;
        const std::size_t count = std::min<std::size_t>(celt, names_->size() - pos_);
        if (count == 0) {
            *rgpwszNames = nullptr;
            if (pceltFetched) *pceltFetched = 0;
            return S_FALSE;
        }
        auto *array = static_cast<LPWSTR *>(CoTaskMemAlloc(count * sizeof(LPWSTR)));
        if (!array) return E_OUTOFMEMORY;
        for (std::size_t i = 0; i < count; ++i) {
            if (FAILED(CopyOut((*names_)[pos_ + i], &array[i]))) {
                for (std::size_t j = 0; j < i; ++j) CoTaskMemFree(array[j]);
                CoTaskMemFree(array);
                return E_OUTOFMEMORY;
            }
        }
        pos_ += count;
        *rgpwszNames = array;
        if (pceltFetched) *pceltFetched = static_cast<ULONG>(count);
        return count == celt ? S_OK : S_FALSE;
    }
    HRESULT WINAPI Skip(ULONG celt) override {
        const std::size_t count = std::min<std::size_t>(celt, names_->size() - pos_);
        pos_ += count;
        return count == celt ? S_OK : S_FALSE;
    }
    HRESULT WINAPI Reset() override {
        pos_ = 0;
        return S_OK;
    }
    HRESULT WINAPI Clone(IEnumWorkItems **ppEnumWorkItems) override {
        if (!ppEnumWorkItems) return E_POINTER;
        auto *copy = new (std::nothrow) WorkItemEnum(names_, pos_);
        if (!copy) return E_OUTOFMEMORY;
        *ppEnumWorkItems = copy;
        return S_OK;
    }

private:
    friend SingleInterface;
    ~WorkItemEnum() = default;
    std::shared_ptr<const Names> names_;
    std::size_t pos_;
};

// --- ITaskScheduler ----------------------------------------------------------------

class TaskScheduler final : public SingleInterface<TaskScheduler, ITaskScheduler, IID_ITaskScheduler> {
public:
    explicit TaskScheduler(std::string localFolder)
        : local_(std::make_shared<const std::string>(std::move(localFolder))), folder_(local_) {}

    HRESULT WINAPI SetTargetComputer(LPCWSTR pwszComputer) override try {
        std::u16string name;
        if (pwszComputer) {
            const std::size_t n = BoundedLength(pwszComputer, 1024);
            if (n > 1024) return E_INVALIDARG;
            name.assign(pwszComputer, n);
        }
        if (name.size() >= 2 && name[0] == u'\\' && name[1] == u'\\') name.erase(0, 2);
        const std::string utf8 = ToUtf8(name);
        const std::string host = HostName();
        if (utf8.empty() || EqualsIgnoringAsciiCase(utf8, host) || EqualsIgnoringAsciiCase(utf8, "localhost")) {
            folder_ = local_;
            target_.clear();
            return S_OK;
        }
        std::ifstream in(*local_ + "/computers");
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty() || line[0] == '#') continue;
            const std::size_t eq = line.find('=');
            if (eq == std::string::npos || eq == 0) continue;
            if (!EqualsIgnoringAsciiCase(std::string_view(line).substr(0, eq), utf8)) continue;
            const std::string folder = line.substr(eq + 1);
            struct stat st {};
            if (folder.empty() || folder[0] != '/' || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
            folder_ = std::make_shared<const std::string>(folder);
            target_ = line.substr(0, eq);
            return S_OK;
        }
        return HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    HRESULT WINAPI GetTargetComputer(LPWSTR *ppwszComputer) override try {
        return CopyOut(u"\\\\" + ToUtf16(target_.empty() ? HostName() : target_), ppwszComputer);
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    HRESULT WINAPI Enum(IEnumWorkItems **ppEnumWorkItems) override try {
        if (!ppEnumWorkItems) return E_INVALIDARG;
        Names listed;
        const HRESULT hr = ListItemNames(*folder_, listed);
        if (FAILED(hr)) return hr;
        // Sorted through pointers, so that the names are moved once.
        std::vector<std::u16string *> order;
        order.reserve(listed.size());
        for (std::u16string &name : listed) order.push_back(&name);
        std::sort(order.begin(), order.end(),
                  [](const std::u16string *a, const std::u16string *b) { return NameLess(*a, *b); });
        auto names = std::make_shared<Names>();
        names->reserve(order.size());
        for (std::u16string *name : order) names->push_back(std::move(*name));
        *ppEnumWorkItems = new WorkItemEnum(std::move(names), 0);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    HRESULT WINAPI Activate(LPCWSTR pwszName, REFIID riid, IUnknown **ppUnk) override try {
        if (!ppUnk) return E_POINTER;
        std::string file;
        if (!ItemFileName(pwszName, file)) return E_INVALIDARG;
        std::string path;
        JobData job;
        const HRESULT hr = ReadItem(file, path, job);
        if (FAILED(hr)) return hr;
        return CreateTaskObject(folder_, std::move(path), std::move(job), true, riid, reinterpret_cast<void **>(ppUnk));
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    HRESULT WINAPI Delete(LPCWSTR pwszName) override try {
        std::string file;
        if (!ItemFileName(pwszName, file) || HasOtherExtension(pwszName)) return E_INVALIDARG;
        return RemoveWorkItem(*folder_, ItemPath(file));
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    HRESULT WINAPI NewWorkItem(LPCWSTR pwszTaskName, REFCLSID rclsid, REFIID riid, IUnknown **ppUnk) override try {
        if (!ppUnk) return E_POINTER;
        if (rclsid != CLSID_CTask) return CLASS_E_CLASSNOTAVAILABLE;
        if (riid != IID_ITask && riid != IID_IScheduledWorkItem && riid != IID_IUnknown && riid != IID_IPersistFile)
            return E_NOINTERFACE;
        std::string file;
        if (!ItemFileName(pwszTaskName, file) || HasOtherExtension(pwszTaskName)) return E_INVALIDARG;
        const std::string path = ItemPath(file);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        return CreateTaskObject(folder_, path, NewJob(), false, riid, reinterpret_cast<void **>(ppUnk));
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    HRESULT WINAPI AddWorkItem(LPCWSTR pwszTaskName, IScheduledWorkItem *pWorkItem) override try {
        std::string file;
        if (!pWorkItem || !ItemFileName(pwszTaskName, file) || HasOtherExtension(pwszTaskName)) return E_INVALIDARG;
        const std::string path = ItemPath(file);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        IPersistFile *persist = nullptr;
        if (FAILED(pWorkItem->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&persist))) || !persist)
            return E_INVALIDARG;
        const std::u16string wide = ToUtf16(path);
        const HRESULT hr = persist->Save(reinterpret_cast<LPCOLESTR>(wide.c_str()), TRUE);
        persist->Release();
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    // S_OK for a stored, readable work item and a work-item interface; S_FALSE
    // for any other interface or a file that is not a work item.
    HRESULT WINAPI IsOfType(LPCWSTR pwszName, REFIID riid) override try {
        std::string file;
        if (!ItemFileName(pwszName, file)) return E_INVALIDARG;
        std::string path;
        JobData job;
        const HRESULT hr = ReadItem(file, path, job);
        if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == E_ACCESSDENIED) return hr;
        if (FAILED(hr)) return S_FALSE;
        return (riid == IID_ITask || riid == IID_IScheduledWorkItem || riid == IID_IUnknown) ? S_OK : S_FALSE;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

private:
    friend SingleInterface;
    ~TaskScheduler() = default;
    // The path of the file that holds the item of `file`, or where a new one goes.
    std::string ItemPath(const std::string &file) const { return *folder_ + "/" + FindItemFile(*folder_, file); }
    // Reads the item of `file` into `job`, with the path of the file that
    // holds it. The file of exactly that spelling is tried first; only when
    // there is none is the folder listed for the name in another letter
    // case, so that opening a stored item costs one open and one read.
    HRESULT ReadItem(const std::string &file, std::string &path, JobData &job) const {
        path.reserve(folder_->size() + 1 + file.size());
        path.append(*folder_).append(1, '/').append(file);
        const HRESULT hr = ReadJobFile(path, job);
        if (hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return hr;
        const std::string found = FindItemFile(*folder_, file);
        if (found == file) return hr;
        path = *folder_ + "/" + found;
        return ReadJobFile(path, job);
    }
    // The Tasks folders, shared with the task objects (their account records).
    const std::shared_ptr<const std::string> local_;
    std::shared_ptr<const std::string> folder_;
    std::string target_;  // empty: the local computer
};

}  // namespace

HRESULT CreateTaskScheduler(REFIID riid, void **ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    try {
        std::string folder = TasksFolder();
        if (folder.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        auto *object = new TaskScheduler(std::move(folder));
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace velqo::service
