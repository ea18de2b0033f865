// The ordered keyed collection behind Tasks and Triggers: object references
// in insertion order, each with an optional String key. Lookups take a
// position (a number, from 1) or a key; keys compare without regard to
// letter case, beyond ASCII too. Missing key: error 5; position outside 1 to
// the count: error 9; a key added twice: error 457. Removing an entry moves
// the later ones down by one.
//
// Key lookups go through a hash of the folded key, so Item and Exists cost
// the same on thirty thousand entries as on three.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/platform.h"
#include "trace/error.h"

namespace velqosch {

// A counted reference to a COM object: releases what it holds.
template <class T>
class ComRef {
public:
    ComRef() noexcept = default;
    ComRef(std::nullptr_t) noexcept {}
    // Takes over a reference the caller already owns.
    static ComRef Adopt(T *p) noexcept {
        ComRef r;
        r.p_ = p;
        return r;
    }
    // Adds a reference of its own.
    static ComRef Share(T *p) noexcept {
        if (p) p->AddRef();
        return Adopt(p);
    }
    ComRef(const ComRef &o) noexcept : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComRef(ComRef &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComRef &operator=(ComRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComRef() {
        if (p_) p_->Release();
    }
    T *get() const noexcept { return p_; }
    T *operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    T *Detach() noexcept { return std::exchange(p_, nullptr); }
    // Drops what is held and gives the slot for an out-parameter.
    T **Out() noexcept {
        reset();
        return &p_;
    }
    void reset() noexcept {
        if (T *p = std::exchange(p_, nullptr)) p->Release();
    }

private:
    T *p_ = nullptr;
};

// The simple case folding of one UTF-16 unit (the BMP letters of Latin,
// Greek, Cyrillic, Armenian, Georgian, Glagolitic, the letter-like symbols
// and the full-width forms). Units without a folding come back unchanged.
char16_t FoldCase(char16_t unit) noexcept;
// The folded form of a key: two keys are the same key when their folded
// forms are equal.
std::u16string FoldKey(std::u16string_view key);

// A lookup argument: a position or a key.
struct IndexKey {
    bool isKey = false;
    LONG position = 0;
    std::u16string key;
};
// Reads a lookup argument from a VARIANT: a string (VT_BSTR) is a key; a
// number (VT_I1..VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_BOOL) is a
// position, fractions rounded half to even as automation converts them; the
// by-reference forms and VT_VARIANT references are followed. A number beyond
// the 32-bit range raises error 6, any other type error 13, a null reference
// E_POINTER.
IndexKey ReadIndexKey(const VARIANT *value);

// The lookup rule of Exists: true when lookup() succeeds, false when it fails
// with error 5, any other error passes on unchanged.
template <class Lookup>
bool KeyLookupSucceeds(Lookup &&lookup) {
    try {
        lookup();
        return true;
    } catch (const ComponentError &e) {
        if (e.record().number == kErrInvalidCall) return false;
        throw;
    }
}

// An enumerator over a fixed list of objects, handed out as VARIANTs of
// type VT_DISPATCH in list order.
ComRef<IEnumVARIANT> NewObjectEnumerator(std::vector<ComRef<IDispatch>> items);

template <class T>
class KeyedCollection {
public:
    KeyedCollection() = default;
    KeyedCollection(KeyedCollection &&) noexcept = default;
    KeyedCollection &operator=(KeyedCollection &&) noexcept = default;
    KeyedCollection(const KeyedCollection &) = delete;
    KeyedCollection &operator=(const KeyedCollection &) = delete;

    LONG Count() const noexcept { return static_cast<LONG>(entries_.size()); }

    // Appends item, under key when one is given. Error 457 when the key is
    // present already; the collection is then unchanged.
    void Add(ComRef<T> item, const std::u16string *key = nullptr) {
        auto entry = std::make_unique<Entry>();
        entry->item = std::move(item);
        if (key) {
            entry->hasKey = true;
            entry->key = *key;
            entry->folded = FoldKey(*key);
            if (byKey_.count(entry->folded)) RaiseStandard(kErrKeyInUse);
        }
        // Room first (growing geometrically), so that nothing can fail
        // between indexing the key and storing the entry.
        if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.empty() ? 8 : 2 * entries_.size());
        if (entry->hasKey) byKey_.emplace(entry->folded, entry.get());
        entries_.push_back(std::move(entry));
    }

    T *ItemAt(LONG position) const { return entries_[IndexOfPosition(position)]->item.get(); }
    T *ItemByKey(std::u16string_view key) const { return FindKey(key)->item.get(); }
    T *Item(const IndexKey &index) const { return index.isKey ? ItemByKey(index.key) : ItemAt(index.position); }
    T *Item(const VARIANT *index) const { return Item(ReadIndexKey(index)); }
    bool ContainsKey(std::u16string_view key) const { return byKey_.count(FoldKey(key)) != 0; }

    void RemoveAt(LONG position) { Erase(IndexOfPosition(position)); }
    void RemoveByKey(std::u16string_view key) {
        const Entry *entry = FindKey(key);
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].get() == entry) return Erase(i);
    }
    void Remove(const IndexKey &index) {
        if (index.isKey)
            RemoveByKey(index.key);
        else
            RemoveAt(index.position);
    }

    void Clear() noexcept {
        byKey_.clear();
        entries_.clear();
    }

    // The objects in collection order, each with a reference of its own.
    template <class U = T>
    std::vector<ComRef<U>> Snapshot() const {
        std::vector<ComRef<U>> out;
        out.reserve(entries_.size());
        for (const auto &e : entries_) out.push_back(ComRef<U>::Share(e->item.get()));
        return out;
    }

private:
    struct Entry {
        ComRef<T> item;
        bool hasKey = false;
        std::u16string key;     // as added
        std::u16string folded;  // the hash key
    };

    std::size_t IndexOfPosition(LONG position) const {
        if (position < 1 || static_cast<std::size_t>(position) > entries_.size()) RaiseStandard(kErrSubscript);
        return static_cast<std::size_t>(position - 1);
    }
    const Entry *FindKey(std::u16string_view key) const {
        auto it = byKey_.find(FoldKey(key));
        if (it == byKey_.end()) RaiseStandard(kErrInvalidCall);
        return it->second;
    }
    void Erase(std::size_t index) {
        if (entries_[index]->hasKey) byKey_.erase(entries_[index]->folded);
        // The entry's reference is released after the bookkeeping is done, so
        // a destructor that comes back to the collection finds it consistent.
        std::unique_ptr<Entry> gone = std::move(entries_[index]);
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    std::vector<std::unique_ptr<Entry>> entries_;
    std::unordered_map<std::u16string, Entry *> byKey_;
};

}  // namespace velqosch
