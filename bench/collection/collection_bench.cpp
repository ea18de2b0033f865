// The keyed collection at the size of a large task list: lookups by key and
// by position, Exists on a missing key, and filling the collection.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "collection/keyed_collection.h"

using namespace velqosch;

namespace {

// A minimal counted object to store.
struct Item final : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
    ULONG refs = 1;
};

std::vector<std::u16string> Keys(size_t n) {
    std::vector<std::u16string> keys;
    for (size_t i = 0; i < n; ++i) {
        std::string k = "Nightly Backup Été " + std::to_string(i);
        keys.emplace_back(k.begin(), k.end());
    }
    return keys;
}

void Fill(KeyedCollection<IUnknown> &c, const std::vector<std::u16string> &keys) {
    for (const auto &k : keys) c.Add(ComRef<IUnknown>::Adopt(new Item()), &k);
}

void BM_ItemByKey(benchmark::State &state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    KeyedCollection<IUnknown> c;
    Fill(c, keys);
    // Looked up in another letter case than added.
    std::vector<std::u16string> upper = keys;
    for (auto &k : upper)
        for (auto &ch : k) ch = (ch >= u'a' && ch <= u'z') ? static_cast<char16_t>(ch - 32) : ch;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(c.ItemByKey(upper[i]));
        i = (i + 7919) % upper.size();
    }
}
BENCHMARK(BM_ItemByKey)->Arg(30)->Arg(3000)->Arg(30000)->Arg(300000);

// What a lookup by scanning would cost at the same sizes: each key folded and
// compared in turn, as a collection without a hash index does it. The hash
// lookup above grows only with the memory it touches, not with the count.
void BM_ScanBaseline(benchmark::State &state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    std::vector<std::u16string> folded;
    for (const auto &k : keys) folded.push_back(FoldKey(k));
    size_t i = 0;
    for (auto _ : state) {
        const std::u16string wanted = FoldKey(keys[i]);
        size_t at = 0;
        while (at < folded.size() && folded[at] != wanted) ++at;
        benchmark::DoNotOptimize(at);
        i = (i + 7919) % keys.size();
    }
}
BENCHMARK(BM_ScanBaseline)->Arg(30)->Arg(30000);

void BM_ItemAt(benchmark::State &state) {
    KeyedCollection<IUnknown> c;
    Fill(c, Keys(static_cast<size_t>(state.range(0))));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    uint32_t p = 0;
    for (auto _ : state) {
        v.dblVal = static_cast<double>(p % static_cast<uint32_t>(c.Count()) + 1);
        benchmark::DoNotOptimize(c.Item(&v));
        p += 7919;
    }
}
BENCHMARK(BM_ItemAt)->Arg(30000);

void BM_ExistsMissing(benchmark::State &state) {
    KeyedCollection<IUnknown> c;
    Fill(c, Keys(static_cast<size_t>(state.range(0))));
    const std::u16string missing = u"No such task";
    for (auto _ : state) benchmark::DoNotOptimize(c.ContainsKey(missing));
}
BENCHMARK(BM_ExistsMissing)->Arg(30000);

void BM_Fill(benchmark::State &state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        KeyedCollection<IUnknown> c;
        Fill(c, keys);
        benchmark::DoNotOptimize(c.Count());
    }
}
BENCHMARK(BM_Fill)->Arg(30000)->Unit(benchmark::kMillisecond);

void BM_RemoveFirst(benchmark::State &state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        KeyedCollection<IUnknown> c;
        Fill(c, keys);
        state.ResumeTiming();
        for (int i = 0; i < 100; ++i) c.RemoveAt(1);
    }
}
BENCHMARK(BM_RemoveFirst)->Arg(30000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
